// The automation script of the scripted front-end: the PC's environment and
// the user's answers, one directive a line. docs/SCRIPTED.md is the manual.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace scripted {

struct Action {
  enum class Kind {
    Press,          // post WM_COMMAND with control
    Type,           // replace the text of control
    Select,         // choose combo item value of control
    SelectText,     // choose the combo item of control whose text is text
    Delay,          // wait value ms of real time
    AwaitProgress,  // wait until progress bar control reaches value
    Nothing,        // leave the dialog to the program
  };
  Kind kind = Kind::Nothing;
  int control = 0;  // AwaitProgress: 0 = the dialog's first progress bar
  int value = 0;
  std::string text;
};

// What one opening of a dialog gets.
using Answer = std::vector<Action>;

enum class HostAddresses { Real, List, Unresolved };

struct ImageFile {
  int resource;      // 112 or 319
  std::string path;  // resolved against the script's folder; empty = remove
};

struct Script {
  HostAddresses host = HostAddresses::Real;
  std::vector<std::uint32_t> addresses;  // host order
  std::vector<ImageFile> images;
  bool stage_set = false;
  bool transition_stage = false;
  double clock_scale = 1.0;
  std::uint32_t clock_offset = 0;
  bool clock_set = false;
  int screen_width = 1024;
  int screen_height = 768;
  int timeout_ms = 0;  // 0: no limit
  bool repeat_last_answer = false;
  std::map<int, std::vector<Answer>> answers;  // by template id, in order
};

// Parses a script; base_dir resolves relative image paths. On error returns
// false with "line N: reason".
bool parse_script(const std::string& text, const std::string& base_dir, Script* out,
                  std::string* error);

// The answer for the n-th opening (0-based) of a template, following the
// script's policy when the answers have run out: null when there is none.
const Answer* answer_for(const Script& script, int template_id, int opening);

}  // namespace scripted
