// The dialog layer: modal and modeless dialogs built from the numbered
// templates among the resources, with the Win32 dialog-manager semantics the
// dialog procedures rely on.
//
// - A dialog belongs to the thread that created it. Its messages wait in that
//   thread's queue and are dispatched only when that thread pumps them (or
//   runs a modal dialog, whose loop dispatches every message of the thread).
// - A dialog procedure gets WM_INITDIALOG once, before the dialog is shown,
//   and WM_COMMAND with the control id in the low 16 bits of wparam. Its
//   answer to WM_INITDIALOG decides the focus: nonzero lets the first control
//   that takes the focus have it; zero keeps the focus the procedure set.
// - Control ids 1 and 2 are the accepting and the Cancel buttons; Esc and the
//   close box send id 2.
#pragma once
#include <cstdint>

#include "platform/process.h"

struct DialogWindow;
using DialogHandle = DialogWindow*;
using DialogProc = std::intptr_t (*)(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                     std::intptr_t lparam);

// The same values as the Win32 headers (which may already define them).
#ifndef WM_INITDIALOG
inline constexpr unsigned WM_INITDIALOG = 0x0110;
#endif
#ifndef WM_COMMAND
inline constexpr unsigned WM_COMMAND = 0x0111;
#endif
#ifndef IDOK
inline constexpr int IDOK = 1;
#endif
#ifndef IDCANCEL
inline constexpr int IDCANCEL = 2;
#endif
#ifndef TRUE
inline constexpr int TRUE = 1;
#endif
#ifndef FALSE
inline constexpr int FALSE = 0;
#endif

// Runs a modal dialog without owner on the calling thread and returns the
// value given to dialog_end (-1 when the dialog cannot be created).
int dialog_box(AppInstance instance, int template_id, DialogProc proc);

// Creates a modeless dialog without owner, owned by the calling thread; null
// on failure. It is hidden until dialog_show.
DialogHandle dialog_create(AppInstance instance, int template_id, DialogProc proc);
void dialog_show(DialogHandle dialog);

void dialog_end(DialogHandle dialog, int result);  // modal dialogs
void dialog_destroy(DialogHandle dialog);          // modeless dialogs

void dialog_set_caption(DialogHandle dialog, const char* text);
void dialog_set_item_text(DialogHandle dialog, int control, const char* text);
// Copies at most limit - 1 characters and a NUL; returns the characters copied.
int dialog_get_item_text(DialogHandle dialog, int control, char* buffer, int limit);
void dialog_focus_item(DialogHandle dialog, int control);

// Combo box (drop-down list, not sorted).
void dialog_combo_add(DialogHandle dialog, int control, const char* text);
void dialog_combo_select(DialogHandle dialog, int control, int index);
int dialog_combo_selection(DialogHandle dialog, int control);  // -1: none

// Progress bar; range ends keep their low 16 bits, as PBM_SETRANGE does.
void dialog_progress_range(DialogHandle dialog, int control, int low, int high);
void dialog_progress_pos(DialogHandle dialog, int control, int position);

// Takes one pending message of the dialog (or one of its controls) from the
// calling thread's queue and dispatches it; false when none was waiting.
bool dialog_pump_one(DialogHandle dialog);
// Dispatches every pending message of the dialog.
void dialog_pump_all(DialogHandle dialog);

// Message box with one OK button owned by a dialog (MB_OK); returns when closed.
void dialog_message_box(DialogHandle owner, const char* text, const char* title);
// Task-modal message box without owner, OK only, no icon (MB_TASKMODAL).
void message_box_task_modal(const char* text, const char* title);

struct WindowRect {
  int left, top, right, bottom;
};
bool window_get_rect(DialogHandle dialog, WindowRect* rect);  // screen pixels
int screen_width();
int screen_height();
// Moves to (x, y) on top of the z-order without resizing.
void window_move_top(DialogHandle dialog, int x, int y);
