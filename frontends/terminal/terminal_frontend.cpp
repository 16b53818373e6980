#include "frontends/terminal/terminal_frontend.h"

#include <fcntl.h>
#include <newt.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frontends/common/dialog.h"
#include "frontends/common/text.h"
#include "frontends/terminal/terminal_item.h"

namespace term {

namespace {

using frontend::is_button;

constexpr long long CAPTION_INTERVAL_MS = 100;

}  // namespace

TerminalFrontend::TerminalFrontend() = default;

TerminalFrontend::~TerminalFrontend() {
  // The process normally ends with _exit while this runs; when it does not,
  // give the terminal back.
  if (ui_.joinable()) {
    post([] { newtFinished(); });
    ui_.detach();
  }
}

bool TerminalFrontend::start() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wake_read_ = fds[0];
  wake_write_ = fds[1];
  std::promise<bool> ready;
  std::future<bool> started = ready.get_future();
  ui_ = std::thread([this, &ready] { ui_main(&ready); });
  if (started.get()) return true;
  ui_.join();
  return false;
}

void TerminalFrontend::post(std::function<void()> request) {
  {
    std::lock_guard lock(lock_);
    requests_.push_back(std::move(request));
  }
  char byte = 1;
  // A full pipe already holds a wake-up: nothing is lost.
  [[maybe_unused]] ssize_t written = ::write(wake_write_, &byte, 1);
}

void TerminalFrontend::queue_delivery(DialogHandle dialog) {
  post([this, dialog] { deliver(dialog); });
}

PixelSize TerminalFrontend::template_pixel_size(const DialogTemplate& t) {
  Layout l = layout_dialog(t, columns_.load(), screen_height());
  return {outer_width(l), outer_height(l)};
}

void TerminalFrontend::template_pixel_position(const DialogTemplate& t, int* x, int* y) {
  PixelSize size = template_pixel_size(t);
  *x = (columns_.load() - size.width) / 2;
  *y = (screen_height() - size.height) / 2;
}

// ---- calls from the owner threads ----

void TerminalFrontend::dialog_opened(const DialogSnapshot& s) {
  post([this, s] {
    auto item = std::make_unique<Item>();
    item->handle = s.dialog;
    item->dialog_template = s.dialog_template;
    item->modal = s.modal;
    item->caption = s.caption;
    item->controls = s.controls;
    item->focus = s.focus;
    item->chosen_focus = s.focus;
    item->x = s.x;
    item->y = s.y;
    item->layout = layout_dialog(*s.dialog_template, columns_.load(), screen_height());
    stack_.push_back(std::move(item));
    rebuild_ = true;
  });
}

void TerminalFrontend::caption_changed(DialogHandle dialog, const std::string& text) {
  if (updates_.caption(dialog, text)) queue_delivery(dialog);
}

void TerminalFrontend::item_text_changed(DialogHandle dialog, int control,
                                         const std::string& text) {
  post([this, dialog, control, text] {
    Item* item = find(dialog);
    if (!item) return;
    for (std::size_t i = 0; i < item->controls.size(); ++i) {
      if (item->controls[i].id != control) continue;
      item->controls[i].text = text;
      show_control_value(*item, static_cast<int>(i));
    }
  });
}

void TerminalFrontend::progress_range_changed(DialogHandle dialog, int control, int low, int high) {
  if (updates_.range(dialog, control, low, high)) queue_delivery(dialog);
}

void TerminalFrontend::progress_position_changed(DialogHandle dialog, int control, int position) {
  if (updates_.position(dialog, control, position)) queue_delivery(dialog);
}

void TerminalFrontend::combo_changed(DialogHandle dialog, int control,
                                     const std::vector<std::string>& items, int selection) {
  post([this, dialog, control, items, selection] {
    Item* item = find(dialog);
    if (!item) return;
    for (ControlSnapshot& c : item->controls) {
      if (c.id != control) continue;
      c.items = items;
      c.selection = selection;
    }
    rebuild_ = true;  // a newt list box is filled once
  });
}

void TerminalFrontend::focus_changed(DialogHandle dialog, int control) {
  post([this, dialog, control] {
    Item* item = find(dialog);
    if (!item) return;
    item->focus = control;
    item->chosen_focus = control;
    if (!item->form) return;
    for (std::size_t i = 0; i < item->controls.size(); ++i)
      if (item->controls[i].id == control && item->widgets[i] &&
          control_takes_focus(item->dialog_template->controls[i]))
        newtFormSetCurrent(item->form, item->widgets[i]);
  });
}

void TerminalFrontend::dialog_moved(DialogHandle dialog, int x, int y) {
  post([this, dialog, x, y] {
    Item* item = find(dialog);
    if (!item || (item->x == x && item->y == y)) return;
    item->x = x;
    item->y = y;
    rebuild_ = true;
  });
}

void TerminalFrontend::dialog_closed(DialogHandle dialog, int, bool) {
  updates_.forget(dialog);
  post([this, dialog] {
    if (Item* item = find(dialog)) close_item(item);
  });
}

void TerminalFrontend::message_box(DialogHandle owner, const std::string& text,
                                   const std::string& title) {
  if (std::this_thread::get_id() == ui_.get_id()) return;  // nothing of the wizard runs here
  auto closed = std::make_shared<std::promise<void>>();
  std::future<void> waited = closed->get_future();
  post([this, owner, text, title, closed] {
    auto item = std::make_unique<Item>();
    item->owner = owner;
    item->caption = title;
    item->text = text;
    item->done = [closed] { closed->set_value(); };
    BoxLayout box = layout_message_box(text, title, columns_.load(), screen_height());
    item->layout.width = box.width;
    item->layout.height = box.height;
    item->x = box.x;
    item->y = box.y;
    stack_.push_back(std::move(item));
    rebuild_ = true;
  });
  waited.get();
}

