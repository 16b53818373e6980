// Runs of the whole wizard: the scripted harness (qel-upgrade-scripted) with
// a script, and the transcript it writes.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "resources/ids.h"
#include "support/files.h"

namespace simtest {

using Json = nlohmann::json;

// Writes a firmware image into dir and returns its file name.
std::string write_image(const TempDir& dir, const std::string& name, const std::string& magic,
                        const std::string& version, std::uint32_t size, std::uint64_t seed = 1);

struct WizardRun {
  int exit_code = -1;
  std::vector<Json> events;
  std::string output;  // the harness's standard output

  // The events of one kind, optionally only those of one template.
  std::vector<const Json*> all(const std::string& event, int template_id = 0) const;
  // Template ids of the dialogs in the order they opened (on one thread).
  std::vector<int> opened(const std::string& thread = "") const;
  // Texts of the message boxes, in order.
  std::vector<std::string> boxes() const;
  // The last text a dialog's caption had (its open caption or a later change).
  std::string last_caption(int template_id) const;
  // The run in short for a failure message: its output, then one line per
  // event (with its real time) without the dialogs' controls and geometry.
  std::string summary() const;
};

// What the transcript says of one control of an opened dialog ("open"
// events key controls and combo boxes by their number), and the name the
// harness gives a thread by the first dialog it opens.
const Json& control_text(const Json& opened, int control);
const Json& combo(const Json& opened, int control);
std::string dialog_thread(int template_id);

// Runs qel-upgrade-scripted with the script (written into dir) and returns
// the parsed transcript. Fails the test on a transcript that cannot be read.
WizardRun run_wizard(const TempDir& dir, const std::string& script);

}  // namespace simtest
