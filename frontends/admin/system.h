// What the administrators' command line needs from the system it runs on,
// and nothing else: everything here has a POSIX side (posix/system.cpp) and
// a Win32 side (win32/system.cpp) with the same behaviour; the rest of
// frontends/admin is written once. The device lock is a pair of its own
// (device_lock.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frontends/admin/address.h"

namespace admin {

// --- The program's own streams -------------------------------------------

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

// The program's real path, or "qel-upgrade".
std::string self_path();

// A path written in a file (a fleet list's password file): as it is when
// absolute, else relative to that file's folder. Windows takes both slashes
// and drive letters.
std::string path_beside(const std::string& file, const std::string& written);

// --- Reads that Ctrl-C cuts short ----------------------------------------

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

// --- Secrets ---------------------------------------------------------------

// Wipes a buffer that held a password, in a way the compiler keeps.
void wipe(std::string* text);
void wipe_bytes(void* bytes, std::size_t size);
// Once the process holds a password: no core file, no debugging by the same
// user where the system allows it.
void make_undumpable();

// Where a password file's bytes come from: the file, or standard input for
// "-". open refuses (false, *error saying what was checked) a terminal (it
// would echo what is typed) and a file that others may read or change.
class SecretSource {
 public:
  SecretSource() = default;
  SecretSource(const SecretSource&) = delete;
  SecretSource& operator=(const SecretSource&) = delete;
  ~SecretSource();
  bool open(const std::string& path, std::string* error);
  // 1 with *c, 0 at the end, -1 on an error (*error says which).
  int read_byte(char* c, std::string* error);

 private:
  std::intptr_t handle_ = -1;
  bool standard_input_ = false;
};

// --- The PC's network ------------------------------------------------------

// The IPv4 addresses of this PC's interfaces that are up, with their prefix.
std::vector<Subnet> interface_subnets();

// Non-blocking TCP connections for scan, many at once.
using ProbeSocket = std::intptr_t;
inline constexpr ProbeSocket NO_PROBE = -1;
// Starts a connection; NO_PROBE when it failed at once. *connected is true
// when it is already made.
ProbeSocket probe_connect(std::uint32_t address, std::uint16_t port, bool* connected);
// Whether a connection that signalled completion succeeded.
bool probe_connected(ProbeSocket socket);
// Bytes sent, or -1.
long probe_send(ProbeSocket socket, const char* data, std::size_t size);
// Bytes read; 0 at the end; -1 on an error; -2 when nothing is there yet.
long probe_receive(ProbeSocket socket, char* data, std::size_t size);
void probe_close(ProbeSocket socket);
struct ProbeWait {
  ProbeSocket socket;
  bool writable;  // waits for the connection, else for data
  bool ready = false;
};
// Waits up to timeout_ms for any of them; false on an error.
bool probe_wait(std::vector<ProbeWait>* waits, int timeout_ms);
// How many connections the process may hold at once besides what it has.
long probe_capacity(long wanted);

// --- Interrupts --------------------------------------------------------------

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

}  // namespace admin
