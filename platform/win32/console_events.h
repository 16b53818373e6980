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

// The run's end when its console closes or its session ends (logoff,
// shutdown): Windows ends the process a few seconds after it tells it, so
// the run is told at once and has that long to cancel, report and close
// its files.
//   set_end_action   what the run does then (an upgrade: its Cancel, as at
//                    Ctrl-C; a fleet: abort its upgrades and write its
//                    report), given the milliseconds it may take
//   end_run          does it once, then holds the calling thread (the
//                    system's handler thread, or the session window's)
//                    until the process has ended or its time is up
//   ends_the_run     whether a console event is one of those
//   watch_session_end  a hidden window for the session's end: Windows sends
//                    no console event for it to a program that uses its
//                    windowing functions, as these programs do
void set_end_action(void (*action)(unsigned within_ms));
void end_run(bool console_closing);
bool ends_the_run(DWORD event);
void watch_session_end();

}  // namespace sys::win32
