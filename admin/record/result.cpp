#include "admin/record/result.h"

#include <iterator>
#include <vector>

namespace admin {

namespace {

struct ResultRow {
  Result result;
  const char* word;
  int exit_code;
  bool failure;
  bool retried;
  // What a fleet's report means by it; nullptr for the upgrade's alone.
  const char* fleet_text;
};

const char AS_FOR_UPGRADE[] = "As for upgrade.";

// In the enumeration's order.
constexpr ResultRow RESULTS[] = {
    {Result::UPGRADED, "upgraded", EXIT_UPGRADED, false, false,
     "The device reports the target version."},
    {Result::CURRENT, "current", EXIT_UPGRADED, false, true, nullptr},
    {Result::SKIPPED, "skipped", EXIT_UPGRADED, false, false,
     "It already ran the target version: nothing was sent."},
    {Result::DRY_RUN, "dry-run", EXIT_UPGRADED, false, true, nullptr},
    {Result::FAILED, "failed", EXIT_FAILED, true, true, AS_FOR_UPGRADE},
    {Result::ABORTED, "aborted", EXIT_ABORTED, true, true, AS_FOR_UPGRADE},
    {Result::UNREACHABLE, "unreachable", EXIT_UNREACHABLE, true, true, AS_FOR_UPGRADE},
    {Result::UNVERIFIED, "unverified", EXIT_UNVERIFIED, true, true, AS_FOR_UPGRADE},
    {Result::BUSY, "busy", EXIT_BUSY, false, true,
     "Another run on this PC was upgrading it: not started."},
    {Result::NOT_STARTED, "not-started", EXIT_ABORTED, false, true,
     "Not started: the fleet was interrupted, a canary failed, --max-failures was reached, or "
     "the --window closed (code window-closed)."},
    {Result::RUNNING, "running", EXIT_ABORTED, true, true,
     "Only in a report written while the fleet ran (it is rewritten whenever a device ends) or "
     "at an interruption: its upgrade was in flight. --retry upgrades it again."},
    {Result::WAITING, "waiting", EXIT_ABORTED, false, true,
     "Only in a report written while the fleet ran: it waited for its first try, or for its next "
     "one (--keep-trying; the message says when, and the code why the last one failed). --retry "
     "upgrades it again."},
};

const ResultRow& row_of(Result result) {
  static_assert(std::size(RESULTS) == static_cast<std::size_t>(Result::WAITING) + 1);
  return RESULTS[static_cast<std::size_t>(result)];
}

}  // namespace

const char* result_word(Result result) { return row_of(result).word; }

bool parse_result(const std::string& word, Result* result) {
  for (const ResultRow& row : RESULTS)
    if (word == row.word) {
      *result = row.result;
      return true;
    }
  return false;
}

int result_exit_code(Result result) { return row_of(result).exit_code; }
bool is_failure(Result result) { return row_of(result).failure; }
bool is_retried(Result result) { return row_of(result).retried; }
const char* fleet_result_text(Result result) { return row_of(result).fleet_text; }

const std::vector<Result>& all_results() {
  static const std::vector<Result> results = [] {
    std::vector<Result> all;
    for (const ResultRow& row : RESULTS) all.push_back(row.result);
    return all;
  }();
  return results;
}

}  // namespace admin
