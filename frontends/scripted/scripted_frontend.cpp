#include "frontends/scripted/scripted_frontend.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace scripted {

namespace {

struct ThreadTag {
  unsigned long long frontend = 0;  // the instance that named this thread
  std::string name;
};
thread_local ThreadTag thread_tag;
std::atomic<unsigned long long> next_instance{1};

constexpr int BASE_X = 6;
constexpr int BASE_Y = 13;
constexpr int BORDER = 3;
constexpr int CAPTION_BAR = 19;

bool is_button(ControlKind kind) {
  return kind == ControlKind::PushButton || kind == ControlKind::DefaultPushButton;
}

std::string control_label(const DialogTemplate* t, int id) {
  const ControlTemplate* c = dialog_template_control(t, id);
  if (c && is_button(c->kind) && c->text[0]) return c->text;
  if (!c && id == IDCANCEL) return "Esc";
  return "control " + std::to_string(id);
}

// Splits a dialog text at CR LF (or a lone LF) into display lines.
std::vector<std::string> text_lines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n') {
      lines.emplace_back();
      continue;
    }
    lines.back() += text[i];
  }
  return lines;
}

// What a control shows in the echo, or "" for nothing.
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

// The dialog as text: the controls in reading order (rows by position),
// then the buttons, the focused one marked.
std::vector<std::string> render(const DialogSnapshot& s, const std::string& thread) {
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
  // Controls whose tops lie within 6 units share a row, left to right.
  for (std::size_t i = 0; i < pieces.size();) {
    if (pieces[i].block) {
      for (const std::string& line : text_lines(pieces[i].text)) out.push_back("| " + line);
      ++i;
      continue;
    }
    std::size_t j = i;
    std::vector<Piece> row;
    while (j < pieces.size() && !pieces[j].block && pieces[j].top - pieces[i].top <= 6)
      row.push_back(pieces[j++]);
    std::stable_sort(row.begin(), row.end(), [](const Piece& a, const Piece& b) { return a.x < b.x; });
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

std::string describe(const DialogTemplate* t, const Action& action) {
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

}  // namespace

ScriptedFrontend::ScriptedFrontend(Script script, std::FILE* transcript, std::FILE* echo)
    : script_(std::move(script)), transcript_(transcript), echo_(echo), instance_(next_instance++) {
  thread_tag = {instance_, "main"};
  thread_names_.insert("main");
}

ScriptedFrontend::~ScriptedFrontend() { stop(); }

void ScriptedFrontend::stop() {
  std::vector<std::thread> users;
  {
    std::lock_guard lock(lock_);
    stopping_ = true;
    users.swap(users_);
  }
  changed_.notify_all();
  for (std::thread& t : users) t.join();
}

PixelSize ScriptedFrontend::template_pixel_size(const DialogTemplate& t) {
  return {dialog_units_to_pixels_x(t.width, BASE_X) + 2 * BORDER,
          dialog_units_to_pixels_y(t.height, BASE_Y) + 2 * BORDER + CAPTION_BAR};
}

const std::string& ScriptedFrontend::thread_name(int first_template) {
  if (thread_tag.frontend == instance_) return thread_tag.name;
  std::string base = first_template ? "thread-" + std::to_string(first_template)
                                    : "thread-#" + std::to_string(next_thread_number_++);
  std::string name = base;
  for (int n = 2; thread_names_.count(name); ++n) name = base + "." + std::to_string(n);
  thread_names_.insert(name);
  thread_tag = {instance_, name};
  return thread_tag.name;
}

JsonObject ScriptedFrontend::begin_line(const char* event, const std::string& thread) {
  JsonObject line;
  line.add("seq", ++sequence_).add("thread", thread).add("event", event);
  return line;
}

JsonObject ScriptedFrontend::begin_dialog_line(const char* event, const Shown& shown) {
  // The owner's name: batches may be written out by another thread at exit.
  JsonObject line = begin_line(event, shown.thread);
  line.add("dialog", shown.number).add("template", shown.template_id);
  return line;
}

void ScriptedFrontend::write(const JsonObject& line) {
  if (finished_ || !transcript_) return;
  std::string text = line.text();
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), transcript_);
  std::fflush(transcript_);
}

void ScriptedFrontend::echo_line(const std::string& text) {
  if (!echo_ || finished_) return;
  std::fputs(text.c_str(), echo_);
  std::fputc('\n', echo_);
  std::fflush(echo_);
}

ScriptedFrontend::Shown* ScriptedFrontend::find(DialogHandle dialog) {
  auto it = shown_.find(dialog);
  return it == shown_.end() || it->second.closed ? nullptr : &it->second;
}

