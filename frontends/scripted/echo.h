// The harness's --echo output: each dialog as it opens, what the script does
// to it, its text changes and how it ends, as plain text for a person
// following a run. The transcript is for programs; this is not parsed.
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "frontends/scripted/script.h"
#include "platform/portable/frontend.h"

namespace scripted {

// A dialog as it opens: a caption line, the controls in reading order
// (rows by position, text blocks line by line), then the buttons with the
// focused one marked.
std::vector<std::string> echo_dialog(const DialogSnapshot& snapshot, const std::string& thread);

// A message box with its OK button.
std::vector<std::string> echo_message_box(const std::string& title, const std::string& text);

// A control whose text the program changed, and the new text.
std::vector<std::string> echo_text_change(int template_id, int control, const std::string& text);

// An input of the script as a person would say it: "press OK", "type ...".
std::string echo_action(const DialogTemplate* dialog_template, const Action& action);

// How a dialog ended, with its caption when the program changed it and
// where its progress bars stood.
std::string echo_close(int template_id, int result, bool destroyed, const std::string* caption,
                       const std::map<int, int>& positions,
                       const std::map<int, std::pair<int, int>>& ranges);

}  // namespace scripted
