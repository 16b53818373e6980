// A device's password from a file, as upgrade reads it and a fleet's list
// checks it.
#pragma once
#include <cstddef>
#include <string>

namespace admin {

// The longest user name or password the wizard's fields hold (127 bytes
// with the terminator): a longer one would be cut and then refused.
inline constexpr std::size_t CREDENTIAL_LIMIT = 126;

// The first line of a password file ("-": standard input) into *password.
// False with *error for a file that cannot be read, one that others may
// read or change (as ssh refuses such keys; sys::SecretSource says what is
// checked), a terminal (it would echo what is typed: the upgrade's own
// prompt does not), or a line longer than CREDENTIAL_LIMIT. Every buffer it
// used is wiped.
bool read_password_file(const std::string& path, std::string* password, std::string* error);

}  // namespace admin
