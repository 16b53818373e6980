// Process entry, exit and the window class.
#pragma once

// The program's instance handle (the module on Windows; unused elsewhere).
using AppInstance = void*;

// Registers the program's window class "QelUpgrade" (a no-op that succeeds
// where there are no window classes). 0 on failure.
int window_class_register(AppInstance instance);

// Enables the progress bar and IP-address controls (InitCommonControlsEx).
void common_controls_init();

// Ends the process at once with the exit code, from any thread.
[[noreturn]] void process_exit(int code);
