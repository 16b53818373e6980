// The portable dialog layer: dialogs as records built from the templates, one
// message queue per thread, and a front-end at the edge that shows them.
// Threading rules are in platform/portable/frontend.h.
#include "platform/dialog.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/portable/dialog_window.h"
#include "platform/portable/frontend.h"
#include "resources/templates.h"

using namespace portable_dialog;

namespace {

// Created on first use; dialogs keep their owner's queue alive, so a post
// that arrives after the owner thread has ended still finds valid memory.
const std::shared_ptr<MessageQueue>& this_thread_queue() {
  thread_local const std::shared_ptr<MessageQueue> queue = std::make_shared<MessageQueue>();
  return queue;
}

constexpr int DEFAULT_SCREEN_WIDTH = 1024;
constexpr int DEFAULT_SCREEN_HEIGHT = 768;
// Dialog base units of 8-point MS Sans Serif at 96 dpi.
constexpr int BASE_X = 6;
constexpr int BASE_Y = 13;

std::atomic<DialogFrontend*> installed_frontend{nullptr};

}  // namespace

namespace {

// Records are never freed: a handle held by a front-end or a late poster
// must stay valid memory. The list only keeps them reachable.
std::mutex registry_lock;
std::vector<DialogWindow*>* registry = new std::vector<DialogWindow*>;

int focus_id(DialogHandle dialog) {
  if (dialog->focus < 0) return NO_FOCUS;
  return dialog->controls[static_cast<std::size_t>(dialog->focus)].control_template->id;
}

void fill_snapshot(DialogHandle dialog, DialogSnapshot* out) {
  out->dialog = dialog;
  out->dialog_template = dialog->dialog_template;
  out->template_id = dialog->dialog_template->id;
  out->modal = dialog->modal;
  out->caption = dialog->caption;
  out->controls.clear();
  for (const ControlState& c : dialog->controls) {
    ControlSnapshot s;
    s.id = c.control_template->id;
    s.kind = c.control_template->kind;
    s.text = c.text;
    s.items = c.items;
    s.selection = c.selection;
    s.range_low = c.range_low;
    s.range_high = c.range_high;
    s.position = c.position;
    out->controls.push_back(std::move(s));
  }
  out->focus = focus_id(dialog);
  out->x = dialog->x;
  out->y = dialog->y;
  out->width = dialog->width;
  out->height = dialog->height;
}

// Stops all further input: what is queued is dropped and later posts are
// refused, under the queue's lock so that no post can slip in between.
void close_for_input(DialogHandle dialog) {
  MessageQueue& queue = *dialog->queue;
  std::lock_guard lock(queue.lock);
  dialog->closed_for_input = true;
  std::erase_if(queue.messages, [dialog](Message& m) {
    if (m.target != dialog) return false;
    wipe_text(&m.text);
    return true;
  });
  // Nothing reads a closed dialog's texts again: a typed password leaves
  // no copy behind.
  for (ControlState& c : dialog->controls)
    if (is_secret(c)) wipe_text(&c.text);
}

bool post(DialogHandle dialog, Message message) {
  if (!dialog) return false;
  MessageQueue& queue = *dialog->queue;
  {
    std::lock_guard lock(queue.lock);
    if (dialog->closed_for_input) return false;
    queue.messages.push_back(std::move(message));
  }
  queue.ready.notify_all();
  return true;
}

void dispatch(Message& message) {
  DialogWindow* dialog = message.target;
  if (!alive(dialog)) return;
  switch (message.kind) {
    case Message::Kind::Command:
      dialog->proc(dialog, WM_COMMAND, static_cast<std::uintptr_t>(message.control) & 0xffffu, 0);
      break;
    case Message::Kind::ItemText:
      apply_item_text(dialog, message.control, message.text.c_str(), false);
      wipe_text(&message.text);  // it may be a typed password
      break;
    case Message::Kind::ComboSelect:
      apply_combo_select(dialog, message.control, message.value, false);
      break;
  }
}

DialogWindow* build(const DialogTemplate* dialog_template, DialogProc proc, bool modal,
                    DialogFrontend* frontend) {
  auto* dialog = new DialogWindow;
  dialog->dialog_template = dialog_template;
  dialog->proc = proc;
  dialog->modal = modal;
  dialog->owner = std::this_thread::get_id();
  dialog->queue = this_thread_queue();
  dialog->frontend = frontend;
  dialog->caption = dialog_template->caption;
  for (int i = 0; i < dialog_template->control_count; ++i) {
    const ControlTemplate& c = dialog_template->controls[i];
    ControlState state;
    state.control_template = &c;
    state.text = c.text;
    dialog->controls.push_back(std::move(state));
  }
  if (frontend) {
    PixelSize size = frontend->template_pixel_size(*dialog_template);
    dialog->width = size.width;
    dialog->height = size.height;
    frontend->template_pixel_position(*dialog_template, &dialog->x, &dialog->y);
  } else {
    dialog->width = dialog_units_to_pixels_x(dialog_template->width, BASE_X);
    dialog->height = dialog_units_to_pixels_y(dialog_template->height, BASE_Y);
    dialog->x = dialog_units_to_pixels_x(dialog_template->x, BASE_X);
    dialog->y = dialog_units_to_pixels_y(dialog_template->y, BASE_Y);
  }
  {
    std::lock_guard lock(registry_lock);
    registry->push_back(dialog);
  }
  return dialog;
}

// WM_INITDIALOG and the focus rule: a nonzero answer gives the focus to the
// first control that takes it, whatever the procedure set; zero keeps the
// procedure's choice.
void initialise(DialogWindow* dialog) {
  std::intptr_t answer = dialog->proc(dialog, WM_INITDIALOG, 0, 0);
  if (answer == 0 || !alive(dialog)) return;
  for (std::size_t i = 0; i < dialog->controls.size(); ++i) {
    if (control_takes_focus(*dialog->controls[i].control_template)) {
      dialog->focus = static_cast<int>(i);
      return;
    }
  }
}

void show(DialogWindow* dialog) {
  dialog->visible = true;
  if (dialog->frontend) {
    DialogSnapshot snapshot;
    fill_snapshot(dialog, &snapshot);
    dialog->frontend->dialog_opened(snapshot);
  }
}

// Sleeps on the calling thread's queue and dispatches every message of the
// thread, whichever dialog it is for, until the modal dialog has ended.
void run_modal_loop(DialogWindow* dialog) {
  MessageQueue& queue = *dialog->queue;
  while (alive(dialog)) {
    Message message;
    {
      std::unique_lock lock(queue.lock);
      queue.ready.wait(lock, [&queue] { return !queue.messages.empty(); });
      message = std::move(queue.messages.front());
      queue.messages.pop_front();
    }
    dispatch(message);
  }
}

}  // namespace

