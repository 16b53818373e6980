// qel-upgrade's scan, upgrade and fleet over the platform with its seams, for
// the administrators' tests: QEL_UPGRADE_TEST_CLOCK_SCALE runs an upgrade's
// clock that many times faster (the 30-second wait after a transfer, the
// resend timers), as the scripted harness's `clock` directive does. fleet
// starts this same program for each device, so its upgrades get it too; an
// upgrade's --keep-trying waits follow it as well.
// QEL_FLEET_TEST_CLOCK_SCALE runs a fleet's own time that many times faster
// (its --window, its retries' backoff and --keep-trying, its time limits,
// the times it prints), not its upgrades'.
// QEL_FLEET_TEST_FORK_PAUSE_MS holds each of the fleet's children that long
// right after the fork, where a signal must not be lost or misread.
// The product, qel-upgrade, has no such variables.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "admin/command_line.h"
#include "admin/rollout/clock.h"
#include "platform/child_process.h"
#include "platform/posix/seams.h"

int main(int argc, char** argv) {
  if (argc < 2 || !admin_is_subcommand(argv[1])) {
    std::fputs("usage: qel-upgrade-testable scan|upgrade|fleet ...\n", stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "upgrade") == 0) {
    if (const char* scale = std::getenv("QEL_UPGRADE_TEST_CLOCK_SCALE")) {
      double value = std::strtod(scale, nullptr);
      if (value > 0) {
        seam_set_clock(value, 0);
        admin::set_rollout_test_pace(value);
      }
    }
  }
  if (std::strcmp(argv[1], "fleet") == 0) {
    if (const char* scale = std::getenv("QEL_FLEET_TEST_CLOCK_SCALE"))
      admin::set_rollout_test_pace(std::strtod(scale, nullptr));
  }
  static timespec fork_pause{};
  if (const char* pause = std::getenv("QEL_FLEET_TEST_FORK_PAUSE_MS")) {
    long ms = std::strtol(pause, nullptr, 10);
    fork_pause = {ms / 1000, (ms % 1000) * 1000000};
    sys::fleet_child_test_pause = [] { ::nanosleep(&fork_pause, nullptr); };
  }
  return admin_main(argc, argv);
}
