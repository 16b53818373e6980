// Inside the portable dialog layer (dialog.cpp, dialog_controls.cpp): the
// dialog record, its controls, the per-thread message queues, and the small
// calls both files use. Nothing outside the layer includes it.
#pragma once
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog.h"
#include "platform/portable/frontend.h"
#include "resources/templates.h"

namespace portable_dialog {

struct Message {
  enum class Kind { Command, ItemText, ComboSelect };
  DialogWindow* target = nullptr;
  Kind kind = Kind::Command;
  int control = 0;
  int value = 0;
  std::string text;
};

struct MessageQueue {
  std::mutex lock;
  std::condition_variable ready;
  std::deque<Message> messages;
};

struct ControlState {
  const ControlTemplate* control_template;
  std::string text;
  std::vector<std::string> items;
  int selection = -1;
  int range_low = 0;
  int range_high = 100;  // a new progress bar's range
  int position = 0;
};

}  // namespace portable_dialog

struct DialogWindow {
  // Fixed at creation; any thread may read them.
  const DialogTemplate* dialog_template;
  DialogProc proc;
  bool modal;
  std::thread::id owner;
  std::shared_ptr<portable_dialog::MessageQueue> queue;
  DialogFrontend* frontend;  // may be null: a modeless dialog nobody sees

  // Guarded by queue->lock: once set, nothing more is queued for it.
  bool closed_for_input = false;

  // Owner thread only.
  std::string caption;
  std::vector<portable_dialog::ControlState> controls;
  int focus = -1;  // index into controls
  int x = 0, y = 0;
  int width = 0, height = 0;
  bool visible = false;
  bool ended = false;
  bool destroyed = false;
  int result = 0;
};

namespace portable_dialog {

// False (with a note on stderr) when called off the dialog's owner thread.
bool on_owner_thread(DialogHandle dialog, const char* operation);
bool alive(DialogHandle dialog);
// The front-end to tell about a change, or null while the dialog is not on
// screen.
DialogFrontend* watcher(DialogHandle dialog);
int control_index(DialogHandle dialog, int id);
ControlState* control_state(DialogHandle dialog, int id);
// A control's text or selection set; report: tell the front-end.
void apply_item_text(DialogHandle dialog, int control, const char* text, bool report);
// Clears a text that may hold a typed password, its bytes overwritten.
void wipe_text(std::string* text);
bool is_secret(const ControlState& control);
void apply_combo_select(DialogHandle dialog, int control, int index, bool report);
std::string text_or_empty(const char* text);

}  // namespace portable_dialog
