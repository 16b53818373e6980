#include "frontends/scripted/scripted_frontend.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "frontends/common/dialog.h"
#include "frontends/scripted/echo.h"

namespace scripted {

namespace {

struct ThreadTag {
  unsigned long long frontend = 0;  // the instance that named this thread
  std::string name;
};
thread_local ThreadTag thread_tag;
std::atomic<unsigned long long> next_instance{1};

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
  return frontend::default_pixel_size(t);
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

TranscriptLine ScriptedFrontend::begin_line(const char* event, const std::string& thread) {
  // Real time, not the wizard's clock: a failed run then shows where it stalled.
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  started_);
  return {{"seq", ++sequence_}, {"ms", ms.count()}, {"thread", thread}, {"event", event}};
}

TranscriptLine ScriptedFrontend::begin_dialog_line(const char* event, const Shown& shown) {
  // The owner's name: batches may be written out by another thread at exit.
  TranscriptLine line = begin_line(event, shown.thread);
  line.update({{"dialog", shown.number}, {"template", shown.template_id}});
  return line;
}

void ScriptedFrontend::write(const TranscriptLine& line) {
  if (finished_ || !transcript_) return;
  std::string text = transcript_text(line);
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
  TranscriptLine line = begin_dialog_line("progress", shown);
  line.update({{"control", control},
               {"count", p.count},
               {"first", p.first},
               {"last", p.last},
               {"min", p.low},
               {"max", p.high}});
  write(line);
  shown.pending.erase(it);
}

void ScriptedFrontend::flush_captions(Shown& shown) {
  if (shown.captions_pending == 0) return;
  TranscriptLine line = begin_dialog_line("captions", shown);
  line.update({{"count", shown.captions_pending},
               {"first", shown.first_caption},
               {"last", shown.last_caption}});
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

    TranscriptLine controls = TranscriptLine::object(), combos = TranscriptLine::object(),
                   progress = TranscriptLine::object();
    std::vector<std::string> statics;
    for (const ControlSnapshot& c : s.controls) {
      const std::string id = std::to_string(c.id);
      if (c.kind == ControlKind::ProgressBar) {
        shown.positions[c.id] = c.position;
        shown.ranges[c.id] = {c.range_low, c.range_high};
        progress[id] = {{"low", c.range_low}, {"high", c.range_high}, {"pos", c.position}};
      } else if (c.kind == ControlKind::ComboBox) {
        shown.combo_items[c.id] = c.items;
        combos[id] = {{"items", c.items}, {"selection", c.selection}};
      }
      if (c.id == CONTROL_ID_NONE) {
        if (c.kind != ControlKind::StaticIcon) statics.push_back(c.text);
      } else if (c.kind != ControlKind::ProgressBar && c.kind != ControlKind::ComboBox) {
        controls[id] = c.text;
      }
    }
    TranscriptLine line = begin_line("open", thread);
    line.update({{"dialog", shown.number},
                 {"template", s.template_id},
                 {"modal", s.modal},
                 {"caption", s.caption},
                 {"controls", controls},
                 {"static", statics}});
    if (!combos.empty()) line["combos"] = combos;
    if (!progress.empty()) line["progress"] = progress;
    line["focus"] = s.focus == NO_FOCUS ? TranscriptLine() : TranscriptLine(s.focus);
    line.update({{"x", s.x},
                 {"y", s.y},
                 {"width", s.width},
                 {"height", s.height},
                 {"screen_width", script_.screen_width},
                 {"screen_height", script_.screen_height}});
    write(line);
    if (echo_ && !finished_) {
      echo_line("");
      for (const std::string& text : echo_dialog(s, thread)) echo_line(text);
    }

    int opening = openings_[s.template_id]++;
    if (const Answer* scripted = answer_for(script_, s.template_id, opening)) {
      answer = *scripted;
    } else if (s.modal) {
      // Nobody answers a modal dialog on its own: say so and cancel it, so
      // a short script ends the run instead of hanging it.
      TranscriptLine error = begin_line("error", thread);
      error["message"] = "no answer for template " + std::to_string(s.template_id) + " (opening " +
                         std::to_string(opening + 1) + "); pressing Cancel";
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
      TranscriptLine error = begin_line("error", it->second.thread);
      error["message"] = "no item \"" + action.text + "\" in combo box " +
                         std::to_string(action.control) + "; pressing Cancel";
      write(error);
      echo_line("  ! no item \"" + action.text + "\" in control " + std::to_string(action.control) +
                ": pressing Cancel");
      bool cancelled = dialog_post_command(dialog, IDCANCEL);
      TranscriptLine line = begin_line("input", "user");
      line.update({{"dialog", it->second.number},
                   {"template", it->second.template_id},
                   {"action", "press"},
                   {"control", IDCANCEL}});
      if (!cancelled) line["dropped"] = true;
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
  TranscriptLine line = begin_line("input", "user");
  line.update({{"dialog", it->second.number}, {"template", it->second.template_id}});
  switch (action.kind) {
    case Action::Kind::Press:
      line.update({{"action", "press"}, {"control", action.control}});
      break;
    case Action::Kind::Type:
      line.update({{"action", "type"}, {"control", action.control}, {"text", action.text}});
      break;
    default:
      line.update({{"action", "select"}, {"control", action.control}, {"index", index}});
      if (action.kind == Action::Kind::SelectText) line["text"] = action.text;
      break;
  }
  if (!posted) line["dropped"] = true;
  write(line);
  echo_line("  > " + echo_action(it->second.dialog_template, action));
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
    TranscriptLine line = begin_dialog_line("caption", *shown);
    line["text"] = text;
    write(line);
    return;
  }
  if (shown->captions_pending++ == 0) shown->first_caption = text;
  shown->last_caption = text;
  if (shown->captions_pending >= PROGRESS_BATCH) flush_captions(*shown);
}

void ScriptedFrontend::item_text_changed(DialogHandle dialog, int control,
                                         const std::string& text) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  TranscriptLine line = begin_dialog_line("text", *shown);
  line.update({{"control", control}, {"text", text}});
  write(line);
  if (echo_ && !finished_) {
    for (const std::string& l : echo_text_change(shown->template_id, control, text)) echo_line(l);
  }
}

