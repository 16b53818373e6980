// qel-upgrade-cli-testable.exe: the Windows console program's scan, upgrade
// and fleet over the Win32 platform with its test clock, for the
// administrators' shared cases under Wine (scripts/test-win32.sh), as
// qel-upgrade-testable is for Linux's: QEL_UPGRADE_TEST_CLOCK_SCALE runs an
// upgrade's clock, its sleeps and its socket waits that many times faster
// (the device's 30-second wait after a transfer, the resend timers). fleet
// starts this same program for each device, so its upgrades get it too.
// The product, qel-upgrade-cli.exe, has no such variable and no seam.
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "admin/command_line.h"
#include "platform/program.h"
#include "platform/win32/seams.h"

int main(int argc, char** argv) {
  std::vector<std::string> words = sys::program_arguments(argc, argv);
  if (words.size() < 2 || !admin_is_subcommand(words[1].c_str())) {
    std::fputs("usage: qel-upgrade-cli-testable scan|upgrade|fleet ...\n", stderr);
    return 2;
  }
  if (words[1] == "upgrade") {
    if (const char* scale = std::getenv("QEL_UPGRADE_TEST_CLOCK_SCALE")) {
      double value = std::strtod(scale, nullptr);
      if (value > 0) seam_set_clock(value, 0);
    }
  }
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  // As the product: each wait notices the end of its tick within a millisecond.
  timeBeginPeriod(1);
  return admin_main(static_cast<int>(words.size()), args.data(), "qel-upgrade-cli");
}
