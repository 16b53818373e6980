// One window of the terminal front-end: a dialog or a message box, what it
// shows and its newt form. Private to the front-end's own files.
#pragma once
#include <newt.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "frontends/terminal/layout.h"
#include "frontends/terminal/terminal_frontend.h"

namespace term {

// A scale (progress bar) counts to this.
inline constexpr int SCALE_FULL = 1000;
// newt hands Ctrl-C over as a key: its terminal set-up does not make it a
// signal.
inline constexpr int KEY_CTRL_C = 3;
inline constexpr char MORE_HINT[] = "more below: Tab to it, then Down or PgDn";

inline long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct TerminalFrontend::Item {
  DialogHandle handle = nullptr;  // null: a message box
  const DialogTemplate* dialog_template = nullptr;
  // A modal dialog has the dialog manager's keys (Esc cancels, Enter presses
  // a button); a modeless one, pumped without them, only its buttons.
  bool modal = true;
  std::string caption;
  std::vector<ControlSnapshot> controls;
  int focus = NO_FOCUS;         // where the focus is (the user moves it)
  int chosen_focus = NO_FOCUS;  // the control the program last gave it
  int x = 0, y = 0;             // outer top-left, in cells
  Layout layout;
  // A message box.
  DialogHandle owner = nullptr;
  std::string text;
  std::function<void()> done;
  // newt.
  newtComponent form = nullptr;
  std::vector<newtComponent> widgets;  // template order; box: text, button
  std::vector<bool> scrolls;           // text boxes built with a scroll bar
};

}  // namespace term
