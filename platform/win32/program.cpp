// The running program on Windows (program.h).
#include <windows.h>
#include <shellapi.h>

#include <iterator>

#include "platform/child_process.h"
#include "platform/program.h"
#include "platform/win32/console_events.h"
#include "platform/win32/wide.h"

namespace sys {

std::vector<std::string> program_arguments(int argc, char** argv) {
  // The C runtime's argv is in the ANSI code page and loses what it cannot
  // show: the UTF-16 command line has it all.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> words;
  for (int i = 0; i < count; ++i) words.push_back(win32::to_utf8(wide[i]));
  LocalFree(wide);
  return words;
}

std::string self_path() {
  wchar_t path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  if (n == 0 || n >= std::size(path)) return "qel-upgrade";
  return win32::to_utf8(path, static_cast<int>(n));
}

SystemKind system_kind() { return SystemKind::WINDOWS; }

std::string error_text(int code) { return win32::error_text(static_cast<DWORD>(code)); }

int last_error() { return static_cast<int>(GetLastError()); }

void catch_interrupts() {
  win32::interrupt_event();
  SetConsoleCtrlHandler(win32::on_console_event, TRUE);
}

bool wait_interrupt(int timeout_ms) {
  return WaitForSingleObject(win32::interrupt_event(), static_cast<DWORD>(timeout_ms)) ==
         WAIT_OBJECT_0;
}

// The fleet's children end with the fleet through its job object; its
// Cancel, and its end, come through standard input (child_process.h) and
// count as a Ctrl-C here.
bool tie_to_parent() {
  watch_fleet([] { SetEvent(win32::interrupt_event()); });
  return true;
}

void end_process(int code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace sys
