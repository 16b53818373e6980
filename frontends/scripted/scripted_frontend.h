// A front-end for automation: answers dialogs from a script, writes every
// event to a JSON-lines transcript and, on request, echoes the dialogs as
// text. docs/SCRIPTED.md describes the script and the transcript.
//
// Callbacks arrive on the dialogs' owner threads; one mutex guards all of
// this object's state and the transcript, so lines come out whole and in
// sequence order. Answers that must wait (delay, await-progress) run on a
// "user" thread of their own per dialog opening, which posts the input.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frontends/scripted/json.h"
#include "frontends/scripted/script.h"
#include "platform/portable/frontend.h"

namespace scripted {

class ScriptedFrontend : public DialogFrontend {
 public:
  // Position changes of one progress bar are written as one line per this
  // many changes (and at range changes, at close and at exit).
  static constexpr int PROGRESS_BATCH = 1000;
  // Caption changes of one dialog past this many are batched the same way
  // (the upload dialog retitles itself for every block).
  static constexpr int CAPTION_LINES = 64;

  // The constructing thread is named "main" in the transcript. transcript
  // and echo (null for none) stay owned by the caller.
  ScriptedFrontend(Script script, std::FILE* transcript, std::FILE* echo);
  ~ScriptedFrontend() override;

  // Writes the exit event once and flushes; later events are not written.
  void record_exit(int code);
  void record_error(const std::string& message);
  // Abandons waiting answers and joins the user threads.
  void stop();

  void dialog_opened(const DialogSnapshot& snapshot) override;
  void caption_changed(DialogHandle dialog, const std::string& text) override;
  void item_text_changed(DialogHandle dialog, int control, const std::string& text) override;
  void progress_range_changed(DialogHandle dialog, int control, int low, int high) override;
  void progress_position_changed(DialogHandle dialog, int control, int position) override;
  void combo_changed(DialogHandle dialog, int control, const std::vector<std::string>& items,
                     int selection) override;
  void focus_changed(DialogHandle dialog, int control) override;
  void dialog_moved(DialogHandle dialog, int x, int y) override;
  void dialog_closed(DialogHandle dialog, int result, bool destroyed) override;
  void message_box(DialogHandle owner, const std::string& text, const std::string& title) override;
  int screen_width() override { return script_.screen_width; }
  int screen_height() override { return script_.screen_height; }
  // 6 x 13 pixels per 4 x 8 dialog units, plus a 3-pixel border on every
  // side and a 19-pixel caption bar.
  PixelSize template_pixel_size(const DialogTemplate& dialog_template) override;

 private:
  struct PendingProgress {
    long long count = 0;
    int first = 0, last = 0, low = 0, high = 0;
  };
  struct Shown {
    int number = 0;
    int template_id = 0;
    const DialogTemplate* dialog_template = nullptr;
    std::string thread;
    bool closed = false;
    std::string caption;  // for the echo at close
    bool caption_changed = false;
    std::map<int, int> positions;
    std::map<int, std::pair<int, int>> ranges;
    std::map<int, std::vector<std::string>> combo_items;  // for select-text
    std::map<int, PendingProgress> pending;
    int captions_written = 0;
    long long captions_pending = 0;
    std::string first_caption, last_caption;
  };

  // All below with lock_ held.
  const std::string& thread_name(int first_template);
  void write(const TranscriptLine& line);
  TranscriptLine begin_line(const char* event, const std::string& thread);
  TranscriptLine begin_dialog_line(const char* event, const Shown& shown);
  void flush_progress(DialogHandle dialog, Shown& shown, int control);
  void flush_batches(DialogHandle dialog, Shown& shown);  // progress and captions
  void flush_captions(Shown& shown);
  Shown* find(DialogHandle dialog);
  void echo_line(const std::string& text);

  // Runs an answer from step first; waits only when on_user_thread.
  void run_actions(DialogHandle dialog, Answer answer, std::size_t first, bool on_user_thread);
  // Posts one input and records it; false when the dialog no longer takes
  // input.
  bool perform(DialogHandle dialog, const Action& action);

  const Script script_;
  std::FILE* const transcript_;
  std::FILE* const echo_;

  std::mutex lock_;
  std::condition_variable changed_;
  long long sequence_ = 0;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  bool finished_ = false;
  bool stopping_ = false;
  int next_dialog_number_ = 1;
  int next_thread_number_ = 1;
  // Names are kept in a thread-local tag, not by thread id: ids of ended
  // threads are handed out again.
  const unsigned long long instance_;
  std::set<std::string> thread_names_;
  std::map<DialogHandle, Shown> shown_;
  std::map<int, int> openings_;
  std::vector<std::thread> users_;
};

}  // namespace scripted
