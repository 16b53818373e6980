// The portable dialog layer's controls: texts, focus, combo boxes and progress
// bars, on the dialog's owner thread, each change told to the front-end.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/dialog.h"
#include "platform/portable/dialog_window.h"

namespace portable_dialog {

bool on_owner_thread(DialogHandle dialog, const char* operation) {
  if (!dialog) return false;
  if (dialog->owner == std::this_thread::get_id()) return true;
  std::fprintf(stderr, "dialog layer: %s called on a thread that does not own dialog %d; ignored\n",
               operation, dialog->dialog_template->id);
  return false;
}

bool alive(DialogHandle dialog) { return !dialog->ended && !dialog->destroyed; }

// The front-end to tell about a change, or null while the dialog is not on
// screen.
DialogFrontend* watcher(DialogHandle dialog) {
  return dialog->visible && alive(dialog) ? dialog->frontend : nullptr;
}

int control_index(DialogHandle dialog, int id) {
  for (std::size_t i = 0; i < dialog->controls.size(); ++i)
    if (dialog->controls[i].control_template->id == id) return static_cast<int>(i);
  return -1;
}

ControlState* control_state(DialogHandle dialog, int id) {
  int index = control_index(dialog, id);
  return index < 0 ? nullptr : &dialog->controls[static_cast<std::size_t>(index)];
}

// Volatile writes the compiler keeps, on every system this layer runs on.
void wipe_text(std::string* text) {
  volatile char* bytes = text->data();
  for (std::size_t i = 0; i < text->size(); ++i) bytes[i] = 0;
  text->clear();
}

bool is_secret(const ControlState& control) {
  return (control.control_template->style & CTL_PASSWORD) != 0;
}

void apply_item_text(DialogHandle dialog, int control, const char* text, bool report) {
  ControlState* c = control_state(dialog, control);
  if (!c) return;
  std::string value = text ? text : "";
  if (c->text == value) return;
  if (is_secret(*c)) wipe_text(&c->text);  // its buffer would be freed as it is
  c->text = std::move(value);
  if (!report) return;
  if (DialogFrontend* f = watcher(dialog)) f->item_text_changed(dialog, control, c->text);
}

void apply_combo_select(DialogHandle dialog, int control, int index, bool report) {
  ControlState* c = control_state(dialog, control);
  if (!c) return;
  // Out of range clears the selection, as CB_SETCURSEL does.
  int selection = index >= 0 && index < static_cast<int>(c->items.size()) ? index : -1;
  if (c->selection == selection) return;
  c->selection = selection;
  if (!report) return;
  if (DialogFrontend* f = watcher(dialog)) f->combo_changed(dialog, control, c->items, selection);
}

std::string text_or_empty(const char* text) { return text ? text : ""; }

}  // namespace portable_dialog

using namespace portable_dialog;

namespace {
// The position always lies within the range, as the progress bar keeps it.
int clamp_position(const ControlState& c, int position) {
  if (c.range_low <= c.range_high) {
    if (position < c.range_low) return c.range_low;
    if (position > c.range_high) return c.range_high;
  }
  return position;
}

void apply_position(DialogHandle dialog, ControlState* c, int position) {
  position = clamp_position(*c, position);
  if (position == c->position) return;
  c->position = position;
  if (DialogFrontend* f = watcher(dialog))
    f->progress_position_changed(dialog, c->control_template->id, position);
}
}  // namespace

void dialog_set_item_text(DialogHandle dialog, int control, const char* text) {
  if (!on_owner_thread(dialog, "dialog_set_item_text")) return;
  apply_item_text(dialog, control, text, true);
}

int dialog_get_item_text(DialogHandle dialog, int control, char* buffer, int limit) {
  if (!buffer || limit <= 0) return 0;
  buffer[0] = '\0';
  if (!on_owner_thread(dialog, "dialog_get_item_text")) return 0;
  const ControlState* c = control_state(dialog, control);
  if (!c) return 0;
  std::size_t count = std::min(c->text.size(), static_cast<std::size_t>(limit - 1));
  std::memcpy(buffer, c->text.data(), count);
  buffer[count] = '\0';
  return static_cast<int>(count);
}

void dialog_focus_item(DialogHandle dialog, int control) {
  if (!on_owner_thread(dialog, "dialog_focus_item")) return;
  int index = control_index(dialog, control);
  if (index < 0 || index == dialog->focus) return;
  dialog->focus = index;
  if (DialogFrontend* f = watcher(dialog)) f->focus_changed(dialog, control);
}

void dialog_combo_add(DialogHandle dialog, int control, const char* text) {
  if (!on_owner_thread(dialog, "dialog_combo_add")) return;
  ControlState* c = control_state(dialog, control);
  if (!c) return;
  c->items.push_back(text_or_empty(text));
  if (DialogFrontend* f = watcher(dialog))
    f->combo_changed(dialog, control, c->items, c->selection);
}

void dialog_combo_select(DialogHandle dialog, int control, int index) {
  if (!on_owner_thread(dialog, "dialog_combo_select")) return;
  apply_combo_select(dialog, control, index, true);
}

int dialog_combo_selection(DialogHandle dialog, int control) {
  if (!on_owner_thread(dialog, "dialog_combo_selection")) return -1;
  const ControlState* c = control_state(dialog, control);
  return c ? c->selection : -1;
}

void dialog_progress_range(DialogHandle dialog, int control, int low, int high) {
  if (!on_owner_thread(dialog, "dialog_progress_range")) return;
  ControlState* c = control_state(dialog, control);
  if (!c) return;
  low &= 0xffff;
  high &= 0xffff;
  if (c->range_low != low || c->range_high != high) {
    c->range_low = low;
    c->range_high = high;
    if (DialogFrontend* f = watcher(dialog)) f->progress_range_changed(dialog, control, low, high);
  }
  apply_position(dialog, c, c->position);
}

void dialog_progress_pos(DialogHandle dialog, int control, int position) {
  if (!on_owner_thread(dialog, "dialog_progress_pos")) return;
  ControlState* c = control_state(dialog, control);
  if (!c) return;
  apply_position(dialog, c, position);
}
