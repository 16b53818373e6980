#include "frontends/admin/result.h"

#include <iterator>

namespace admin {

namespace {

struct ResultRow {
  Result result;
  const char* word;
  int exit_code;
  bool failure;
  bool retried;
};

// In the enumeration's order.
constexpr ResultRow RESULTS[] = {
    {Result::UPGRADED, "upgraded", EXIT_UPGRADED, false, false},
    {Result::CURRENT, "current", EXIT_UPGRADED, false, true},
    {Result::SKIPPED, "skipped", EXIT_UPGRADED, false, false},
    {Result::DRY_RUN, "dry-run", EXIT_UPGRADED, false, true},
    {Result::FAILED, "failed", EXIT_FAILED, true, true},
    {Result::ABORTED, "aborted", EXIT_ABORTED, true, true},
    {Result::UNREACHABLE, "unreachable", EXIT_UNREACHABLE, true, true},
    {Result::UNVERIFIED, "unverified", EXIT_UNVERIFIED, true, true},
    {Result::BUSY, "busy", EXIT_BUSY, false, true},
    {Result::NOT_STARTED, "not-started", EXIT_ABORTED, false, true},
    {Result::RUNNING, "running", EXIT_ABORTED, true, true},
};

const ResultRow& row_of(Result result) {
  static_assert(std::size(RESULTS) == static_cast<std::size_t>(Result::RUNNING) + 1);
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

}  // namespace admin
