// The command line's streams and console on Windows (console.h).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>

#include "platform/console.h"
#include "platform/win32/console_events.h"
#include "platform/win32/wide.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace sys {

namespace {

using win32::is_console;
using win32::to_utf8;
using win32::to_wide;

HANDLE handle_of(Stream stream) {
  return GetStdHandle(stream == Stream::Input    ? STD_INPUT_HANDLE
                      : stream == Stream::Output ? STD_OUTPUT_HANDLE
                                                 : STD_ERROR_HANDLE);
}

std::mutex write_lock;

// Set by cancel_reads and by Ctrl-C; a pipe read waits on it.
HANDLE wake_event() {
  static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}
std::atomic<bool> cancelled{false};

std::mutex console_lock;
bool console_changed = false;
DWORD console_saved = 0;

}  // namespace

// Windows hands a process no numbered descriptors that a file opened later
// could take the place of: nothing to do.
void ensure_standard_descriptors() {}

void write_text(Stream stream, const std::string& utf8) {
  if (utf8.empty()) return;
  std::lock_guard lock(write_lock);
  HANDLE handle = handle_of(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  if (is_console(handle)) {
    // The console takes UTF-16: never the C runtime's code page.
    std::wstring text = to_wide(utf8);
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD written = 0;
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 8192));
      if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0)
        return;
      done += written;
    }
    return;
  }
  std::size_t done = 0;
  while (done < utf8.size()) {
    DWORD written = 0;
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(utf8.size() - done, 1 << 20));
    if (!WriteFile(handle, utf8.data() + done, chunk, &written, nullptr) || written == 0)
      return;  // a reader gone away: the run goes on
    done += written;
  }
}

bool is_terminal(Stream stream) { return is_console(handle_of(stream)); }

bool can_redraw(Stream stream) {
  HANDLE handle = handle_of(stream);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
    return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  // Older consoles refuse it: then plain lines, no cursor controls.
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(handle_of(Stream::Error), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 20) return columns;
  }
  return 80;
}

void cancel_reads() {
  cancelled = true;
  SetEvent(wake_event());
  // A console read in progress ends too.
  CancelIoEx(handle_of(Stream::Input), nullptr);
}

bool reads_cancelled() { return cancelled.load(); }

void restore_terminal() {
  std::lock_guard lock(console_lock);
  if (!console_changed) return;
  SetConsoleMode(handle_of(Stream::Input), console_saved);
  console_changed = false;
}

bool read_line_cancellable(std::string* line, bool echo) {
  line->clear();
  if (cancelled) return false;
  HANDLE input = handle_of(Stream::Input);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  bool ok = false;
  if (is_console(input)) {
    if (!echo) {
      std::lock_guard lock(console_lock);
      if (!GetConsoleMode(input, &console_saved)) return false;
      // Line input stays (it is what makes the console hand over a line);
      // only the echo goes.
      if (!SetConsoleMode(input, console_saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)))
        return false;
      console_changed = true;
    }
    std::wstring typed;
    for (;;) {
      wchar_t chunk[128];
      DWORD got = 0;
      if (!ReadConsoleW(input, chunk, static_cast<DWORD>(std::size(chunk)), &got, nullptr) ||
          got == 0 || cancelled)
        break;  // Ctrl-C ends a console read with nothing
      typed.append(chunk, got);
      if (std::size_t end = typed.find(L'\n'); end != std::wstring::npos) {
        typed.resize(end);
        ok = true;
        break;
      }
    }
    if (!typed.empty() && typed.back() == L'\r') typed.pop_back();
    *line = to_utf8(typed);
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    if (!echo) {
      restore_terminal();
      // The line end the echo did not show (a terminal's ECHONL on POSIX).
      if (ok) write_text(Stream::Error, "\n");
    }
    return ok && !cancelled;
  }
  const bool pipe = GetFileType(input) == FILE_TYPE_PIPE;
  for (;;) {
    if (cancelled) break;
    if (pipe) {
      // A pipe read cannot be woken: look before reading, and wait on the
      // cancel in between.
      DWORD available = 0;
      if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
        ok = !line->empty();  // the writer is gone: the end
        break;
      }
      if (available == 0) {
        WaitForSingleObject(wake_event(), 20);
        continue;
      }
    }
    char c;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) {
      ok = !line->empty();  // a last line without its end still counts
      break;
    }
    if (c == '\n') {
      ok = true;
      break;
    }
    *line += c;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return ok && !cancelled;
}

int terminal_rows(int* columns) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
    *columns = 0;
    return 0;
  }
  *columns = info.srWindow.Right - info.srWindow.Left + 1;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

}  // namespace sys
