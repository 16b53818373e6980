// A front-end that records what the user would see of each dialog, for the
// unit tests of the TFTP server (which shows its dialogs from the listener's
// or the transfer's thread). Header-only, like udp_peer.h.
#pragma once
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog.h"
#include "platform/portable/frontend.h"
#include "resources/ids.h"

struct DialogRecord {
  int template_id = 0;
  std::vector<std::string> captions;  // the one at opening, then every change
  std::map<int, std::string> texts;   // each control's text as it stands
  int range_high = -1;                // the progress bar's
  std::vector<int> positions;         // the progress bar's, at opening and every change
  bool closed = false;
};

class DialogRecorder : public DialogFrontend {
 public:
  int cancel_template = 0;  // Cancel is pressed as soon as this template opens

  void dialog_opened(const DialogSnapshot& s) override {
    std::lock_guard lock(mutex_);
    open_[s.dialog] = records_.size();  // a handle may come again once closed
    DialogRecord& r = records_.emplace_back();
    r.template_id = s.template_id;
    r.captions.push_back(s.caption);
    for (const ControlSnapshot& c : s.controls) {
      r.texts[c.id] = c.text;
      if (c.id == IDC_PROGRESS) {
        r.range_high = c.range_high;
        r.positions.push_back(c.position);
      }
    }
    events_.emplace_back("open", s.template_id);
    if (s.modal) dialog_post_command(s.dialog, IDOK);
    if (s.template_id == cancel_template) dialog_post_command(s.dialog, IDCANCEL);
  }
  void caption_changed(DialogHandle d, const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (DialogRecord* r = record(d)) r->captions.push_back(text);
  }
  void item_text_changed(DialogHandle d, int control, const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (DialogRecord* r = record(d)) r->texts[control] = text;
  }
  void progress_range_changed(DialogHandle d, int control, int, int high) override {
    std::lock_guard lock(mutex_);
    if (DialogRecord* r = record(d); r && control == IDC_PROGRESS) r->range_high = high;
  }
  void progress_position_changed(DialogHandle d, int control, int position) override {
    std::lock_guard lock(mutex_);
    if (DialogRecord* r = record(d); r && control == IDC_PROGRESS) r->positions.push_back(position);
  }
  void combo_changed(DialogHandle, int, const std::vector<std::string>&, int) override {}
  void focus_changed(DialogHandle, int) override {}
  void dialog_moved(DialogHandle, int, int) override {}
  void dialog_closed(DialogHandle d, int, bool) override {
    std::lock_guard lock(mutex_);
    if (DialogRecord* r = record(d)) {
      r->closed = true;
      events_.emplace_back("close", r->template_id);
      open_.erase(d);
    }
  }
  // Also on standard error, which death tests and child processes match.
  void message_box(DialogHandle, const std::string& text, const std::string& title) override {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    std::lock_guard lock(mutex_);
    boxes_.push_back(title + ": " + text);
  }
  int screen_width() override { return 1024; }
  int screen_height() override { return 768; }
  PixelSize template_pixel_size(const DialogTemplate& t) override { return {t.width, t.height}; }

  // The records of the dialogs opened from the template, in opening order.
  std::vector<DialogRecord> dialogs(int template_id) {
    std::lock_guard lock(mutex_);
    std::vector<DialogRecord> found;
    for (const DialogRecord& r : records_)
      if (r.template_id == template_id) found.push_back(r);
    return found;
  }
  // The positions of the template's bars, one dialog after the other.
  std::vector<int> positions(int template_id) {
    std::vector<int> all;
    for (const DialogRecord& r : dialogs(template_id))
      all.insert(all.end(), r.positions.begin(), r.positions.end());
    return all;
  }
  using Event = std::pair<std::string, int>;  // "open" or "close", template
  std::vector<Event> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }

 private:
  DialogRecord* record(DialogHandle d) {
    auto found = open_.find(d);
    return found == open_.end() ? nullptr : &records_[found->second];
  }

  std::mutex mutex_;
  std::vector<DialogRecord> records_;
  std::map<DialogHandle, std::size_t> open_;
  std::vector<Event> events_;
  std::vector<std::string> boxes_;
};
