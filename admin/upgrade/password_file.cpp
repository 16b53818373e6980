#include "admin/upgrade/password_file.h"

#include "admin/text_file.h"
#include "frontends/common/text.h"
#include "platform/secret.h"

namespace admin {

namespace {

// The password's bytes as UTF-8, in a buffer that never grows behind our
// back; what does not fit is read on to the line end and kept nowhere.
struct Line {
  char bytes[CREDENTIAL_LIMIT + 2];
  std::size_t length = 0;
  bool too_long = false;
  void put(char c) {
    if (length == sizeof bytes)
      too_long = true;
    else
      bytes[length++] = c;
  }
  void put_code_point(char32_t c) {
    frontend::utf8_bytes(c, [this](char b) { put(b); });
  }
};

// The first line of a file written in UTF-16 after its byte-order mark, as
// Windows PowerShell 5.1 writes `"x" > file`; a lone surrogate becomes
// U+FFFD. False on a read error.
bool read_utf16_line(sys::SecretSource* source, bool little_endian, Line* line,
                     std::string* error) {
  auto put = [line](char32_t c) { line->put_code_point(c); };
  Utf16Decoder decoder;
  for (;;) {
    char pair[2];
    int got = source->read_byte(&pair[0], error);
    if (got > 0) got = source->read_byte(&pair[1], error);
    if (got < 0) return false;
    if (got == 0) break;
    auto a = static_cast<unsigned char>(pair[0]), b = static_cast<unsigned char>(pair[1]);
    char32_t unit = little_endian ? (b << 8 | a) : (a << 8 | b);
    if (unit == '\n') break;
    decoder.unit(unit, put);
  }
  decoder.end(put);
  return true;
}

}  // namespace

bool read_password_file(const std::string& path, std::string* password, std::string* error) {
  error->clear();
  sys::SecretSource source;
  if (!source.open(path, error)) return false;
  // One byte at a time up to the line end: nothing after it is read (a pipe
  // keeps the rest). A byte-order mark is not part of the password: UTF-8's
  // is dropped, and UTF-16's says how the rest is written.
  Line line;
  bool failed = false;
  char c = 0;
  int n = source.read_byte(&c, error);
  if (n > 0 && (c == '\xff' || c == '\xfe')) {
    char second = 0;
    int m = source.read_byte(&second, error);
    if (m > 0 && ((c == '\xff' && second == '\xfe') || (c == '\xfe' && second == '\xff'))) {
      failed = !read_utf16_line(&source, c == '\xff', &line, error);
      n = 0;  // the whole line is read
    } else {
      line.put(c);
      n = m;
      c = second;
    }
  } else if (n > 0 && c == '\xef') {
    char mark[2] = {};
    int m = source.read_byte(&mark[0], error);
    if (m > 0) m = source.read_byte(&mark[1], error);
    if (m > 0 && mark[0] == '\xbb' && mark[1] == '\xbf') {
      n = source.read_byte(&c, error);
    } else {
      // Not a mark: the bytes are the password's.
      line.put(c);
      if (m > 0) line.put(mark[0]);
      n = m;
      c = mark[1];
    }
  }
  for (; n > 0 && c != '\n'; n = source.read_byte(&c, error)) line.put(c);
  if (n < 0) failed = true;
  if (line.length > 0 && line.bytes[line.length - 1] == '\r' && !line.too_long) --line.length;
  if (failed) {
    *error = "cannot read the password file " + path + ": " + *error;
  } else if (line.too_long || line.length > CREDENTIAL_LIMIT) {
    *error = "the password in " + path + " is longer than " + std::to_string(CREDENTIAL_LIMIT) +
             " characters, more than the device's password field holds";
  } else if (line.length > 0 &&
             (line.bytes[line.length - 1] == ' ' || line.bytes[line.length - 1] == '\t')) {
    // Most often not the password's: cmd's `echo PASSWORD > FILE` writes the
    // blank before the >. A wrong password costs a try at the device, and
    // some lock the account after a few.
    *error = "the password in " + path +
             " ends with a blank, as cmd's echo PASSWORD > FILE writes it: write the file "
             "without it (echo PASSWORD> FILE); a password that really ends with a blank can "
             "be typed when asked instead";
  } else {
    password->reserve(CREDENTIAL_LIMIT + 1);  // no reallocation leaves a copy
    password->assign(line.bytes, line.length);
  }
  sys::wipe_bytes(line.bytes, sizeof line.bytes);
  return error->empty();
}

}  // namespace admin
