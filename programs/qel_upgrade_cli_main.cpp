// The Windows console program: the administrators' subcommands scan,
// upgrade and fleet, the same code as Linux's qel-upgrade scan|upgrade|fleet.
// One program under two names:
//   qel-upgrade.com      what `qel-upgrade ...` runs in cmd and PowerShell,
//                        which try .com before .exe (PATHEXT), so the commands
//                        of the help texts work as written; with no command
//                        it opens the wizard, qel-upgrade.exe beside it
//   qel-upgrade-cli.exe  the same subcommands under the name scripts and the
//                        package's checks have always used
#include <windows.h>
#include <mmsystem.h>

#include <string>
#include <vector>

#include "admin/command_line.h"
#include "platform/console.h"
#include "platform/program.h"

namespace {

const char USAGE[] =
    "usage: qel-upgrade [--help | --version]\n"
    "       qel-upgrade scan|upgrade|fleet ...   (see qel-upgrade COMMAND --help)\n"
    "\n"
    "Upgrades the firmware of a QEL device on the local network. With no command,\n"
    "it opens the wizard (qel-upgrade.exe) and returns at once, as starting any\n"
    "windowed program from a console does. The commands find the devices on the\n"
    "LAN and upgrade one or many without dialogs, in this console.\n";

// Run as qel-upgrade.com: the name people type.
bool run_as_qel_upgrade() {
  std::string self = sys::self_path();
  if (self.size() < 4) return false;
  std::string extension = self.substr(self.size() - 4);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return extension == ".com";
}

// The wizard beside this program, started on its own: no console, no
// handles of ours, not waited for. A windowed program started from a
// console does not hold the console; the wizard is a window of its own and
// its failures end with 0 anyway, so waiting would only keep the prompt.
int open_wizard() {
  wchar_t self[MAX_PATH * 4];
  DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring path(self, n < MAX_PATH * 4 ? n : 0);
  path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"qel-upgrade.exe";
  std::wstring line = L"\"" + path + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    int error = sys::last_error();
    std::string shown(path.size() * 3, '\0');
    shown.resize(static_cast<std::size_t>(
        ::WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), shown.data(),
                              static_cast<int>(shown.size()), nullptr, nullptr)));
    sys::write_text(sys::Stream::Error, "qel-upgrade: cannot open the wizard " + shown + ": " +
                                            sys::error_text(error) + "\n");
    return 1;
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words = sys::program_arguments(argc, argv);
  const bool qel_upgrade = run_as_qel_upgrade();
  const char* name = qel_upgrade ? "qel-upgrade" : "qel-upgrade-cli";
  // What an installer or an administrator checks first.
  if (words.size() == 2 && words[1] == "--version") {
    sys::write_text(sys::Stream::Output, std::string(name) + " " + QEL_VERSION + "\n");
    return 0;
  }
  if (qel_upgrade && (words.size() < 2 || !admin_is_subcommand(words[1].c_str()))) {
    if (words.size() < 2) return open_wizard();
    if (words[1] == "--help" || words[1] == "-h") {
      sys::write_text(sys::Stream::Output, USAGE);
      return 0;
    }
    sys::write_text(sys::Stream::Error,
                    "qel-upgrade: unknown command or option " + words[1] + "\n" + USAGE);
    return 2;
  }
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  // As the wizard's entry point: each wait notices the end of its 15.625 ms
  // tick within a millisecond.
  timeBeginPeriod(1);
  return admin_main(static_cast<int>(words.size()), args.data(), name);
}
