// What the three subcommands share: exit codes (exit_codes.h), addresses
// (address.h), the system's side (system.h), device text made safe to show
// (frontends/common/text.h), and the portable pieces below.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frontends/admin/address.h"
#include "frontends/admin/exit_codes.h"
#include "frontends/admin/system.h"
#include "frontends/common/text.h"

namespace admin {

using frontend::csv_field;
using frontend::latin1_to_utf8;
using frontend::printable_ascii;
using frontend::shown_text;
using frontend::shown_utf8;
using frontend::valid_utf8;

// printf-style texts into the one writer of each stream (system.h's
// write_text). QEL_PRINTF_FORMAT is the compiler's name of the C99 format
// family on the system built for (CMakeLists.txt).
#ifndef QEL_PRINTF_FORMAT
#define QEL_PRINTF_FORMAT printf
#endif
void print_out(const char* format, ...) __attribute__((format(QEL_PRINTF_FORMAT, 1, 2)));
void print_err(const char* format, ...) __attribute__((format(QEL_PRINTF_FORMAT, 1, 2)));
std::string formatted(const char* format, ...) __attribute__((format(QEL_PRINTF_FORMAT, 1, 2)));

// The first line of a file, without its line end; false when unreadable,
// with *error saying why (strerror) when given.
bool read_first_line(const std::string& path, std::string* line, std::string* error = nullptr);

// The longest user name or password the wizard's fields hold (127 bytes
// with the terminator): a longer one would be cut and then refused.
inline constexpr std::size_t CREDENTIAL_LIMIT = 126;

// The first line of a password file ("-": standard input) into *password.
// False with *error for a file that cannot be read, one that others may
// read or change (as ssh refuses such keys; SecretSource says what is
// checked), a terminal (it would echo what is typed: the upgrade's own
// prompt does not), or a line longer than CREDENTIAL_LIMIT. Every buffer it
// used is wiped.
bool read_password_file(const std::string& path, std::string* password, std::string* error);

// How many UDP ports of the TFTP listener (69..168) could be bound now on
// any address.
int free_tftp_ports();

}  // namespace admin
