#include "frontends/scripted/echo.h"

#include <algorithm>

#include "frontends/common/dialog.h"
#include "frontends/common/text.h"

namespace scripted {

namespace {

using frontend::is_button;
using frontend::split_lines;

// Controls whose tops lie this close, in dialog units, share a row.
constexpr int SAME_ROW_UNITS = 6;

std::string control_label(const DialogTemplate* t, int id) {
  const ControlTemplate* c = dialog_template_control(t, id);
  if (c && is_button(c->kind) && c->text[0]) return c->text;
  if (!c && id == IDCANCEL) return "Esc";
  return "control " + std::to_string(id);
}

// What a control shows, or "" for nothing.
std::string echo_value(const ControlTemplate& t, const ControlSnapshot& c) {
  switch (t.kind) {
    case ControlKind::ComboBox: {
      std::string out = "<";
      for (std::size_t i = 0; i < c.items.size(); ++i) {
        out += i ? " | " : " ";
        out += static_cast<int>(i) == c.selection ? "*" + c.items[i] : c.items[i];
      }
      return out + " >";
    }
    case ControlKind::ProgressBar:
      return "[progress " + std::to_string(c.position) + " of " + std::to_string(c.range_low) +
             ".." + std::to_string(c.range_high) + "]";
    case ControlKind::IpAddress:
      return "[address: " + c.text + "]";
    case ControlKind::Edit: {
      std::string text = (t.style & CTL_PASSWORD) ? std::string(c.text.size(), '*') : c.text;
      if ((t.style & CTL_BORDER) && !(t.style & CTL_MULTI_LINE)) return "[" + text + "]";
      return text;
    }
    case ControlKind::StaticText:
      return c.text;
    default:
      return "";
  }
}

}  // namespace

std::vector<std::string> echo_dialog(const DialogSnapshot& s, const std::string& thread) {
  const DialogTemplate* t = s.dialog_template;
  std::vector<std::string> out;
  out.push_back("+--- " + s.caption + " ---  (template " + std::to_string(s.template_id) + ", " +
                (s.modal ? "modal" : "modeless") + ", thread " + thread + ")");
  struct Piece {
    int top, x;
    bool block;
    std::string text;
  };
  std::vector<Piece> pieces;
  std::string buttons;
  for (std::size_t i = 0; i < s.controls.size() && i < static_cast<std::size_t>(t->control_count);
       ++i) {
    const ControlTemplate& ct = t->controls[i];
    const ControlSnapshot& c = s.controls[i];
    if (is_button(ct.kind)) {
      if (!buttons.empty()) buttons += "  ";
      bool focused = c.id == s.focus;
      buttons += std::string(focused ? "[>" : "[ ") + ct.text + (focused ? "<]" : " ]");
      continue;
    }
    std::string value = echo_value(ct, c);
    if (value.empty()) continue;
    bool block = (ct.style & CTL_MULTI_LINE) || value.find('\n') != std::string::npos;
    pieces.push_back({ct.y, ct.x, block, value});
  }
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.top < b.top; });
  for (std::size_t i = 0; i < pieces.size();) {
    if (pieces[i].block) {
      for (const std::string& line : split_lines(pieces[i].text)) out.push_back("| " + line);
      ++i;
      continue;
    }
    std::size_t j = i;
    std::vector<Piece> row;
    while (j < pieces.size() && !pieces[j].block && pieces[j].top - pieces[i].top <= SAME_ROW_UNITS)
      row.push_back(pieces[j++]);
    std::stable_sort(row.begin(), row.end(),
                     [](const Piece& a, const Piece& b) { return a.x < b.x; });
    std::string line;
    for (const Piece& p : row) line += (line.empty() ? "" : "  ") + p.text;
    out.push_back("| " + line);
    i = j;
  }
  if (!buttons.empty()) out.push_back("| " + buttons);
  const ControlTemplate* focused = dialog_template_control(t, s.focus);
  if (focused && !is_button(focused->kind))
    out.push_back("| (focus on control " + std::to_string(s.focus) + ")");
  out.push_back("+---");
  return out;
}

std::vector<std::string> echo_message_box(const std::string& title, const std::string& text) {
  std::vector<std::string> out{"+--- " + title + " ---  (message box)"};
  for (const std::string& line : split_lines(text)) out.push_back("| " + line);
  out.push_back("| [ OK ]");
  out.push_back("+---");
  return out;
}

std::vector<std::string> echo_text_change(int template_id, int control, const std::string& text) {
  std::vector<std::string> out{"  ~ control " + std::to_string(control) + " of dialog " +
                               std::to_string(template_id) + " now reads:"};
  for (const std::string& line : split_lines(text)) out.push_back("  | " + line);
  return out;
}

std::string echo_action(const DialogTemplate* t, const Action& action) {
  switch (action.kind) {
    case Action::Kind::Press:
      return "press " + control_label(t, action.control);
    case Action::Kind::Type:
      return "type \"" + action.text + "\" into control " + std::to_string(action.control);
    case Action::Kind::Select:
      return "select item " + std::to_string(action.value) + " of control " +
             std::to_string(action.control);
    case Action::Kind::SelectText:
      return "select \"" + action.text + "\" in control " + std::to_string(action.control);
    default:
      return "";
  }
}

std::string echo_close(int template_id, int result, bool destroyed, const std::string* caption,
                       const std::map<int, int>& positions,
                       const std::map<int, std::pair<int, int>>& ranges) {
  std::string last;
  if (caption) last += ", caption \"" + *caption + "\"";
  for (const auto& [control, position] : positions) {
    auto range = ranges.find(control);
    const std::pair<int, int> bounds = range == ranges.end() ? std::pair(0, 0) : range->second;
    last += ", progress " + std::to_string(position) + " of " + std::to_string(bounds.first) +
            ".." + std::to_string(bounds.second);
  }
  return "  (dialog " + std::to_string(template_id) +
         (destroyed ? " destroyed" : " ended with " + std::to_string(result)) + last + ")";
}

}  // namespace scripted
