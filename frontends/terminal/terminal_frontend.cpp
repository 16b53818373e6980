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

namespace term {

namespace {

using frontend::is_button;

constexpr int SCALE_FULL = 1000;
constexpr long long CAPTION_INTERVAL_MS = 100;
// newt hands Ctrl-C over as a key: its terminal set-up does not make it a
// signal.
constexpr int KEY_CTRL_C = 3;

const char MORE_HINT[] = "more below: Tab to it, then Down or PgDn";

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A field the user types into, shown as a newt entry; a multi-line one
// would be a text box.
bool is_typed(const ControlTemplate& c) {
  return frontend::takes_typing(c) && !(c.style & CTL_MULTI_LINE);
}

// A text block's content: centred texts are wrapped here (by newt, as its
// text box would) and each line centred, since a newt text box only wraps
// flush left.
std::string block_text(const std::string& text, int width, unsigned style) {
  std::string plain = frontend::plain_text(text);
  if (!(style & CTL_TEXT_CENTER) || plain.empty()) return plain;
  int actual_width = 0, actual_height = 0;
  char* wrapped = newtReflowText(plain.data(), width, 0, 0, &actual_width, &actual_height);
  std::string out = centre_lines(wrapped, width);
  std::free(wrapped);
  return out;
}

// The address entry takes what a dotted address is made of.
int address_filter(newtComponent, void*, int ch, int) {
  if ((ch >= '0' && ch <= '9') || ch == '.' || ch >= 0x8000 || ch < 32 || ch == 127) return ch;
  return 0;
}

}  // namespace

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

// Puts a control's current value on the screen, if it is built.
void TerminalFrontend::show_control_value(Item& item, int index) {
  if (!item.form || index >= static_cast<int>(item.widgets.size())) return;
  newtComponent widget = item.widgets[static_cast<std::size_t>(index)];
  if (!widget) return;
  const ControlTemplate& t = item.dialog_template->controls[index];
  const ControlSnapshot& c = item.controls[static_cast<std::size_t>(index)];
  const CellRect& r = item.layout.controls[static_cast<std::size_t>(index)];
  switch (t.kind) {
    case ControlKind::ProgressBar: {
      long long span = static_cast<long long>(c.range_high) - c.range_low;
      long long done =
          span > 0 ? (static_cast<long long>(c.position) - c.range_low) * SCALE_FULL / span : 0;
      newtScaleSet(widget,
                   static_cast<unsigned long long>(std::clamp<long long>(done, 0, SCALE_FULL)));
      break;
    }
    case ControlKind::Edit:
    case ControlKind::StaticText:
    case ControlKind::IpAddress:
      if (is_typed(t)) {
        newtEntrySet(widget, c.text.c_str(), 1);
      } else if (spans_rows(t)) {
        // A text longer than its box was built with a scroll bar; rebuild
        // when that changes.
        TextBlock b = text_block(c.text, r, item.layout.width);
        if (b.scroll != item.scrolls[static_cast<std::size_t>(index)]) {
          rebuild_ = true;
          return;
        }
        newtTextboxSetText(widget, block_text(c.text, b.width, t.style).c_str());
      } else {
        newtLabelSetText(widget, aligned_line(c.text, r.width, t.style).c_str());
      }
      break;
    default:
      break;
  }
}

void TerminalFrontend::save_input(Item& item) {
  if (!item.form || !item.dialog_template) return;
  for (int i = 0; i < item.dialog_template->control_count; ++i) {
    const ControlTemplate& t = item.dialog_template->controls[i];
    newtComponent widget = item.widgets[static_cast<std::size_t>(i)];
    if (!widget) continue;
    ControlSnapshot& c = item.controls[static_cast<std::size_t>(i)];
    if (is_typed(t)) c.text = newtEntryGetValue(widget);
    if (t.kind == ControlKind::ComboBox && !c.items.empty())
      c.selection =
          static_cast<int>(reinterpret_cast<std::intptr_t>(newtListboxGetCurrent(widget))) - 1;
  }
  newtComponent current = newtFormGetCurrent(item.form);
  for (std::size_t i = 0; i < item.widgets.size(); ++i)
    if (item.widgets[i] && item.widgets[i] == current) item.focus = item.controls[i].id;
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

void TerminalFrontend::build_item(Item& item) {
  const Layout& l = item.layout;
  int left = std::max(1, item.x + 1);
  int top = std::max(1, item.y + 1);
  newtOpenWindow(left, top, l.width, l.height, item.caption.c_str());
  item.form = newtForm(nullptr, nullptr, 0);
  newtFormAddHotKey(item.form, NEWT_KEY_ESCAPE);
  newtFormAddHotKey(item.form, KEY_CTRL_C);
  // A hot key is seen before the focused button: Enter presses nothing in a
  // modeless dialog.
  if (!item.modal) newtFormAddHotKey(item.form, NEWT_KEY_ENTER);
  newtFormWatchFd(item.form, wake_read_, NEWT_FD_READ);

  if (!item.dialog_template) {  // a message box
    bool scroll = wrapped_lines(item.text, l.width - 4) > l.height - 2;
    newtComponent text = newtTextbox(2, 0, l.width - 4 - (scroll ? 2 : 0), l.height - 2,
                                     NEWT_FLAG_WRAP | (scroll ? NEWT_FLAG_SCROLL : 0));
    newtTextboxSetText(text, frontend::plain_text(item.text).c_str());
    newtComponent ok = newtCompactButton((l.width - 6) / 2, l.height - 1, "OK");
    newtFormAddComponents(item.form, text, ok, nullptr);
    newtFormSetCurrent(item.form, ok);
    item.widgets = {text, ok};
    return;
  }

  const DialogTemplate& d = *item.dialog_template;
  item.widgets.assign(static_cast<std::size_t>(d.control_count), nullptr);
  item.scrolls.assign(static_cast<std::size_t>(d.control_count), false);
  newtComponent focused = nullptr;
  for (int i = 0; i < d.control_count; ++i) {
    const ControlTemplate& t = d.controls[i];
    const ControlSnapshot& c = item.controls[static_cast<std::size_t>(i)];
    const CellRect& r = l.controls[static_cast<std::size_t>(i)];
    newtComponent widget = nullptr;
    switch (t.kind) {
      case ControlKind::PushButton:
      case ControlKind::DefaultPushButton: {
        int width = static_cast<int>(std::strlen(t.text)) + 4;  // "< text >"
        widget = newtCompactButton(r.col + std::max(0, (r.width - width) / 2), r.row, t.text);
        break;
      }
      case ControlKind::Edit:
      case ControlKind::StaticText:
        if (is_typed(t)) {
          int flags = NEWT_FLAG_SCROLL | NEWT_FLAG_RETURNEXIT;
          if (t.style & CTL_PASSWORD) flags |= NEWT_FLAG_PASSWORD;
          widget = newtEntry(r.col, r.row, c.text.c_str(), r.width, nullptr, flags);
        } else if (spans_rows(t)) {
          TextBlock b = text_block(c.text, r, l.width);
          item.scrolls[static_cast<std::size_t>(i)] = b.scroll;
          widget = newtTextbox(r.col, r.row, b.width, b.height,
                               NEWT_FLAG_WRAP | (b.scroll ? NEWT_FLAG_SCROLL : 0));
          newtTextboxSetText(widget, block_text(c.text, b.width, t.style).c_str());
          if (b.scroll && b.height < r.height) {
            std::string hint = std::string(MORE_HINT).substr(0, static_cast<std::size_t>(r.width));
            newtFormAddComponent(item.form, newtLabel(r.col, r.row + b.height, hint.c_str()));
          }
        } else {
          widget = newtLabel(r.col, r.row, aligned_line(c.text, r.width, t.style).c_str());
        }
        break;
      case ControlKind::IpAddress:
        widget = newtEntry(r.col, r.row, c.text.c_str(), std::min(r.width, 16), nullptr,
                           NEWT_FLAG_SCROLL | NEWT_FLAG_RETURNEXIT);
        newtEntrySetFilter(widget, address_filter, nullptr);
        break;
      case ControlKind::ProgressBar:
        widget = newtScale(r.col, r.row, r.width, SCALE_FULL);
        break;
      case ControlKind::ComboBox:
        widget = newtListbox(r.col, r.row, 1, NEWT_FLAG_RETURNEXIT);
        newtListboxSetWidth(widget, r.width);
        for (std::size_t n = 0; n < c.items.size(); ++n)
          newtListboxAppendEntry(widget, c.items[n].c_str(),
                                 reinterpret_cast<void*>(static_cast<std::intptr_t>(n + 1)));
        if (c.selection >= 0) newtListboxSetCurrent(widget, c.selection);
        break;
      case ControlKind::StaticIcon:
        break;
    }
    item.widgets[static_cast<std::size_t>(i)] = widget;
    if (!widget) continue;
    newtFormAddComponent(item.form, widget);
    if (c.id == item.focus && c.id != NO_FOCUS && control_takes_focus(t)) focused = widget;
    show_control_value(item, i);
  }
  if (focused) newtFormSetCurrent(item.form, focused);
}

// The keys the window on top takes, for the bottom line.
std::string TerminalFrontend::legend() const {
  if (stack_.empty()) return "";
  const Item& top = *stack_.back();
  if (!top.dialog_template) return " Enter: OK";
  if (!top.modal)
    return " Space on Cancel, or Ctrl-C: cancel the upgrade  (Esc and Enter do nothing)";
  std::string keys = " Tab: move  Enter: press button  Esc/Ctrl-C: Cancel";
  for (bool scroll : top.scrolls)
    if (scroll) return keys + "  Down/PgDn: scroll text";
  return keys;
}

void TerminalFrontend::build() {
  newtCls();
  // Forms are drawn by newtFormRun, which runs only the top one: the
  // windows below are drawn here.
  for (auto& item : stack_) {
    build_item(*item);
    newtDrawForm(item->form);
  }
  // The bottom row is kept for it (screen_height leaves it out).
  newtPopHelpLine();
  newtPushHelpLine(legend().c_str());
  last_build_ms_ = now_ms();
  caption_waiting_ = false;
  rebuild_ = false;
  newtRefresh();
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
