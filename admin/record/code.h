// What ended a run that did not succeed, for programs: the `code` of
// upgrade's JSON and of the fleet's report, as one type with one table (its
// word and what it means, which --help and the manual page print). The
// wizard's own failures keep the words the core gives them (ui/failures.h);
// the others are the command line's and the fleet's.
#pragma once
#include <string>
#include <vector>

namespace admin {

enum class Code {
  NONE,  // it succeeded, or stopped on purpose
  USER_ABORT,
  NO_RESPONSE,
  VERSION_NOT_MATCHING,
  UPLOAD_INCOMPLETE,
  IMAGE_DAMAGED,
  STALLED,  // nothing happened for 120 s
  PASSWORD_NEEDED,
  PASSWORD_REFUSED,
  INVALID_ADDRESS,
  TIMEOUT,        // fleet: stopped by --timeout
  NO_RESULT,      // fleet: the upgrade process ended, or could not start, without a result
  WINDOW_CLOSED,  // fleet: not started before --window closed
  LISTENER_BIND,
  DEVICE_LOCK,  // the device's lock could not be taken
  SOCKETS_START,
  HTTP_SOCKET,
  HTTP_BIND,
  QUERY_MEMORY,
  QUERY_THREAD,
  SESSION_MEMORY,
  LISTENER_MEMORY,
  LISTENER_SOCKET,
  LISTENER_THREAD,
};

// "" for NONE.
const char* code_word(Code code);
// "" reads as NONE; false for a word this program never writes.
bool parse_code(const std::string& word, Code* code);
const char* code_explanation(Code code);
// Every code, in the table's order.
const std::vector<Code>& all_codes();

}  // namespace admin