void DialogFrontend::template_pixel_position(const DialogTemplate& dialog_template, int* x,
                                             int* y) {
  *x = dialog_units_to_pixels_x(dialog_template.x, BASE_X);
  *y = dialog_units_to_pixels_y(dialog_template.y, BASE_Y);
}

namespace {
int mul_div(int value, int multiplier, int divisor) {
  long long product = static_cast<long long>(value) * multiplier;
  long long half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor
                                       : -((-product + half) / divisor));
}
}  // namespace

int dialog_units_to_pixels_x(int units, int base_x) { return mul_div(units, base_x, 4); }
int dialog_units_to_pixels_y(int units, int base_y) { return mul_div(units, base_y, 8); }

void frontend_install(DialogFrontend* frontend) { installed_frontend.store(frontend); }
DialogFrontend* frontend_installed() { return installed_frontend.load(); }

int dialog_box(AppInstance, int template_id, DialogProc proc) {
  const DialogTemplate* dialog_template = dialog_template_find(template_id);
  DialogFrontend* frontend = installed_frontend.load();
  // Without a front-end nobody could answer: fail as an uncreatable dialog.
  if (!dialog_template || !proc || !frontend) return -1;
  DialogWindow* dialog = build(dialog_template, proc, true, frontend);
  initialise(dialog);
  if (alive(dialog)) {
    show(dialog);
    run_modal_loop(dialog);
  }
  // The modal loop is over: the dialog is gone, whatever is still queued.
  dialog->destroyed = true;
  close_for_input(dialog);
  return dialog->result;
}

DialogHandle dialog_create(AppInstance, int template_id, DialogProc proc) {
  const DialogTemplate* dialog_template = dialog_template_find(template_id);
  if (!dialog_template || !proc) return nullptr;
  DialogWindow* dialog = build(dialog_template, proc, false, installed_frontend.load());
  initialise(dialog);
  // A dialog destroyed while it initialises was never created.
  return alive(dialog) ? dialog : nullptr;
}

void dialog_show(DialogHandle dialog) {
  if (!on_owner_thread(dialog, "dialog_show")) return;
  if (!alive(dialog) || dialog->visible) return;
  show(dialog);
}

