#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>

#include "platform/process.h"

namespace {

std::atomic<ProcessExitHook> exit_hook{nullptr};

// No window of the class is ever created; the procedure only has to exist.
LRESULT CALLBACK class_window_proc(HWND, UINT, WPARAM, LPARAM) { return 0; }

}  // namespace

int window_class_register(AppInstance instance) {
  WNDCLASSA wc{};
  wc.style = 0;
  wc.lpfnWndProc = class_window_proc;
  wc.hInstance = static_cast<HINSTANCE>(instance);
  wc.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(286));
  wc.lpszClassName = "QelUpgrade";
  return RegisterClassA(&wc) != 0 ? 1 : 0;
}

void common_controls_init() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_INTERNET_CLASSES | ICC_PROGRESS_CLASS;  // 0x820
  InitCommonControlsEx(&controls);
}

// The Windows program shows its message alone: no privilege is needed there.
const char* process_bind_privilege_hint() { return ""; }

void process_set_exit_hook(ProcessExitHook hook) { exit_hook = hook; }

void process_exit(int code) {
  if (ProcessExitHook hook = exit_hook.load()) hook(code);
  std::fflush(nullptr);
  ExitProcess(static_cast<UINT>(code));
}
