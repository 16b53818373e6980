// The running program on Windows (program.h).
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>

#include "platform/child_process.h"
#include "platform/program.h"
#include "platform/thread.h"
#include "platform/win32/console_events.h"
#include "platform/win32/wide.h"

namespace sys {

namespace win32 {

namespace {

std::atomic<void (*)(unsigned)> end_action{nullptr};

// How long Windows waits once it has told the process: the hung-program
// time when the console closes, the wait-to-kill time when the session
// ends (5 s each unless an administrator changed them).
unsigned system_wait_ms(bool console_closing) {
  UINT ms = 0;
  if (!::SystemParametersInfoW(console_closing ? SPI_GETHUNGAPPTIMEOUT : SPI_GETWAITTOKILLTIMEOUT,
                               0, &ms, 0) ||
      ms == 0)
    ms = 5000;
  return std::clamp<unsigned>(ms, 2000, 30000);
}

// Of that time, what the report and the logs keep after the upgrades'.
constexpr unsigned WRITE_MS = 1500;

LRESULT CALLBACK session_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      // The run does not hold the session up; what it does meanwhile is shown.
      ::ShutdownBlockReasonCreate(window,
                                  L"qel-upgrade is cancelling its upgrades and writing "
                                  L"what became of them");
      return TRUE;
    case WM_ENDSESSION:
      if (wparam)
        end_run(false);
      else
        ::ShutdownBlockReasonDestroy(window);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

int session_window_thread(void*) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSW kind{};
  kind.lpfnWndProc = session_window;
  kind.hInstance = instance;
  kind.lpszClassName = L"qel-upgrade session end";
  if (!::RegisterClassW(&kind)) return 0;
  // Top-level and never shown: the session's end is told to top-level
  // windows only.
  HWND window = ::CreateWindowExW(0, kind.lpszClassName, L"qel-upgrade", WS_OVERLAPPED, 0, 0, 0, 0,
                                  nullptr, nullptr, instance, nullptr);
  if (!window) return 0;  // no desktop (Wine without a display): the console's events alone
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}

// Ctrl-C and Ctrl-Break are the interrupt thread's; the console's closing
// and the session's end cancel the run as Ctrl-C does and hold on while it
// reports.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    ::SetEvent(interrupt_event());
    return TRUE;
  }
  if (ends_the_run(event)) end_run(event == CTRL_CLOSE_EVENT);
  return TRUE;  // another session's logoff: not this run's
}

}  // namespace

void set_end_action(void (*action)(unsigned within_ms)) { end_action = action; }

void end_run(bool console_closing) {
  static std::atomic<bool> told{false};
  unsigned wait = system_wait_ms(console_closing);
  void (*action)(unsigned) = end_action.load();
  if (action && !told.exchange(true)) action(wait - WRITE_MS);
  // The process ends meanwhile once it has reported; returning would end
  // it at once.
  ::Sleep(wait);
}

bool ends_the_run(DWORD event) {
  if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) return true;
  if (event != CTRL_LOGOFF_EVENT) return false;
  // It does not say whose session ends: in the services' session (0),
  // where a scheduled task runs, it is always another's.
  DWORD session = 0;
  return ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) && session != 0;
}

void watch_session_end() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Without it the console's events still come.
    if (PlatformThread* thread = thread_start(session_window_thread, nullptr))
      thread_release(thread);
  });
}

}  // namespace win32

std::vector<std::string> program_arguments(int argc, char** argv) {
  // The C runtime's argv is in the ANSI code page and loses what it cannot
  // show: the UTF-16 command line has it all.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> words;
  for (int i = 0; i < count; ++i) words.push_back(win32::to_utf8(wide[i]));
  LocalFree(wide);
  return words;
}

std::string self_path() {
  wchar_t path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  if (n == 0 || n >= std::size(path)) return "qel-upgrade";
  return win32::to_utf8(path, static_cast<int>(n));
}

SystemKind system_kind() { return SystemKind::WINDOWS; }

std::string error_text(int code) { return win32::error_text(static_cast<DWORD>(code)); }

int last_error() { return static_cast<int>(GetLastError()); }

namespace {
// A fleet's upgrade: its fleet, told of the session's end first, cancels it.
bool fleet_child = false;
}  // namespace

void catch_interrupts() {
  win32::interrupt_event();
  win32::set_end_action([](unsigned) { ::SetEvent(win32::interrupt_event()); });
  SetConsoleCtrlHandler(win32::on_console_event, TRUE);
  if (!fleet_child) win32::watch_session_end();
}

bool wait_interrupt(int timeout_ms) {
  return WaitForSingleObject(win32::interrupt_event(), static_cast<DWORD>(timeout_ms)) ==
         WAIT_OBJECT_0;
}

// The fleet's children end with the fleet through its job object; its
// Cancel, and its end, come through standard input (child_process.h) and
// count as a Ctrl-C here.
bool tie_to_parent() {
  fleet_child = true;
  watch_fleet([] { SetEvent(win32::interrupt_event()); });
  return true;
}

void end_process(int code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace sys
