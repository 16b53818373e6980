// The running program, for the command line: its arguments and path, its
// interrupts, its end, and the system's words for an error. Each system in
// a file of its own (posix/program.cpp, win32/program.cpp).
#pragma once
#include <string>
#include <vector>

namespace sys {

// The program's arguments as UTF-8 (Windows: from the UTF-16 command line,
// whatever the code page; POSIX: argv as it is).
std::vector<std::string> program_arguments(int argc, char** argv);

// Which system's words the program speaks to its users (help texts, hints).
enum class SystemKind { POSIX, WINDOWS };
SystemKind system_kind();

// The program's real path, or "qel-upgrade".
std::string self_path();

// The system's words for an error number (errno on POSIX, GetLastError's
// on Windows), as UTF-8 on one line.
std::string error_text(int code);
// The error of the last call that failed (errno, GetLastError).
int last_error();

// From here on Ctrl-C (and on POSIX SIGTERM and SIGHUP) only marks an
// interrupt that wait_interrupt takes; a reader gone away ends no write.
// Call before any thread is started.
void catch_interrupts();
// Waits up to timeout_ms for an interrupt; true when one came.
bool wait_interrupt(int timeout_ms);

// A fleet's child: ends with SIGTERM when its parent dies (POSIX). False
// when the parent is gone already.
bool tie_to_parent();

// Ends the process at once with the code (no destructors, no exit hooks).
[[noreturn]] void end_process(int code);

}  // namespace sys
