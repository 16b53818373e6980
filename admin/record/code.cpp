#include "admin/record/code.h"

#include <iterator>

namespace admin {

namespace {

struct CodeRow {
  Code code;
  const char* word;
  const char* explanation;
};

const char SYSTEM_FAULT[] =
    "This PC could not open a socket, start a thread or get memory; the message is the wizard's.";

// In the enumeration's order, which is the order --help lists them in.
constexpr CodeRow CODES[] = {
    {Code::NONE, "",
     "upgraded, current, skipped, dry-run, busy and not-started (but window-closed) have no "
     "code."},
    {Code::USER_ABORT, "user-abort",
     "Ctrl-C, a declined confirmation or a cancelled password prompt (the wizard's \"Upgrade "
     "Failed: User Abort\")."},
    {Code::NO_RESPONSE, "no-response",
     "The device did not answer, or did not come back after its restart."},
    {Code::VERSION_NOT_MATCHING, "version-not-matching",
     "The device reports another version than the target after the upgrade, or none."},
    {Code::UPLOAD_INCOMPLETE, "upload-incomplete", "The transfer of the image broke off."},
    {Code::IMAGE_DAMAGED, "image-damaged", "The firmware carried by this program is damaged."},
    {Code::STALLED, "stalled",
     "Nothing happened for 120 s (a device that accepts a connection and never answers, or "
     "never fetches the image)."},
    {Code::PASSWORD_NEEDED, "password-needed",
     "The device asks for a password and none was given (--password-file)."},
    {Code::PASSWORD_REFUSED, "password-refused", "The device refused the password."},
    {Code::INVALID_ADDRESS, "invalid-address", "The wizard refused the device's address."},
    {Code::TIMEOUT, "timeout", "fleet: stopped by --timeout."},
    {Code::NO_RESULT, "no-result",
     "fleet: the device's upgrade process ended, or could not start, without a result."},
    {Code::WINDOW_CLOSED, "window-closed",
     "fleet: not started (result not-started) before the --window closed; --retry starts it "
     "in the next one."},
    {Code::LISTENER_BIND, "listener-bind",
     "No TFTP port could be bound (exit 6); fleet starts such a device again when a port is "
     "free."},
    {Code::DEVICE_LOCK, "device-lock",
     "The run could not take the device's lock (the message says why): nothing was sent."},
    {Code::SOCKETS_START, "sockets-start", SYSTEM_FAULT},
    {Code::HTTP_SOCKET, "http-socket", SYSTEM_FAULT},
    {Code::HTTP_BIND, "http-bind", SYSTEM_FAULT},
    {Code::QUERY_MEMORY, "query-memory", SYSTEM_FAULT},
    {Code::QUERY_THREAD, "query-thread", SYSTEM_FAULT},
    {Code::SESSION_MEMORY, "session-memory", SYSTEM_FAULT},
    {Code::LISTENER_MEMORY, "listener-memory", SYSTEM_FAULT},
    {Code::LISTENER_SOCKET, "listener-socket", SYSTEM_FAULT},
    {Code::LISTENER_THREAD, "listener-thread", SYSTEM_FAULT},
};

const CodeRow& row_of(Code code) {
  static_assert(std::size(CODES) == static_cast<std::size_t>(Code::LISTENER_THREAD) + 1);
  return CODES[static_cast<std::size_t>(code)];
}

}  // namespace

const char* code_word(Code code) { return row_of(code).word; }
const char* code_explanation(Code code) { return row_of(code).explanation; }

bool parse_code(const std::string& word, Code* code) {
  for (const CodeRow& row : CODES)
    if (word == row.word) {
      *code = row.code;
      return true;
    }
  return false;
}

const std::vector<Code>& all_codes() {
  static const std::vector<Code> codes = [] {
    std::vector<Code> all;
    for (const CodeRow& row : CODES) all.push_back(row.code);
    return all;
  }();
  return codes;
}

}  // namespace admin
