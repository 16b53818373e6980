// The fleet's list of devices: `ADDRESS [USER PASSWORD-FILE]` per line,
// separated by blanks, `#` starting a comment.
#pragma once
#include <string>
#include <vector>

#include "admin/fleet/report.h"

namespace admin {

struct FleetEntry {
  int line = 0;
  std::string address;        // as the wizard's address check accepts it
  std::string user;           // empty with password_file: no credentials given
  std::string password_file;  // resolved against the list file's folder
};

// Reads the whole list; false with one message per bad line in *errors
// ("FILE:LINE: why", safe to show), or one for a list that cannot be read
// or names no device. Each password file is checked as `upgrade` would
// (readable, private, short enough), so that no upgrade fails on it later.
bool read_fleet_list(const std::string& path, std::vector<FleetEntry>* entries,
                     std::vector<std::string>* errors);

// A device of the rollout: to upgrade, or carried over from an earlier
// report (--retry) as it was.
struct PlannedDevice {
  FleetEntry entry;  // only the address for a device the list no longer has
  bool carried = false;
  ReportRow row;  // when carried
};

// The list in its order, each device to upgrade unless the earlier report
// shows it ended in a result that is not retried (is_retried); then the
// earlier report's devices that the list lacks, carried over.
std::vector<PlannedDevice> plan_rollout(std::vector<FleetEntry> entries,
                                        const std::vector<ReportRow>& earlier);

}  // namespace admin
