// Internal to the Win32 platform: what the console and its events share
// between the console, the program and the secrets.
#pragma once
#include <windows.h>

namespace sys::win32 {

inline bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// Ctrl-C and its kin, taken by the interrupt thread.
inline HANDLE interrupt_event() {
  static HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

inline BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      SetEvent(interrupt_event());
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace sys::win32
