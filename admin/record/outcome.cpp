#include "admin/record/outcome.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "admin/output.h"
#include "frontends/common/text.h"

namespace admin {

namespace {

// A report field stays on one line: the lines of a message joined by blanks.
std::string joined(const std::string& text) {
  std::string out;
  for (const std::string& line : frontend::split_lines(text)) {
    if (line.empty()) continue;
    out += (out.empty() ? "" : " ") + line;
  }
  return out;
}

Outcome ended(Result result, const std::string& message, const std::string& version_after = "",
              Code code = Code::NONE) {
  return {result_exit_code(result), result, message, version_after, code};
}

Outcome unverified(const std::string& message, const std::string& reported, Code code) {
  return ended(Result::UNVERIFIED, message, reported, code);
}

// The command line's own endings (its exit code kept: a refused address is
// a usage error, a refused port says so).
Result result_of_own_code(int code) {
  switch (code) {
    case EXIT_UNREACHABLE:
      return Result::UNREACHABLE;
    case EXIT_UNVERIFIED:
      return Result::UNVERIFIED;
    case EXIT_BUSY:
      return Result::BUSY;
    case EXIT_ABORTED:
      return Result::ABORTED;
    default:
      return Result::FAILED;
  }
}

}  // namespace

Code code_of_failure(Failure failure) {
  switch (failure) {
    case FAILURE_NONE:
    case FAILURE_COUNT:
      return Code::NONE;
    case FAILURE_USER_ABORT:
      return Code::USER_ABORT;
    case FAILURE_NO_RESPONSE:
      return Code::NO_RESPONSE;
    case FAILURE_VERSION_NOT_MATCHING:
      return Code::VERSION_NOT_MATCHING;
    case FAILURE_UPLOAD_INCOMPLETE:
      return Code::UPLOAD_INCOMPLETE;
    case FAILURE_IMAGE_DAMAGED:
      return Code::IMAGE_DAMAGED;
    case FAILURE_SOCKETS_START:
      return Code::SOCKETS_START;
    case FAILURE_HTTP_SOCKET:
      return Code::HTTP_SOCKET;
    case FAILURE_HTTP_BIND:
      return Code::HTTP_BIND;
    case FAILURE_QUERY_MEMORY:
      return Code::QUERY_MEMORY;
    case FAILURE_QUERY_THREAD:
      return Code::QUERY_THREAD;
    case FAILURE_SESSION_MEMORY:
      return Code::SESSION_MEMORY;
    case FAILURE_LISTENER_MEMORY:
      return Code::LISTENER_MEMORY;
    case FAILURE_LISTENER_SOCKET:
      return Code::LISTENER_SOCKET;
    case FAILURE_LISTENER_BIND:
      return Code::LISTENER_BIND;
    case FAILURE_LISTENER_THREAD:
      return Code::LISTENER_THREAD;
  }
  return Code::NONE;
}

Outcome decide_outcome(const RunFacts& f) {
  const std::string device = "QEL@" + f.address;
  if (f.own_code >= 0) {
    // The command line's own ending; once the image is there, only the
    // device's version can say how it went.
    if (f.image_delivered) return unverified(f.own_message, f.version_reported, f.own_failure);
    return {f.own_code, result_of_own_code(f.own_code), f.own_message, "", f.own_failure};
  }
  // Ending on purpose leaves the wizard's "User Abort" behind: no failure.
  if (f.current)
    return ended(Result::CURRENT,
                 device + " already runs " + f.version_target + ": nothing was sent",
                 f.version_before);
  const Code code = code_of_failure(f.failure);
  if (f.success_seen) {
    // The wizard does not compare versions for every model: the command
    // line does, always.
    if (f.version_reported == f.version_target)
      return ended(Result::UPGRADED, device + " Upgrade Successful!", f.version_reported);
    if (f.version_reported.empty())
      return unverified(
          device + " reports no software version after the upgrade to " + f.version_target, "",
          Code::VERSION_NOT_MATCHING);
    return unverified(device + " reports version " + f.version_reported +
                          " after the upgrade, not " + f.version_target,
                      f.version_reported, Code::VERSION_NOT_MATCHING);
  }
  if (f.dry_run_done)
    return ended(Result::DRY_RUN, f.product + " on " + f.version_before +
                                      ": the upgrade would install " + f.version_target +
                                      (f.stages == 2 ? " in two stages" : " in one stage") +
                                      "; no upgrade request was sent");
  bool aborted = f.user_aborted || f.failure == FAILURE_USER_ABORT;
  const Code abort_code = Code::USER_ABORT;
  if (f.image_delivered) {
    if (aborted)
      return unverified("interrupted after the image was delivered: " + device +
                            " is reflashing to " + f.version_target +
                            "; its version was not checked",
                        "", abort_code);
    if (f.failure == FAILURE_NO_RESPONSE || f.last_message.empty())
      return unverified(f.last_message.empty()
                            ? device + " took the image; its version was not checked"
                            : f.last_message,
                        "", code);
  }
  if (aborted) return ended(Result::ABORTED, f.last_message, "", abort_code);
  if (f.failure == FAILURE_NO_RESPONSE && !f.confirmed)
    return ended(Result::UNREACHABLE, f.last_message, "", code);
  Outcome o = ended(Result::FAILED, f.last_message, "", code);
  // Every TFTP port was taken (by other programs, here): this PC could not
  // serve the firmware, as when it may not bind them.
  if (f.failure == FAILURE_LISTENER_BIND) o.code = EXIT_NO_PORT;
  // What the device reported instead: the verification just read it.
  if (f.failure == FAILURE_VERSION_NOT_MATCHING) o.version_after = f.version_reported;
  return o;
}

UpgradeRecord outcome_record(const RunFacts& f, const Outcome& o, double seconds) {
  auto utf8 = [](const std::string& text) { return frontend::latin1_to_utf8(text); };
  UpgradeRecord r;
  r.address = frontend::valid_utf8(f.address);
  r.result = o.result;
  r.message = utf8(joined(o.message));
  r.version_before = utf8(f.version_before);
  r.version_after = utf8(o.version_after);
  r.stages = f.stages;
  r.seconds = seconds;
  r.product = utf8(f.product);
  r.version_target = utf8(f.version_target);
  r.image_delivered = f.image_delivered;
  r.code = o.failure;
  r.attempts = f.attempts;
  return r;
}

std::string outcome_line(const RunFacts& f, const Outcome& o, double seconds) {
  std::string address = frontend::shown_utf8(f.address);
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  if (o.result == Result::UPGRADED)
    return address + ": upgraded from " + frontend::shown_text(f.version_before) + " to " +
           frontend::shown_text(o.version_after) + " in " + time;
  std::string message = frontend::shown_text(joined(o.message));
  if (o.result == Result::DRY_RUN || o.result == Result::CURRENT) return address + ": " + message;
  return address + ": " + result_word(o.result) + (message.empty() ? "" : ": " + message);
}

}  // namespace admin
