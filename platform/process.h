// Process entry, exit and the window class.
#pragma once

// The program's instance handle (the module on Windows; unused elsewhere).
using AppInstance = void*;

// Registers the program's window class "QelUpgrade" (a no-op that succeeds
// where there are no window classes). 0 on failure.
int window_class_register(AppInstance instance);

// Enables the progress bar and IP-address controls (InitCommonControlsEx).
void common_controls_init();

// What the user can do when every TFTP port was refused for want of
// privilege, as lines to show after the failure message (CR-LF separated, no
// line longer than a command), or "" where the platform has nothing to add.
// Never null; the text lives until the process ends.
const char* process_bind_privilege_hint();

// Ends the process at once with the exit code, from any thread.
[[noreturn]] void process_exit(int code);

// Called by process_exit, on the thread that ends the run, before the
// process ends: a front-end that owns the run's outcome (the command line's
// exit codes, a transcript to flush) takes it there, and may end the process
// itself. nullptr removes it; the last one set wins.
using ProcessExitHook = void (*)(int code);
void process_set_exit_hook(ProcessExitHook hook);
