// The Win32 dialog layer: the real dialog manager, dialogs built from the
// DIALOG resources of the program, a DialogHandle being the dialog's HWND.
#include <windows.h>
#include <commctrl.h>

#include "platform/dialog.h"

namespace {

HWND window(DialogHandle dialog) { return reinterpret_cast<HWND>(dialog); }
DialogHandle handle(HWND hwnd) { return reinterpret_cast<DialogHandle>(hwnd); }

// The core's procedures have their own signature; this one stands between
// them and the dialog manager. The core procedure travels as the creation
// parameter and is kept in DWLP_USER from WM_INITDIALOG on. Messages that
// come before it (WM_SETFONT) and after the window is gone get the default.
INT_PTR CALLBACK trampoline(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(hwnd, DWLP_USER, lparam);
    auto proc = reinterpret_cast<DialogProc>(lparam);
    // The procedures are always created with an initial parameter of 0.
    return proc ? proc(handle(hwnd), message, wparam, 0) : TRUE;
  }
  auto proc = reinterpret_cast<DialogProc>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (!proc) return FALSE;
  return proc(handle(hwnd), message, wparam, lparam);
}

HINSTANCE module(AppInstance instance) { return static_cast<HINSTANCE>(instance); }

}  // namespace

int dialog_box(AppInstance instance, int template_id, DialogProc proc) {
  if (!proc) return -1;
  return static_cast<int>(DialogBoxParamA(module(instance), MAKEINTRESOURCEA(template_id), nullptr,
                                          trampoline, reinterpret_cast<LPARAM>(proc)));
}

DialogHandle dialog_create(AppInstance instance, int template_id, DialogProc proc) {
  if (!proc) return nullptr;
  return handle(CreateDialogParamA(module(instance), MAKEINTRESOURCEA(template_id), nullptr,
                                   trampoline, reinterpret_cast<LPARAM>(proc)));
}

void dialog_show(DialogHandle dialog) {
  if (dialog) ShowWindow(window(dialog), SW_SHOWNORMAL);
}

void dialog_end(DialogHandle dialog, int result) { EndDialog(window(dialog), result); }

void dialog_destroy(DialogHandle dialog) {
  if (dialog) DestroyWindow(window(dialog));
}

void dialog_set_caption(DialogHandle dialog, const char* text) {
  SetWindowTextA(window(dialog), text);
}

void dialog_set_item_text(DialogHandle dialog, int control, const char* text) {
  SetDlgItemTextA(window(dialog), control, text);
}

int dialog_get_item_text(DialogHandle dialog, int control, char* buffer, int limit) {
  if (!buffer || limit <= 0) return 0;
  buffer[0] = '\0';
  return static_cast<int>(GetDlgItemTextA(window(dialog), control, buffer, limit));
}

void dialog_focus_item(DialogHandle dialog, int control) {
  SetFocus(GetDlgItem(window(dialog), control));
}

void dialog_combo_add(DialogHandle dialog, int control, const char* text) {
  SendDlgItemMessageA(window(dialog), control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void dialog_combo_select(DialogHandle dialog, int control, int index) {
  SendDlgItemMessageA(window(dialog), control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int dialog_combo_selection(DialogHandle dialog, int control) {
  LRESULT selection = SendDlgItemMessageA(window(dialog), control, CB_GETCURSEL, 0, 0);
  return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

void dialog_progress_range(DialogHandle dialog, int control, int low, int high) {
  SendDlgItemMessageA(window(dialog), control, PBM_SETRANGE, 0,
                      MAKELPARAM(static_cast<WORD>(low), static_cast<WORD>(high)));
}

void dialog_progress_pos(DialogHandle dialog, int control, int position) {
  SendDlgItemMessageA(window(dialog), control, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

// Filtered to the dialog, which takes its controls' messages too. No
// IsDialogMessage: the modeless dialogs get no dialog-manager keyboard
// handling, only their windows' own (a focused button still takes Space).
bool dialog_pump_one(DialogHandle dialog) {
  if (!dialog) return false;
  MSG message;
  if (!PeekMessageA(&message, window(dialog), 0, 0, PM_REMOVE)) return false;
  TranslateMessage(&message);
  DispatchMessageA(&message);
  return true;
}

void dialog_pump_all(DialogHandle dialog) {
  while (dialog_pump_one(dialog)) {
  }
}

void dialog_message_box(DialogHandle owner, const char* text, const char* title) {
  MessageBoxA(window(owner), text, title, MB_OK);
}

void message_box_task_modal(const char* text, const char* title) {
  MessageBoxA(nullptr, text, title, MB_OK | MB_TASKMODAL);
}

bool window_get_rect(DialogHandle dialog, WindowRect* rect) {
  RECT r;
  if (!rect || !GetWindowRect(window(dialog), &r)) return false;
  rect->left = r.left;
  rect->top = r.top;
  rect->right = r.right;
  rect->bottom = r.bottom;
  return true;
}

int screen_width() { return GetSystemMetrics(SM_CXSCREEN); }
int screen_height() { return GetSystemMetrics(SM_CYSCREEN); }

void window_move_top(DialogHandle dialog, int x, int y) {
  SetWindowPos(window(dialog), HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}
