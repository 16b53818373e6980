// `qel-upgrade fleet`: upgrades the devices of a list, several at once, each
// in a `qel-upgrade upgrade --json --yes` process of its own, and reports.
#pragma once
#include <string>
#include <vector>

namespace admin {

struct FleetOptions {
  std::string list_file;
  int parallel = 8;
  std::string report_file;  // empty: CSV on standard output
  bool force = false;
  int timeout_seconds = 600;  // per device
};

// Each upgrade needs a TFTP port of its own among 69..168.
inline constexpr int FLEET_MAX_PARALLEL = 100;
inline constexpr int FLEET_DEFAULT_PARALLEL = 8;

int run_fleet(const FleetOptions& options);

}  // namespace admin
