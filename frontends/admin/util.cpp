#include "frontends/admin/util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/net.h"

namespace admin {

namespace {

std::string vformatted(const char* format, std::va_list arguments) {
  std::va_list again;
  va_copy(again, arguments);
  char small[512];
  int length = std::vsnprintf(small, sizeof small, format, arguments);
  std::string text;
  if (length < 0) {
    text = format;  // never lose a message to its format
  } else if (static_cast<std::size_t>(length) < sizeof small) {
    text.assign(small, static_cast<std::size_t>(length));
  } else {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<std::size_t>(length));
  }
  va_end(again);
  return text;
}

}  // namespace

std::string formatted(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::string text = vformatted(format, arguments);
  va_end(arguments);
  return text;
}

void print_out(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  write_text(Stream::Output, vformatted(format, arguments));
  va_end(arguments);
}

void print_err(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  write_text(Stream::Error, vformatted(format, arguments));
  va_end(arguments);
}

bool read_first_line(const std::string& path, std::string* line, std::string* error) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = std::strerror(errno != 0 ? errno : ENOENT);
    return false;
  }
  line->clear();
  std::getline(in, *line);
  if (in.bad()) {
    if (error) *error = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool read_password_file(const std::string& path, std::string* password, std::string* error) {
  error->clear();
  SecretSource source;
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
  wipe_bytes(line, sizeof line);
  return error->empty();
}

int free_tftp_ports() {
  int free = 0;
  for (int port = 69; port <= 168; ++port) {
    NetSocket socket = net_udp_socket();
    if (socket == NET_INVALID_SOCKET) break;
    free += net_bind(socket, 0, static_cast<std::uint16_t>(port)) == 0;
    net_close(socket);
  }
  return free;
}

}  // namespace admin