void ScriptedFrontend::flush_progress(DialogHandle, Shown& shown, int control) {
  auto it = shown.pending.find(control);
  if (it == shown.pending.end() || it->second.count == 0) return;
  const PendingProgress& p = it->second;
  JsonObject line = begin_dialog_line("progress", shown);
  line.add("control", control)
      .add("count", p.count)
      .add("first", p.first)
      .add("last", p.last)
      .add("min", p.low)
      .add("max", p.high);
  write(line);
  shown.pending.erase(it);
}

void ScriptedFrontend::flush_captions(Shown& shown) {
  if (shown.captions_pending == 0) return;
  JsonObject line = begin_dialog_line("captions", shown);
  line.add("count", shown.captions_pending)
      .add("first", shown.first_caption)
      .add("last", shown.last_caption);
  write(line);
  shown.captions_pending = 0;
}

void ScriptedFrontend::flush_batches(DialogHandle dialog, Shown& shown) {
  flush_captions(shown);
  std::vector<int> controls;
  for (const auto& entry : shown.pending) controls.push_back(entry.first);
  for (int control : controls) flush_progress(dialog, shown, control);
}

void ScriptedFrontend::dialog_opened(const DialogSnapshot& s) {
  Answer answer;
  {
    std::lock_guard lock(lock_);
    const std::string& thread = thread_name(s.template_id);
    Shown& shown = shown_[s.dialog];
    shown.number = next_dialog_number_++;
    shown.template_id = s.template_id;
    shown.dialog_template = s.dialog_template;
    shown.thread = thread;
    shown.caption = s.caption;

    JsonObject controls, combos, progress;
    std::vector<std::string> statics;
    for (const ControlSnapshot& c : s.controls) {
      if (c.kind == ControlKind::ProgressBar) {
        shown.positions[c.id] = c.position;
        shown.ranges[c.id] = {c.range_low, c.range_high};
        JsonObject bar;
        bar.add("low", c.range_low).add("high", c.range_high).add("pos", c.position);
        progress.add_raw(std::to_string(c.id).c_str(), bar.text());
      } else if (c.kind == ControlKind::ComboBox) {
        shown.combo_items[c.id] = c.items;
        JsonObject combo;
        combo.add_raw("items", json_string_array(c.items)).add("selection", c.selection);
        combos.add_raw(std::to_string(c.id).c_str(), combo.text());
      }
      if (c.id == CONTROL_ID_NONE) {
        if (c.kind != ControlKind::StaticIcon) statics.push_back(c.text);
      } else if (c.kind != ControlKind::ProgressBar && c.kind != ControlKind::ComboBox) {
        controls.add(std::to_string(c.id).c_str(), c.text);
      }
    }
    JsonObject line = begin_line("open", thread);
    line.add("dialog", shown.number)
        .add("template", s.template_id)
        .add_bool("modal", s.modal)
        .add("caption", s.caption)
        .add_raw("controls", controls.text())
        .add_raw("static", json_string_array(statics));
    if (!combos.empty()) line.add_raw("combos", combos.text());
    if (!progress.empty()) line.add_raw("progress", progress.text());
    if (s.focus == NO_FOCUS) line.add_null("focus");
    else line.add("focus", s.focus);
    line.add("x", s.x)
        .add("y", s.y)
        .add("width", s.width)
        .add("height", s.height)
        .add("screen_width", script_.screen_width)
        .add("screen_height", script_.screen_height);
    write(line);
    if (echo_ && !finished_) {
      echo_line("");
      for (const std::string& text : render(s, thread)) echo_line(text);
    }

    int opening = openings_[s.template_id]++;
    if (const Answer* scripted = answer_for(script_, s.template_id, opening)) {
      answer = *scripted;
    } else if (s.modal) {
      // Nobody answers a modal dialog on its own: say so and cancel it, so
      // a short script ends the run instead of hanging it.
      JsonObject error = begin_line("error", thread);
      error.add("message", "no answer for template " + std::to_string(s.template_id) +
                               " (opening " + std::to_string(opening + 1) + "); pressing Cancel");
      write(error);
      echo_line("  ! no answer left: pressing Cancel");
      Action cancel;
      cancel.kind = Action::Kind::Press;
      cancel.control = IDCANCEL;
      answer.push_back(cancel);
    }
  }
  run_actions(s.dialog, std::move(answer), 0, false);
}

