// qel-bench: measurements of the wizard's TFTP server and of its idle cost.
// scripts/bench.sh runs it inside a private network namespace; every address
// used here is on loopback.
//
//   qel-bench transfer --serve BIN [--rounds N] [--hpa-port PORT]
//       The embedded Target image downloaded by curl and by atftp (512-byte
//       blocks) from our listener (qel-bench-serve, a fresh process per
//       download) and from tftpd-hpa, alternating, timed on the client's side.
//   qel-bench idle --harness BIN --sim BIN [--wait-seconds S]
//       A whole scripted upgrade at real speed against the simulated device,
//       whose read request comes S seconds late: CPU time of the program
//       while its waiting dialog is up and during the 30-second wait after the
//       transfer, and the program's peak resident memory.
//   qel-bench floor [--seconds S]
//       What the waits themselves cost on this machine: the listener's idle
//       pass (a receive, then waiting for the socket until the next timer
//       tick) and the main thread's 10 ms sleep, without any dialog.
//   qel-bench timing --serve BIN [--until-given-up 0|1]
//       The resend timing at real speed: our listener (qel-bench-serve) and a
//       device played here that leaves one block unacknowledged, then falls
//       silent for good: when the block comes again, how often it is resent
//       and when the transfer is given up (about 47 s; with
//       --until-given-up 0, only the lost acknowledgement's resend).
//   qel-bench fleet-wait --upgrade BIN [--seconds S]
//       What a fleet costs while it waits (qel-upgrade fleet, no terminal):
//       before its --window opens, and between a device's tries
//       (--keep-trying; at most 20 s of it, before the first retry).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>

#include "bench.h"

using namespace bench;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: qel-bench transfer --serve BIN [--rounds N] [--hpa-port PORT]\n"
               "       qel-bench idle --harness BIN --sim BIN [--wait-seconds S]\n"
               "       qel-bench floor [--seconds S]\n"
               "       qel-bench timing --serve BIN [--until-given-up 0|1]\n"
               "       qel-bench fleet-wait --upgrade BIN [--seconds S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string mode = argv[1];
  std::map<std::string, std::string> options;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) != 0) return usage();
    options[argv[i] + 2] = argv[i + 1];
  }
  if ((argc - 2) % 2) return usage();
  auto number = [&](const char* key, int fallback) {
    return options.count(key) ? std::atoi(options[key].c_str()) : fallback;
  };
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    if (mode == "transfer" && options.count("serve"))
      return run_transfer(options["serve"], number("rounds", 10), number("hpa-port", 1069));
    if (mode == "idle" && options.count("harness") && options.count("sim"))
      return run_idle(options["harness"], options["sim"], number("wait-seconds", 20));
    if (mode == "floor") return run_floor(number("seconds", 5));
    if (mode == "fleet-wait" && options.count("upgrade"))
      return run_fleet_wait(options["upgrade"], number("seconds", 60));
    if (mode == "timing" && options.count("serve"))
      return run_timing(options["serve"], number("until-given-up", 1) != 0);
  } catch (const std::exception& e) {
    // fail() and the helpers' errors: the children and folders are gone by now.
    std::fprintf(stderr, "qel-bench: %s\n", e.what());
    return 1;
  }
  return usage();
}
