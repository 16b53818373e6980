#include "ui/failures.h"

#include <atomic>

#include "ui/ui.h"

namespace {

struct Entry {
  const char* code;
  const char* text;
};

// In the order of the enumeration.
const Entry CATALOGUE[FAILURE_COUNT] = {
    {"", ""},
    {"user-abort", "Upgrade Failed: User Abort"},
    {"no-response", "Upgrade Failed: No Response From QEL"},
    {"version-not-matching", "Upgrade Failed: Version not matching"},
    {"upload-incomplete", "Upgrade Failed: Firmware Upload Incomplete"},
    {"image-damaged", "Upgrade Failed: Firmware image missing or damaged"},
    {"sockets-start", "Upgrade Failed: Winsock init error"},
    {"http-socket", "Upgrade Failed: Can't open HTTP socket"},
    {"http-bind", "Upgrade Failed: Can't bind HTTP socket"},
    {"query-memory", "Upgrade Failed: Can't malloc for device query"},
    {"query-thread", "Upgrade Failed: Can't start the device query"},
    {"session-memory", "Upgrade Failed: Can't malloc for TFTP session"},
    {"listener-memory", "Upgrade Failed: Can't malloc for TFTP listener"},
    {"listener-socket", "Upgrade Failed: Can't create TFTP listener socket"},
    {"listener-bind", "Upgrade Failed: Can't bind TFTP listener socket"},
    {"listener-thread", "Upgrade Failed: Can't start TFTP listener"},
};

std::atomic<int> last{FAILURE_NONE};

const Entry& entry(Failure failure) {
  return CATALOGUE[failure > FAILURE_NONE && failure < FAILURE_COUNT ? failure : FAILURE_NONE];
}

}  // namespace

const char* failure_text(Failure failure) { return entry(failure).text; }
const char* failure_code(Failure failure) { return entry(failure).code; }

void show_failure(Failure failure, const char* text) {
  last.store(failure);
  show_error(text ? text : failure_text(failure));
}

Failure last_failure() { return static_cast<Failure>(last.load()); }
