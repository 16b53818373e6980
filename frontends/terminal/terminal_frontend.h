// The terminal front-end: the wizard's dialogs as newt windows, centred
// boxes stacked in the order they opened, the newest on top and the only one
// that takes keys.
//
// Threads. newt is not thread-safe, so one UI thread of this front-end owns
// it: it alone draws and reads keys. The dialog layer calls the front-end on
// the dialogs' owner threads; each call copies what it needs into a request
// queue and writes a byte to a pipe. The UI thread sits in newtFormRun with
// that pipe watched (newtFormWatchFd), so a request wakes it at once; it runs
// the queued requests, redraws, and goes back to the form. Progress and
// caption changes are merged (one update per dialog on its way at most), and
// a caption change, which means reopening the windows, is drawn at most ten
// times a second. message_box blocks its caller on a future, holding no
// lock, until the user has closed the box. User input goes back with
// frontend::submit_dialog: the typed texts and selections, then the command.
//
// Keys. The bottom row says which keys the window on top takes. In a modal
// dialog Tab moves, Enter presses the focused (or from a field the default)
// button, Esc cancels; a modeless progress dialog has no such keys, only its
// Cancel button (Space on it). Ctrl-C, which newt hands over as a key, does
// what the top window's Cancel does. A text longer than its box scrolls and
// says so on its last row. After a box, its dialog's focus goes back where
// the program last put it.
#pragma once
#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontends/common/update_merger.h"
#include "frontends/terminal/layout.h"
#include "platform/portable/frontend.h"

namespace term {

class TerminalFrontend : public DialogFrontend {
 public:
  TerminalFrontend();
  ~TerminalFrontend() override;

  // Starts the UI thread, which takes over the terminal; false when the
  // terminal cannot be used. Returns once the screen size is known.
  bool start();

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
  // In character cells; the bottom row is the key legend's, not the
  // dialogs'.
  int screen_width() override { return columns_.load(); }
  int screen_height() override { return std::max(1, rows_.load() - 1); }
  PixelSize template_pixel_size(const DialogTemplate& dialog_template) override;
  void template_pixel_position(const DialogTemplate& dialog_template, int* x, int* y) override;

  struct Item;  // a window on the stack (UI thread only)

 private:
  void post(std::function<void()> request);
  // Queues the delivery of the dialog's merged changes (deliver).
  void queue_delivery(DialogHandle dialog);

  // UI thread.
  void ui_main(std::promise<bool>* ready);
  void run_requests();
  Item* find(DialogHandle dialog);
  void close_item(Item* item);
  void teardown();
  void build();
  void build_item(Item& item);
  std::string legend() const;
  void save_input(Item& item);
  void show_control_value(Item& item, int index);
  void activate(Item& item, void* component);
  void command(Item& item, int control);
  void deliver(DialogHandle dialog);

  int wake_read_ = -1, wake_write_ = -1;
  std::thread ui_;
  std::atomic<int> columns_{80};
  std::atomic<int> rows_{24};

  std::mutex lock_;  // guards requests_
  std::deque<std::function<void()>> requests_;
  frontend::UpdateMerger updates_;

  // UI thread only.
  std::vector<std::unique_ptr<Item>> stack_;  // oldest first
  bool rebuild_ = false;
  bool caption_waiting_ = false;
  long long last_build_ms_ = 0;
};

}  // namespace term
