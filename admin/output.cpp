#include "admin/output.h"

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

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
  sys::write_text(sys::Stream::Output, vformatted(format, arguments));
  va_end(arguments);
}

void print_err(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  sys::write_text(sys::Stream::Error, vformatted(format, arguments));
  va_end(arguments);
}

}  // namespace admin