bool ScriptedFrontend::perform(DialogHandle dialog, const Action& action) {
  std::lock_guard lock(lock_);
  auto it = shown_.find(dialog);
  if (it == shown_.end() || it->second.closed || stopping_) return false;
  int index = action.value;
  if (action.kind == Action::Kind::SelectText) {
    // The item is looked up in what the combo box holds now, so a script
    // can name an address without knowing the list's order.
    const std::vector<std::string>& items = it->second.combo_items[action.control];
    auto found = std::find(items.begin(), items.end(), action.text);
    if (found == items.end()) {
      // Going on with another item would run the wrong case: end the run
      // as an unanswered dialog does.
      JsonObject error = begin_line("error", it->second.thread);
      error.add("message", "no item \"" + action.text + "\" in combo box " +
                               std::to_string(action.control) + "; pressing Cancel");
      write(error);
      echo_line("  ! no item \"" + action.text + "\" in control " +
                std::to_string(action.control) + ": pressing Cancel");
      bool cancelled = dialog_post_command(dialog, IDCANCEL);
      JsonObject line = begin_line("input", "user");
      line.add("dialog", it->second.number).add("template", it->second.template_id);
      line.add("action", "press").add("control", IDCANCEL);
      if (!cancelled) line.add_bool("dropped", true);
      write(line);
      return false;
    }
    index = static_cast<int>(found - items.begin());
  }
  bool posted = false;
  switch (action.kind) {
    case Action::Kind::Press:
      posted = dialog_post_command(dialog, action.control);
      break;
    case Action::Kind::Type:
      posted = dialog_post_item_text(dialog, action.control, action.text);
      break;
    case Action::Kind::Select:
    case Action::Kind::SelectText:
      posted = dialog_post_combo_select(dialog, action.control, index);
      break;
    default:
      return true;
  }
  // Written under the same lock as the post, so the input precedes in the
  // transcript whatever the dialog does with it.
  JsonObject line = begin_line("input", "user");
  line.add("dialog", it->second.number).add("template", it->second.template_id);
  switch (action.kind) {
    case Action::Kind::Press:
      line.add("action", "press").add("control", action.control);
      break;
    case Action::Kind::Type:
      line.add("action", "type").add("control", action.control).add("text", action.text);
      break;
    default:
      line.add("action", "select").add("control", action.control).add("index", index);
      if (action.kind == Action::Kind::SelectText) line.add("text", action.text);
      break;
  }
  if (!posted) line.add_bool("dropped", true);
  write(line);
  echo_line("  > " + describe(it->second.dialog_template, action));
  return posted;
}

void ScriptedFrontend::run_actions(DialogHandle dialog, Answer answer, std::size_t first,
                                   bool on_user_thread) {
  for (std::size_t i = first; i < answer.size(); ++i) {
    const Action& action = answer[i];
    if (action.kind == Action::Kind::Delay || action.kind == Action::Kind::AwaitProgress) {
      if (!on_user_thread) {
        // The owner thread must not wait: hand the rest to a user thread.
        std::lock_guard lock(lock_);
        if (stopping_) return;
        users_.emplace_back(&ScriptedFrontend::run_actions, this, dialog, std::move(answer), i,
                            true);
        return;
      }
      std::unique_lock lock(lock_);
      auto gone = [this, dialog] {
        auto it = shown_.find(dialog);
        return stopping_ || it == shown_.end() || it->second.closed;
      };
      if (action.kind == Action::Kind::Delay) {
        changed_.wait_for(lock, std::chrono::milliseconds(action.value), gone);
      } else {
        changed_.wait(lock, [&] {
          if (gone()) return true;
          const Shown& shown = shown_.find(dialog)->second;
          int control = action.control;
          if (control == 0) {
            const DialogTemplate* t = shown.dialog_template;
            for (int k = 0; k < t->control_count; ++k)
              if (t->controls[k].kind == ControlKind::ProgressBar) {
                control = t->controls[k].id;
                break;
              }
          }
          auto pos = shown.positions.find(control);
          return pos != shown.positions.end() && pos->second >= action.value;
        });
      }
      if (gone()) return;
      continue;
    }
    if (!perform(dialog, action)) return;
  }
}

void ScriptedFrontend::caption_changed(DialogHandle dialog, const std::string& text) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  shown->caption = text;
  shown->caption_changed = true;
  if (shown->captions_written < CAPTION_LINES) {
    ++shown->captions_written;
    JsonObject line = begin_dialog_line("caption", *shown);
    line.add("text", text);
    write(line);
    return;
  }
  if (shown->captions_pending++ == 0) shown->first_caption = text;
  shown->last_caption = text;
  if (shown->captions_pending >= PROGRESS_BATCH) flush_captions(*shown);
}

