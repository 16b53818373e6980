// The terminal front-end's forms: each dialog as a newt window built from
// its template, the values shown in its controls and read back from them.
#include <newt.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frontends/common/dialog.h"
#include "frontends/common/text.h"
#include "frontends/terminal/terminal_frontend.h"
#include "frontends/terminal/terminal_item.h"

namespace term {

namespace {

using frontend::is_button;

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

}  // namespace term
