#include "admin/upgrade/password_file.h"

#include "platform/secret.h"

namespace admin {

bool read_password_file(const std::string& path, std::string* password, std::string* error) {
  error->clear();
  sys::SecretSource source;
  if (!source.open(path, error)) return false;
  // One byte at a time up to the line end: nothing after it is read (a pipe
  // keeps the rest), and the buffer never grows behind our back.
  char line[CREDENTIAL_LIMIT + 2];
  std::size_t length = 0;
  bool too_long = false, failed = false;
  for (;;) {
    char c = 0;
    int n = source.read_byte(&c, error);
    if (n < 0) failed = true;
    if (n <= 0 || c == '\n') break;
    if (length == sizeof line) {
      too_long = true;
      continue;  // read on to the line end, keeping nothing
    }
    line[length++] = c;
  }
  if (length > 0 && line[length - 1] == '\r' && !too_long) --length;
  if (failed) {
    *error = "cannot read the password file " + path + ": " + *error;
  } else if (too_long || length > CREDENTIAL_LIMIT) {
    *error = "the password in " + path + " is longer than " + std::to_string(CREDENTIAL_LIMIT) +
             " characters, more than the device's password field holds";
  } else {
    password->reserve(CREDENTIAL_LIMIT + 1);  // no reallocation leaves a copy
    password->assign(line, length);
  }
  sys::wipe_bytes(line, sizeof line);
  return error->empty();
}

}  // namespace admin
