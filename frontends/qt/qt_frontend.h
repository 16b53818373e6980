// The desktop front-end: the wizard's dialogs as Qt 6 Widgets windows.
//
// Threads. Every widget lives on the UI thread, the thread that created the
// QApplication and runs its event loop. The dialog layer calls this
// front-end on the dialogs' owner threads (the wizard's main thread, the
// TFTP listener); each call copies what it needs and posts it to the UI
// thread (QMetaObject::invokeMethod, queued), so it never waits for the UI.
// Two calls need an answer from the UI thread (message_box, the screen
// size): they post a request and block the calling thread on its own
// future, holding no lock, until the UI thread has answered. The pixel size
// of a template comes from the font's base units, fixed at start, and the
// window frame the UI thread last saw, kept in atomics.
//
// Progress and caption changes are merged (frontend::UpdateMerger): per
// dialog at most one update is on its way to the UI thread at any time, and
// it carries the newest values when it runs, however fast the owner thread
// changes them.
//
// Modal dialogs and message boxes hold their own thread only: that thread
// waits in the dialog layer, and the UI thread disables that thread's other
// windows meanwhile; another thread's windows stay usable. When a box
// closes, its dialog gets the focus back where the program last put it. The
// UI thread hands user input back with frontend::submit_dialog: the
// editable controls' texts and selections, then the command.
//
// Keys: modal dialogs have the dialog manager's (Esc cancels, Enter presses
// the focused or default button); the modeless progress dialogs are pumped
// without them, so there only the Cancel button and the close box act.
#pragma once
#include <functional>
#include <string>
#include <thread>

#include "frontends/common/update_merger.h"
#include "frontends/qt/dialog_widget.h"
#include "platform/portable/frontend.h"

class QObject;

namespace qtfe {

class UiHost;

class QtFrontend : public DialogFrontend {
 public:
  // Construct on the UI thread, after the QApplication.
  QtFrontend();
  ~QtFrontend() override;

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
  int screen_width() override;
  int screen_height() override;
  // The client area from the font's base units, plus the window frame as
  // the window manager last drew it (none before the first window shows).
  PixelSize template_pixel_size(const DialogTemplate& dialog_template) override;

  // Counts for tests: updates merged away, updates delivered.
  long long merged_updates() const { return updates_.merged(); }
  long long delivered_updates() const { return updates_.delivered(); }

 private:
  void post(std::function<void()> work);
  // Runs work on the UI thread and returns its value; the caller waits.
  template <typename T>
  T ask(std::function<T()> work);
  // Queues the delivery of the dialog's merged changes (deliver, on the UI
  // thread).
  void queue_delivery(DialogHandle dialog);
  void deliver(DialogHandle dialog);

  UiHost* host_;  // lives on the UI thread
  std::thread::id ui_thread_;
  frontend::UpdateMerger updates_;
};

}  // namespace qtfe
