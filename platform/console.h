// The program's own streams and the terminal (the console on Windows), for
// the command line. Each system in a file of its own (posix/console.cpp,
// win32/console.cpp) with the same behaviour.
#pragma once
#include <string>

namespace sys {

// Makes standard input, output and error exist (on the null device when
// closed), so that a file or socket opened later can never be taken for one
// of them.
void ensure_standard_descriptors();

// The only writers of standard output and standard error. The text is
// UTF-8; on a Windows console it is shown as such (never through the C
// runtime's code page), into a pipe or a file it goes byte for byte.
enum class Stream { Input, Output, Error };
void write_text(Stream stream, const std::string& utf8);
// Whether the stream is a terminal (a console on Windows).
bool is_terminal(Stream stream);
// Whether progress on standard error may be redrawn in place: a terminal
// that takes the cursor controls (on Windows, a console where virtual
// terminal processing could be turned on).
bool can_redraw(Stream stream);
// The width of the terminal of standard error; 80 when unknown.
int terminal_columns();
// The rows of standard error's terminal (0 when unknown), its columns in
// *columns (0 when unknown).
int terminal_rows(int* columns);

// Wakes every read_line_cancellable in progress for good (from any thread,
// the interrupt thread included); later reads return at once.
void cancel_reads();
bool reads_cancelled();

// Reads one line (without its end) from standard input. With echo false,
// standard input must be a terminal: its echo is off while reading, and
// comes back even when the process ends meanwhile (restore_terminal). False
// at end of input, on an error, or when cancelled.
bool read_line_cancellable(std::string* line, bool echo = true);
// Puts back the terminal modes a password read changed, if any (for exits).
void restore_terminal();

}  // namespace sys
