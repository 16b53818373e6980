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
};

// Each upgrade needs a TFTP port of its own among 69..168.
inline constexpr int FLEET_MAX_PARALLEL = 100;
inline constexpr int FLEET_DEFAULT_PARALLEL = 8;

struct FleetEntry {
  int line = 0;
  std::string address;
  std::string user;           // empty with password_file: no credentials given
  std::string password_file;  // resolved against the list file's folder
};

// Reads the list: `ADDRESS [USER PASSWORD-FILE]` per line, `#` comments.
// False with *error ("FILE:LINE: why") on the first bad line.
bool read_fleet_list(const std::string& path, std::vector<FleetEntry>* entries, std::string* error);

int run_fleet(const FleetOptions& options);

}  // namespace admin
