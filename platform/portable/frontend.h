// The edge of the portable dialog layer (the POSIX platform's, and the
// Windows console program's; the Windows wizard has the real dialog
// manager): what a front-end (terminal, Qt, scripted automation, the
// command line) sees of the dialogs and how it feeds user input back.
//
// Threading
// ---------
// - A dialog belongs to the thread that created it (its owner). Its state
//   (caption, texts, combo items, progress, focus, position) is read and
//   written only on that thread, by the platform/dialog.h calls and by the
//   dispatch of its messages.
// - Every thread has its own message queue (a mutex and a condition
//   variable). The dialog_post_* calls below may be made from any thread:
//   they only append to the owner's queue. The input is applied or the
//   procedure is run later, on the owner thread, when it pumps
//   (dialog_pump_one / dialog_pump_all) or while it runs a modal dialog,
//   whose loop sleeps on the queue and dispatches every message of the
//   thread in arrival order.
// - The layer calls the installed DialogFrontend on the owner thread,
//   synchronously, and never while holding a lock of its own; a front-end
//   may therefore post from inside a callback. Callbacks of different owner
//   threads can run at the same time: a front-end guards its own state.
// - Changes are reported only while a dialog is shown: WM_INITDIALOG's
//   work, and anything done to a modeless dialog before dialog_show, reaches
//   the front-end as the dialog_opened snapshot. Input that the front-end
//   posted is not echoed back to it.
// - Dialog records are never freed, so a handle stays valid memory for the
//   life of the process; messages for a closed dialog are dropped, both when
//   posted and when they reach the head of the queue.
#pragma once
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "resources/templates.h"

inline constexpr int NO_FOCUS = 0;  // no control id 0 exists in any template

struct ControlSnapshot {
  int id;
  ControlKind kind;
  std::string text;
  std::vector<std::string> items;  // combo box
  int selection = -1;              // combo box; -1 none
  int range_low = 0;               // progress bar
  int range_high = 100;
  int position = 0;
};

struct DialogSnapshot {
  DialogHandle dialog = nullptr;
  const DialogTemplate* dialog_template = nullptr;
  int template_id = 0;
  bool modal = false;
  std::string caption;
  std::vector<ControlSnapshot> controls;  // template order
  int focus = NO_FOCUS;                   // control id
  int x = 0, y = 0;                       // screen pixels
  int width = 0, height = 0;
};

struct PixelSize {
  int width, height;
};

class DialogFrontend {
 public:
  virtual ~DialogFrontend() = default;

  // A dialog became visible: modal ones after WM_INITDIALOG, modeless ones
  // at dialog_show.
  virtual void dialog_opened(const DialogSnapshot& snapshot) = 0;
  virtual void caption_changed(DialogHandle dialog, const std::string& text) = 0;
  virtual void item_text_changed(DialogHandle dialog, int control, const std::string& text) = 0;
  // Reported only when the value really changed.
  virtual void progress_range_changed(DialogHandle dialog, int control, int low, int high) = 0;
  virtual void progress_position_changed(DialogHandle dialog, int control, int position) = 0;
  // An item was added or the selection changed; the whole list is given.
  virtual void combo_changed(DialogHandle dialog, int control,
                             const std::vector<std::string>& items, int selection) = 0;
  virtual void focus_changed(DialogHandle dialog, int control) = 0;
  virtual void dialog_moved(DialogHandle dialog, int x, int y) = 0;
  // A shown dialog went away: a modal one ended (destroyed false, result as
  // given to dialog_end) or a dialog was destroyed (destroyed true).
  virtual void dialog_closed(DialogHandle dialog, int result, bool destroyed) = 0;

  // Shows a message box with one OK button and returns when the user has
  // closed it; owner is null for a task-modal box. Runs on the thread that
  // asked, which may own no dialog at all.
  virtual void message_box(DialogHandle owner, const std::string& text,
                           const std::string& title) = 0;

  virtual int screen_width() = 0;
  virtual int screen_height() = 0;
  // Outer size in pixels of a dialog built from the template, from the
  // front-end's font metrics.
  virtual PixelSize template_pixel_size(const DialogTemplate& dialog_template) = 0;
  // Where a dialog stands before anything moves it: the stored position
  // with the default dialog-unit metrics (MS Sans Serif 8: 6 x 13 pixels for
  // 4 x 8 units).
  virtual void template_pixel_position(const DialogTemplate& dialog_template, int* x, int* y);
};

// Installs the front-end for dialogs created from now on (null: none). Each
// dialog keeps the front-end it was created with, so replace it only while
// no dialog is open. Without a front-end, modal dialogs fail (-1, the
// procedure never runs), modeless dialogs work unseen, message boxes print
// "title: text" to stderr, and the screen is 1024 x 768.
void frontend_install(DialogFrontend* frontend);
DialogFrontend* frontend_installed();

// User input, from any thread. Each returns false when the dialog is null
// or already closed (the input is then dropped).
// Presses a button, or Esc / the close box with IDCANCEL: WM_COMMAND with
// the id in the low 16 bits of wparam.
bool dialog_post_command(DialogHandle dialog, int control);
// Replaces a control's text as typing would: applied when dispatched, in
// order with later input, without calling the dialog procedure.
bool dialog_post_item_text(DialogHandle dialog, int control, const std::string& text);
// Chooses a combo box item (-1 clears the selection); applied like text.
bool dialog_post_combo_select(DialogHandle dialog, int control, int index);

// The dialog's current state; owner thread only. False when the handle is
// null, closed, or the call comes from another thread.
bool dialog_snapshot(DialogHandle dialog, DialogSnapshot* out);

// Standard dialog-unit conversion (MulDiv rounding), for front-ends.
int dialog_units_to_pixels_x(int units, int base_x);
int dialog_units_to_pixels_y(int units, int base_y);
