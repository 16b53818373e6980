// How an upgrade or a fleet's device ended, as one type with one table: the
// word reports and JSON carry, the exit code `upgrade` ends with, and how a
// fleet counts it. Words are read back only where they enter the program
// (an upgrade's JSON read by its fleet, a report given to --retry).
#pragma once
#include <string>
#include <vector>

#include "admin/record/exit_codes.h"

namespace admin {

enum class Result {
  UPGRADED,  // the device reports the target version
  CURRENT,   // it already ran it: nothing was sent (upgrade)
  SKIPPED,   // the same, as a fleet reports it
  DRY_RUN,   // --dry-run: nothing was sent
  FAILED,
  ABORTED,      // Ctrl-C, a declined confirmation, before the image was delivered
  UNREACHABLE,  // the device did not answer
  UNVERIFIED,   // the image was delivered; the new version was not confirmed
  BUSY,         // another run on this PC had the device: not contacted
  NOT_STARTED,  // fleet: never started (interrupted, halted)
  RUNNING,      // fleet: in flight when its report was written
  WAITING,      // fleet: waiting for its first try or its next when its report was written
};

const char* result_word(Result result);
// False for a word this program never writes.
bool parse_result(const std::string& word, Result* result);
// The exit code `upgrade` ends with (fleet-only results: the fleet's own).
int result_exit_code(Result result);
// Counts against --max-failures and ends a canary wave.
bool is_failure(Result result);
// What --retry upgrades again: everything but upgraded and skipped. That
// includes unverified and running: the upgrade looks first, and a device
// already on the target version ends skipped with nothing sent.
bool is_retried(Result result);
// What it means in a fleet's report (--help); nullptr for upgrade's own
// (current, dry-run), which the exit codes explain.
const char* fleet_result_text(Result result);
// Every result, in the table's order.
const std::vector<Result>& all_results();

}  // namespace admin
