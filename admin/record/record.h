// One device's upgrade as the tool records it, in one type: what `upgrade
// --json` writes as its last line, what a fleet reads back from each of its
// upgrades, and a row of the fleet's report (fleet/report.h writes and reads
// the report's two forms). Texts are UTF-8.
#pragma once
#include <string>

#include "admin/record/code.h"
#include "admin/record/result.h"

namespace admin {

struct UpgradeRecord {
  std::string address;
  std::string product, version_before;
  std::string version_after;  // what the device reported at the end; "" none
  std::string version_target;
  Result result = Result::NOT_STARTED;
  std::string message;
  double seconds = 0;
  int stages = 0;  // 1 or 2 once confirmed; 0 unknown
  bool image_delivered = false;
  Code code = Code::NONE;  // what ended it, when it did not succeed
  std::string log;         // the fleet's log of the device, "" without one
  // How many times the device was contacted (tried): 0 when the run ended
  // before (busy, no TFTP port), more with --keep-trying; a fleet's row
  // counts all of its upgrades' tries.
  int attempts = 0;
};

// The `upgrade --json` line: address, result, message, version_before,
// version_after, stages, seconds, product, version_target, image_delivered,
// code, attempts (empty texts and an unknown stage are null). Never throws: bytes that
// are not UTF-8 are replaced.
std::string upgrade_json(const UpgradeRecord& record);
// The last line of an upgrade's standard output that is a JSON object, read
// back; false when there is none. A result or code this program does not
// write reads as failed, no code.
bool read_upgrade_json(const std::string& output, UpgradeRecord* record);

// "12.3": the seconds as records and lines show them.
std::string seconds_text(double seconds);

}  // namespace admin
