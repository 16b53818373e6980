// qel-upgrade-cli.exe, the Windows console program: the administrators'
// subcommands scan, upgrade and fleet, the same code as Linux's qel-upgrade
// scan|upgrade|fleet.
#include <windows.h>
#include <mmsystem.h>

#include <string>
#include <vector>

#include "admin/command_line.h"
#include "platform/console.h"
#include "platform/program.h"

int main(int argc, char** argv) {
  std::vector<std::string> words = sys::program_arguments(argc, argv);
  // What an installer or an administrator checks first.
  if (words.size() == 2 && words[1] == "--version") {
    sys::write_text(sys::Stream::Output, std::string("qel-upgrade-cli ") + QEL_VERSION + "\n");
    return 0;
  }
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  // As the wizard's entry point: each wait notices the end of its 15.625 ms
  // tick within a millisecond.
  timeBeginPeriod(1);
  return admin_main(static_cast<int>(words.size()), args.data(), "qel-upgrade-cli");
}