// ---- the UI thread ----

TerminalFrontend::Item* TerminalFrontend::find(DialogHandle dialog) {
  for (auto& item : stack_)
    if (item->handle == dialog) return item.get();
  return nullptr;
}

void TerminalFrontend::close_item(Item* item) {
  auto it = std::find_if(stack_.begin(), stack_.end(),
                         [item](const std::unique_ptr<Item>& i) { return i.get() == item; });
  if (it == stack_.end()) return;
  teardown();  // the windows above it must come off first anyway
  std::function<void()> done = std::move((*it)->done);
  // After a box its dialog has the focus where the program last put it:
  // the address dialog puts it back in the field, which the dialog layer,
  // seeing no change, does not pass on again.
  if (Item* owner = (*it)->owner ? find((*it)->owner) : nullptr) owner->focus = owner->chosen_focus;
  stack_.erase(it);
  rebuild_ = true;
  if (done) done();
}

void TerminalFrontend::deliver(DialogHandle dialog) {
  std::optional<frontend::UpdateMerger::Update> update = updates_.take(dialog);
  if (!update) return;
  Item* item = find(dialog);
  if (!item) return;
  for (std::size_t i = 0; i < item->controls.size(); ++i) {
    ControlSnapshot& c = item->controls[i];
    auto bar = update->bars.find(c.id);
    if (bar == update->bars.end()) continue;
    if (bar->second.range) {
      c.range_low = bar->second.range->first;
      c.range_high = bar->second.range->second;
    }
    if (bar->second.position) c.position = *bar->second.position;
    show_control_value(*item, static_cast<int>(i));
  }
  if (update->caption && *update->caption != item->caption) {
    item->caption = *update->caption;
    caption_waiting_ = true;  // drawn by the loop, at most ten times a second
  }
}

void TerminalFrontend::run_requests() {
  char buffer[256];
  while (::read(wake_read_, buffer, sizeof buffer) > 0) {
  }
  for (;;) {
    std::function<void()> request;
    {
      std::lock_guard lock(lock_);
      if (requests_.empty()) return;
      request = std::move(requests_.front());
      requests_.pop_front();
    }
    request();
  }
}

void TerminalFrontend::teardown() {
  for (auto it = stack_.rbegin(); it != stack_.rend(); ++it) {
    Item& item = **it;
    if (!item.form) continue;
    save_input(item);
    newtFormDestroy(item.form);
    item.form = nullptr;
    item.widgets.clear();
    newtPopWindow();
  }
}

void TerminalFrontend::command(Item& item, int control) {
  save_input(item);
  frontend::submit_dialog(item.handle, frontend::dialog_input(*item.dialog_template, item.controls),
                          control);
}

void TerminalFrontend::activate(Item& item, void* component) {
  if (!item.dialog_template) {  // the box's only button
    close_item(&item);
    return;
  }
  const DialogTemplate& d = *item.dialog_template;
  for (int i = 0; i < d.control_count; ++i) {
    if (item.widgets[static_cast<std::size_t>(i)] != component) continue;
    if (is_button(d.controls[i].kind)) {
      command(item, d.controls[i].id);
      return;
    }
    break;
  }
  // Enter in a field presses the default button; without one, id 1.
  int control = IDOK;
  for (int i = 0; i < d.control_count; ++i)
    if (d.controls[i].kind == ControlKind::DefaultPushButton) control = d.controls[i].id;
  command(item, control);
}

void TerminalFrontend::ui_main(std::promise<bool>* ready) {
  if (newtInit() != 0) {
    ready->set_value(false);
    return;
  }
  newtCls();
  int columns = 80, rows = 24;
  newtGetScreenSize(&columns, &rows);
  columns_.store(columns);
  rows_.store(rows);
  // The bottom row says which keys do what (see legend).
  newtPushHelpLine("");
  newtRefresh();
  ready->set_value(true);

  for (;;) {
    run_requests();
    if (caption_waiting_ && now_ms() - last_build_ms_ >= CAPTION_INTERVAL_MS) rebuild_ = true;
    if (rebuild_) {
      teardown();
      build();
    } else {
      newtRefresh();
    }
    if (stack_.empty()) {
      pollfd wake{wake_read_, POLLIN, 0};
      ::poll(&wake, 1, -1);
      continue;
    }
    Item& top = *stack_.back();
    // A caption still to draw brings the loop back when its time has come.
    newtFormSetTimer(top.form, caption_waiting_ ? static_cast<int>(CAPTION_INTERVAL_MS) : 0);
    newtExitStruct exit{};
    newtFormRun(top.form, &exit);
    switch (exit.reason) {
      case newtExitStruct::NEWT_EXIT_COMPONENT:
        activate(top, exit.u.co);
        break;
      case newtExitStruct::NEWT_EXIT_HOTKEY:
        // Ctrl-C does what the window's Cancel does, whatever kind it is: a
        // progress dialog aborts the upgrade, a modal dialog ends with
        // Cancel, a box closes as with OK. Esc does so in a modal window;
        // Esc, Enter and F12 mean nothing to a modeless dialog.
        if (exit.u.key == KEY_CTRL_C || (top.modal && exit.u.key == NEWT_KEY_ESCAPE)) {
          if (top.dialog_template)
            command(top, IDCANCEL);
          else
            close_item(&top);
        } else if (top.modal && exit.u.key == NEWT_KEY_F12) {
          activate(top, nullptr);
        }
        break;
      default:  // a request, the caption timer, or a resize
        break;
    }
  }
}

}  // namespace term
