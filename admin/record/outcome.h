// How one `upgrade` run ended, decided from what the command line saw of the
// wizard's dialogs: the result word, the exit code, the message, and the
// JSON object and summary line that report it. Pure: no dialogs, no I/O.
#pragma once
#include <string>

#include "admin/record/code.h"
#include "admin/record/record.h"
#include "admin/record/result.h"
#include "ui/failures.h"

namespace admin {

// What a run saw. Texts are the program's single bytes (Latin-1), as the
// dialogs showed them.
struct RunFacts {
  std::string address;  // as given on the command line
  std::string product, version_before;
  std::string version_target;  // the Target image's version
  int stages = 0;              // 1 or 2 once confirmed; 0 before
  bool current = false;        // already on the target: nothing was sent
  bool dry_run_done = false;
  bool confirmed = false;          // the upgrade request was allowed
  bool image_delivered = false;    // every byte of the last image was acknowledged
  bool success_seen = false;       // the wizard's success dialog
  std::string version_reported;    // the device's version at the end ("" none)
  bool user_aborted = false;       // Ctrl-C, a declined confirmation, a cancelled prompt
  Failure failure = FAILURE_NONE;  // the last failure the wizard showed
  std::string last_message;        // the wizard's last message box, as shown
  int own_code = -1;               // the command line ended the run itself (EXIT_*)
  std::string own_message;
  Code own_failure = Code::NONE;  // its code
  int attempts = 0;               // how many times the device was contacted
};

struct Outcome {
  int code = EXIT_FAILED;  // the exit code: the result's, or the command line's own
  Result result = Result::FAILED;
  std::string message;
  std::string version_after;  // "" when the device reported none
  // What ended a run that did not succeed, for programs (JSON's and the
  // report's code): the wizard's failure or the command line's own; NONE
  // for upgraded, current and dry-run.
  Code failure = Code::NONE;
};

// The code of each of the wizard's failures.
Code code_of_failure(Failure failure);

Outcome decide_outcome(const RunFacts& facts);

// The run as the tool records it (record.h; upgrade_json writes it).
UpgradeRecord outcome_record(const RunFacts& facts, const Outcome& outcome, double seconds);
// The summary line for people, device texts made safe to show.
std::string outcome_line(const RunFacts& facts, const Outcome& outcome, double seconds);

}  // namespace admin
