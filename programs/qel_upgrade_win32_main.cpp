// The program's entry point.
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <string>

#include "app/app.h"

namespace {

// The commands of the help texts are the console program's; Windows adds
// .exe to a bare name where a program starts another (a scheduled task, a
// script's process call), which then reaches the wizard.
const char REFUSAL[] =
    "qel-upgrade.exe: the wizard takes no arguments. The commands scan, upgrade and fleet "
    "run in a console: type qel-upgrade COMMAND ... in a command prompt or PowerShell "
    "(qel-upgrade.com answers there); a scheduled task or a program that starts another "
    "names qel-upgrade.com or qel-upgrade-cli.exe.\n";

std::wstring wide(const char* utf8) {
  int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
  if (size > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), size);
  out.pop_back();  // the terminator
  return out;
}

// Where whoever started it sees it: the standard error it was given (a
// pipe or a file), else the console it was typed in, else a message box
// when a person can see this desktop (never on a service's or a task's
// hidden one, where it would wait for nobody).
void refuse_arguments() {
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD type = err && err != INVALID_HANDLE_VALUE ? ::GetFileType(err) : FILE_TYPE_UNKNOWN;
  if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
    DWORD written = 0;
    ::WriteFile(err, REFUSAL, sizeof REFUSAL - 1, &written, nullptr);
    return;
  }
  std::wstring text = wide(REFUSAL);
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    HANDLE console = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
      // The prompt came back when this program started: a line of its own.
      std::wstring line = L"\r\n" + text;
      DWORD written = 0;
      bool shown =
          ::WriteConsoleW(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      ::CloseHandle(console);
      ::FreeConsole();
      if (shown) return;
    } else {
      ::FreeConsole();
    }
  }
  USEROBJECTFLAGS flags{};
  HWINSTA station = ::GetProcessWindowStation();
  if (station && ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
      (flags.dwFlags & WSF_VISIBLE))
    ::MessageBoxW(nullptr, text.c_str(), L"qel-upgrade.exe", MB_OK | MB_ICONERROR);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  int count = 0;
  if (wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count)) ::LocalFree(words);
  if (count > 1) {
    refuse_arguments();
    return 2;  // a usage error, as the console program's
  }
  // 1 ms timer resolution for the whole run, so that each wait notices the end
  // of its 15.625 ms tick within a millisecond.
  // Never lowered again; the system drops the request when the process ends.
  timeBeginPeriod(1);
  return wizard_main(instance);
}