void dialog_end(DialogHandle dialog, int result) {
  if (!on_owner_thread(dialog, "dialog_end")) return;
  if (!alive(dialog)) return;
  DialogFrontend* f = watcher(dialog);
  dialog->ended = true;
  dialog->result = result;
  dialog->visible = false;
  close_for_input(dialog);
  if (f) f->dialog_closed(dialog, result, false);
}

void dialog_destroy(DialogHandle dialog) {
  if (!on_owner_thread(dialog, "dialog_destroy")) return;
  if (dialog->destroyed) return;
  DialogFrontend* f = watcher(dialog);
  // A modal dialog destroyed instead of ended fails like one never created.
  if (!dialog->ended) dialog->result = dialog->modal ? -1 : 0;
  dialog->destroyed = true;
  dialog->visible = false;
  close_for_input(dialog);
  if (f) f->dialog_closed(dialog, dialog->result, true);
}

void dialog_set_caption(DialogHandle dialog, const char* text) {
  if (!on_owner_thread(dialog, "dialog_set_caption")) return;
  std::string value = text_or_empty(text);
  if (dialog->caption == value) return;
  dialog->caption = std::move(value);
  if (DialogFrontend* f = watcher(dialog)) f->caption_changed(dialog, dialog->caption);
}

bool dialog_pump_one(DialogHandle dialog) {
  if (!dialog) return false;
  const std::shared_ptr<MessageQueue>& queue = this_thread_queue();
  // Another thread's dialog has nothing in this thread's queue.
  if (dialog->queue != queue) return false;
  Message message;
  {
    std::lock_guard lock(queue->lock);
    auto it = std::find_if(queue->messages.begin(), queue->messages.end(),
                           [dialog](const Message& m) { return m.target == dialog; });
    if (it == queue->messages.end()) return false;
    message = std::move(*it);
    queue->messages.erase(it);
  }
  dispatch(message);
  return true;
}

void dialog_pump_all(DialogHandle dialog) {
  while (dialog_pump_one(dialog)) {
  }
}

void dialog_message_box(DialogHandle owner, const char* text, const char* title) {
  DialogFrontend* f = owner && owner->frontend ? owner->frontend : installed_frontend.load();
  std::string body = text_or_empty(text);
  std::string heading = title ? title : "Error";  // a box without title says Error
  if (!f) {
    std::fprintf(stderr, "%s: %s\n", heading.c_str(), body.c_str());
    return;
  }
  f->message_box(owner, body, heading);
}

void message_box_task_modal(const char* text, const char* title) {
  dialog_message_box(nullptr, text, title);
}

bool window_get_rect(DialogHandle dialog, WindowRect* rect) {
  if (!rect || !on_owner_thread(dialog, "window_get_rect")) return false;
  if (dialog->destroyed) return false;
  rect->left = dialog->x;
  rect->top = dialog->y;
  rect->right = dialog->x + dialog->width;
  rect->bottom = dialog->y + dialog->height;
  return true;
}

int screen_width() {
  DialogFrontend* f = installed_frontend.load();
  return f ? f->screen_width() : DEFAULT_SCREEN_WIDTH;
}

int screen_height() {
  DialogFrontend* f = installed_frontend.load();
  return f ? f->screen_height() : DEFAULT_SCREEN_HEIGHT;
}

void window_move_top(DialogHandle dialog, int x, int y) {
  if (!on_owner_thread(dialog, "window_move_top")) return;
  if (dialog->destroyed || (dialog->x == x && dialog->y == y)) return;
  dialog->x = x;
  dialog->y = y;
  if (DialogFrontend* f = watcher(dialog)) f->dialog_moved(dialog, x, y);
}

bool dialog_post_command(DialogHandle dialog, int control) {
  return post(dialog, {dialog, Message::Kind::Command, control, 0, {}});
}

bool dialog_post_item_text(DialogHandle dialog, int control, const std::string& text) {
  return post(dialog, {dialog, Message::Kind::ItemText, control, 0, text});
}

bool dialog_post_combo_select(DialogHandle dialog, int control, int index) {
  return post(dialog, {dialog, Message::Kind::ComboSelect, control, index, {}});
}

bool dialog_snapshot(DialogHandle dialog, DialogSnapshot* out) {
  if (!out || !on_owner_thread(dialog, "dialog_snapshot")) return false;
  if (!alive(dialog)) return false;
  fill_snapshot(dialog, out);
  return true;
}
