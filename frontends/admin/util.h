// Small pieces the three subcommands share: addresses and the
// PC's subnets, text conversions, and reading a line that Ctrl-C can cut
// short. Line ends are frontend::plain_text's (frontends/common/text.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frontends/common/text.h"

namespace admin {

// Strict dotted-quad parsing (no shorthand forms), host byte order.
bool parse_dotted(const std::string& text, std::uint32_t* address);
std::string dotted(std::uint32_t address);

// An IPv4 address of an interface that is up.
struct Subnet {
  std::string interface;
  std::uint32_t address = 0;  // host order
  int prefix = 32;
  bool loopback = false;
  std::uint32_t mask() const { return prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix); }
  bool holds(std::uint32_t other) const { return (address & mask()) == (other & mask()); }
};
std::vector<Subnet> interface_subnets();

// Dialog texts into JSON (frontends/common).
using frontend::latin1_to_utf8;

// What a device sent, made safe to show on a terminal or in a file: one line,
// UTF-8, line ends and tabs as blanks, every other control character (C0,
// DEL, C1) and every bidirectional control (frontend::is_bidi_control) as
// '?', blanks at the ends trimmed. shown_text takes the
// program's single-byte texts (Latin-1); shown_utf8 takes UTF-8 (what a
// child's JSON carries), with each invalid byte as U+FFFD.
std::string shown_text(const std::string& latin1);
std::string shown_utf8(const std::string& utf8);
// Text from the command line that goes into the wizard's fields and into
// messages: printable ASCII without blanks, so no byte of it needs escaping.
bool printable_ascii(const std::string& text);
// Any bytes as valid UTF-8, each invalid byte as U+FFFD (for JSON).
std::string valid_utf8(const std::string& text);

// A report field for CSV: shown_utf8, a leading quote before a text a
// spreadsheet would take for a formula, quotes where CSV needs them.
std::string csv_field(const std::string& utf8);

// Makes the standard descriptors 0..2 exist (on /dev/null when closed), so
// that a file or socket opened later can never be taken for one of them.
void ensure_standard_descriptors();

// The program's real path (/proc/self/exe), or "qel-upgrade".
std::string self_path();

// Wakes every read_line_cancellable in progress for good (from any thread,
// a signal-handling thread included); later reads return at once.
void cancel_reads();
bool reads_cancelled();

// Reads one line (without its end) from fd. With echo false, fd must be a
// terminal: its echo is off while reading, and the modes come back even when
// the process ends meanwhile (restore_terminal). False at end of input, on an
// error, or when cancelled.
bool read_line_cancellable(int fd, std::string* line, bool echo = true);
// Puts back the terminal modes a password read changed, if any (for exits).
void restore_terminal();

// The first line of a file, without its line end; false when unreadable,
// with *error saying why (strerror) when given.
bool read_first_line(const std::string& path, std::string* line, std::string* error = nullptr);

// The longest user name or password the wizard's fields hold (127 bytes
// with the terminator): a longer one would be cut and then refused.
inline constexpr std::size_t CREDENTIAL_LIMIT = 126;

// Wipes a buffer that held a password, in a way the compiler keeps.
void wipe(std::string* text);
// Once the process holds a password: no core file, no ptrace by the same user.
void make_undumpable();

// The first line of a password file ("-": standard input) into *password.
// False with *error for a file that cannot be read, a regular file that
// others may read or write (as ssh refuses such keys), a terminal (it would
// echo what is typed: the upgrade's own prompt does not), or a line longer
// than CREDENTIAL_LIMIT. Every buffer it used is wiped.
bool read_password_file(const std::string& path, std::string* password, std::string* error);

// How many UDP ports of the TFTP listener (69..168) could be bound now on
// any address.
int free_tftp_ports();

}  // namespace admin
