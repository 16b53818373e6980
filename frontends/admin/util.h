// Small pieces the three subcommands share: exit codes, addresses and the
// PC's subnets, text conversions, and reading a line that Ctrl-C can cut
// short. Line ends are frontend::plain_text's (frontends/common/text.h).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "frontends/common/text.h"

namespace admin {

// Exit codes of `upgrade` (fleet and scan use the first three).
inline constexpr int EXIT_UPGRADED = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_ABORTED = 3;
inline constexpr int EXIT_UNREACHABLE = 4;

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
// One line for a table cell: control characters become blanks, ends trimmed.
std::string one_line(const std::string& text);

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

// The first line of a file, without its line end; false when unreadable.
bool read_first_line(const std::string& path, std::string* line);

}  // namespace admin
