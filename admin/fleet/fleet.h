// `qel-upgrade fleet`: upgrades the devices of a list, several at once, each
// in a `qel-upgrade upgrade --json --yes` process of its own, and reports.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "admin/rollout/window.h"

namespace admin {

struct FleetOptions {
  std::string list_file;
  int parallel = 8;
  std::string report_file;  // empty: CSV on standard output
  bool force = false;
  int timeout_seconds = 600;          // per device
  int canary = 0;                     // upgrade this many on their own first; 0: no canary wave
  int max_failures = 0;               // start nothing more after this many failures; 0: no limit
  bool max_failures_percent = false;  // max_failures is a percentage of the devices to upgrade
  std::string retry_report;           // upgrade again only what this report left undone
  std::string log_dir;                // one log file per device there
  bool has_window = false;            // upgrades start only inside window
  Window window;
  // A device not reached (unreachable, busy) is tried again, with backoff,
  // this long after the first upgrade could start; 0: each is tried once.
  std::chrono::seconds keep_trying{0};
};

// Each upgrade needs a TFTP port of its own among 69..168.
inline constexpr int FLEET_MAX_PARALLEL = 100;
inline constexpr int FLEET_DEFAULT_PARALLEL = 8;

int run_fleet(const FleetOptions& options);

}  // namespace admin
