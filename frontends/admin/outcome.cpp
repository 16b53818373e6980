#include "frontends/admin/outcome.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "frontends/admin/util.h"
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
              const std::string& code = "") {
  return {result_exit_code(result), result, message, version_after, code};
}

Outcome unverified(const std::string& message, const std::string& reported,
                   const std::string& code) {
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
    default:
      return Result::FAILED;
  }
}

}  // namespace

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
  const std::string code = failure_code(f.failure);
  if (f.success_seen) {
    // The wizard does not compare versions for every model: the command
    // line does, always.
    if (f.version_reported == f.version_target)
      return ended(Result::UPGRADED, device + " Upgrade Successful!", f.version_reported);
    if (f.version_reported.empty())
      return unverified(
          device + " reports no software version after the upgrade to " + f.version_target, "",
          failure_code(FAILURE_VERSION_NOT_MATCHING));
    return unverified(device + " reports version " + f.version_reported +
                          " after the upgrade, not " + f.version_target,
                      f.version_reported, failure_code(FAILURE_VERSION_NOT_MATCHING));
  }
  if (f.dry_run_done)
    return ended(Result::DRY_RUN, f.product + " on " + f.version_before +
                                      ": the upgrade would install " + f.version_target +
                                      (f.stages == 2 ? " in two stages" : " in one stage") +
                                      "; no upgrade request was sent");
  bool aborted = f.user_aborted || f.failure == FAILURE_USER_ABORT;
  const std::string abort_code = failure_code(FAILURE_USER_ABORT);
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
  // What the device reported instead: the verification just read it.
  if (f.failure == FAILURE_VERSION_NOT_MATCHING) o.version_after = f.version_reported;
  return o;
}

std::string outcome_json(const RunFacts& f, const Outcome& o, double seconds) {
  using Json = nlohmann::ordered_json;
  auto text_or_null = [](const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(latin1_to_utf8(text));
  };
  Json line;
  line["address"] = valid_utf8(f.address);
  line["result"] = result_word(o.result);
  line["message"] = latin1_to_utf8(joined(o.message));
  line["version_before"] = text_or_null(f.version_before);
  line["version_after"] = text_or_null(o.version_after);
  line["stages"] = f.stages ? Json(f.stages) : Json(nullptr);
  line["seconds"] = std::round(seconds * 10) / 10;
  line["product"] = text_or_null(f.product);
  line["version_target"] = text_or_null(f.version_target);
  line["image_delivered"] = f.image_delivered;
  line["code"] = o.failure.empty() ? Json(nullptr) : Json(o.failure);
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string outcome_line(const RunFacts& f, const Outcome& o, double seconds) {
  std::string address = shown_utf8(f.address);
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  if (o.result == Result::UPGRADED)
    return address + ": upgraded from " + shown_text(f.version_before) + " to " +
           shown_text(o.version_after) + " in " + time;
  std::string message = shown_text(joined(o.message));
  if (o.result == Result::DRY_RUN || o.result == Result::CURRENT) return address + ": " + message;
  return address + ": " + result_word(o.result) + (message.empty() ? "" : ": " + message);
}

}  // namespace admin