void ScriptedFrontend::item_text_changed(DialogHandle dialog, int control, const std::string& text) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  JsonObject line = begin_dialog_line("text", *shown);
  line.add("control", control).add("text", text);
  write(line);
  if (echo_ && !finished_) {
    echo_line("  ~ control " + std::to_string(control) + " of dialog " +
              std::to_string(shown->template_id) + " now reads:");
    for (const std::string& l : text_lines(text)) echo_line("  | " + l);
  }
}

void ScriptedFrontend::progress_range_changed(DialogHandle dialog, int control, int low, int high) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  flush_progress(dialog, *shown, control);
  shown->ranges[control] = {low, high};
  JsonObject line = begin_dialog_line("range", *shown);
  line.add("control", control).add("low", low).add("high", high);
  write(line);
}

void ScriptedFrontend::progress_position_changed(DialogHandle dialog, int control, int position) {
  {
    std::lock_guard lock(lock_);
    Shown* shown = find(dialog);
    if (!shown) return;
    shown->positions[control] = position;
    PendingProgress& p = shown->pending[control];
    if (p.count == 0) p.first = p.low = p.high = position;
    ++p.count;
    p.last = position;
    p.low = std::min(p.low, position);
    p.high = std::max(p.high, position);
    if (p.count >= PROGRESS_BATCH) flush_progress(dialog, *shown, control);
  }
  changed_.notify_all();
}

void ScriptedFrontend::combo_changed(DialogHandle dialog, int control,
                                     const std::vector<std::string>& items, int selection) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  shown->combo_items[control] = items;
  JsonObject line = begin_dialog_line("combo", *shown);
  line.add("control", control).add_raw("items", json_string_array(items)).add("selection", selection);
  write(line);
}

void ScriptedFrontend::focus_changed(DialogHandle dialog, int control) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  JsonObject line = begin_dialog_line("focus", *shown);
  line.add("control", control);
  write(line);
}

void ScriptedFrontend::dialog_moved(DialogHandle dialog, int x, int y) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  JsonObject line = begin_dialog_line("move", *shown);
  line.add("x", x).add("y", y);
  write(line);
}

void ScriptedFrontend::dialog_closed(DialogHandle dialog, int result, bool destroyed) {
  {
    std::lock_guard lock(lock_);
    Shown* shown = find(dialog);
    if (!shown) return;
    flush_batches(dialog, *shown);
    JsonObject line = begin_dialog_line("close", *shown);
    if (destroyed) line.add_bool("destroyed", true);
    else line.add("result", result);
    write(line);
    std::string last;
    if (shown->caption_changed) last += ", caption \"" + shown->caption + "\"";
    for (const auto& [control, position] : shown->positions) {
      auto range = shown->ranges[control];
      last += ", progress " + std::to_string(position) + " of " + std::to_string(range.first) +
              ".." + std::to_string(range.second);
    }
    echo_line("  (dialog " + std::to_string(shown->template_id) +
              (destroyed ? " destroyed" : " ended with " + std::to_string(result)) + last + ")");
    shown->closed = true;
  }
  changed_.notify_all();
}

void ScriptedFrontend::message_box(DialogHandle owner, const std::string& text,
                                   const std::string& title) {
  std::lock_guard lock(lock_);
  JsonObject line = begin_line("message_box", thread_name(0));
  auto it = owner ? shown_.find(owner) : shown_.end();
  if (it != shown_.end()) line.add("owner", it->second.number).add("owner_template", it->second.template_id);
  else line.add_null("owner");
  line.add("title", title).add("text", text);
  write(line);
  if (echo_ && !finished_) {
    echo_line("");
    echo_line("+--- " + title + " ---  (message box)");
    for (const std::string& l : text_lines(text)) echo_line("| " + l);
    echo_line("| [ OK ]");
    echo_line("+---");
  }
}

void ScriptedFrontend::record_error(const std::string& message) {
  std::lock_guard lock(lock_);
  JsonObject line = begin_line("error", thread_name(0));
  line.add("message", message);
  write(line);
  echo_line("! " + message);
}

void ScriptedFrontend::record_exit(int code) {
  std::lock_guard lock(lock_);
  if (finished_) return;
  for (auto& entry : shown_)
    if (!entry.second.closed) flush_batches(entry.first, entry.second);
  JsonObject line = begin_line("exit", thread_name(0));
  line.add("code", code);
  write(line);
  echo_line("");
  echo_line("(exit code " + std::to_string(code) + ")");
  finished_ = true;
}

}  // namespace scripted