void ScriptedFrontend::progress_range_changed(DialogHandle dialog, int control, int low, int high) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  flush_progress(dialog, *shown, control);
  shown->ranges[control] = {low, high};
  TranscriptLine line = begin_dialog_line("range", *shown);
  line.update({{"control", control}, {"low", low}, {"high", high}});
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
  TranscriptLine line = begin_dialog_line("combo", *shown);
  line.update({{"control", control}, {"items", items}, {"selection", selection}});
  write(line);
}

void ScriptedFrontend::focus_changed(DialogHandle dialog, int control) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  TranscriptLine line = begin_dialog_line("focus", *shown);
  line["control"] = control;
  write(line);
}

void ScriptedFrontend::dialog_moved(DialogHandle dialog, int x, int y) {
  std::lock_guard lock(lock_);
  Shown* shown = find(dialog);
  if (!shown) return;
  TranscriptLine line = begin_dialog_line("move", *shown);
  line.update({{"x", x}, {"y", y}});
  write(line);
}

void ScriptedFrontend::dialog_closed(DialogHandle dialog, int result, bool destroyed) {
  {
    std::lock_guard lock(lock_);
    Shown* shown = find(dialog);
    if (!shown) return;
    flush_batches(dialog, *shown);
    TranscriptLine line = begin_dialog_line("close", *shown);
    if (destroyed)
      line["destroyed"] = true;
    else
      line["result"] = result;
    write(line);
    echo_line(echo_close(shown->template_id, result, destroyed,
                         shown->caption_changed ? &shown->caption : nullptr, shown->positions,
                         shown->ranges));
    shown->closed = true;
  }
  changed_.notify_all();
}

void ScriptedFrontend::message_box(DialogHandle owner, const std::string& text,
                                   const std::string& title) {
  std::lock_guard lock(lock_);
  TranscriptLine line = begin_line("message_box", thread_name(0));
  auto it = owner ? shown_.find(owner) : shown_.end();
  if (it != shown_.end())
    line.update({{"owner", it->second.number}, {"owner_template", it->second.template_id}});
  else
    line["owner"] = nullptr;
  line.update({{"title", title}, {"text", text}});
  write(line);
  if (echo_ && !finished_) {
    echo_line("");
    for (const std::string& l : echo_message_box(title, text)) echo_line(l);
  }
}

void ScriptedFrontend::record_error(const std::string& message) {
  std::lock_guard lock(lock_);
  TranscriptLine line = begin_line("error", thread_name(0));
  line["message"] = message;
  write(line);
  echo_line("! " + message);
}

void ScriptedFrontend::record_exit(int code) {
  std::lock_guard lock(lock_);
  if (finished_) return;
  for (auto& entry : shown_)
    if (!entry.second.closed) flush_batches(entry.first, entry.second);
  TranscriptLine line = begin_line("exit", thread_name(0));
  line["code"] = code;
  write(line);
  echo_line("");
  echo_line("(exit code " + std::to_string(code) + ")");
  finished_ = true;
}

}  // namespace scripted
