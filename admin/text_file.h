// Text files as people on either system write them: a fleet's list, a
// report given back to --retry. Notepad may put a UTF-8 byte-order mark
// first, Windows PowerShell 5.1 writes UTF-16 with one, Excel and Windows
// tools end lines with CR LF.
#pragma once
#include <string>

namespace admin {

// The file's text as UTF-8: a UTF-8 byte-order mark dropped, UTF-16 (by its
// mark) converted, lone surrogates as U+FFFD. False with *why for text
// that looks like UTF-16 without a mark (NUL bytes between characters).
bool decode_text(const std::string& bytes, std::string* utf8, std::string* why);

// UTF-16 code units to code points, each through put(char32_t); a lone
// surrogate becomes U+FFFD.
class Utf16Decoder {
 public:
  template <typename Put>
  void unit(char32_t u, Put put) {
    if (high_ && (u < 0xdc00 || u > 0xdfff)) {
      put(0xfffd);
      high_ = 0;
    }
    if (u >= 0xd800 && u <= 0xdbff) {
      high_ = u;
    } else if (u >= 0xdc00 && u <= 0xdfff) {
      put(high_ ? 0x10000 + ((high_ - 0xd800) << 10) + (u - 0xdc00) : char32_t{0xfffd});
      high_ = 0;
    } else {
      put(u);
    }
  }
  template <typename Put>
  void end(Put put) {
    if (high_) put(0xfffd);
    high_ = 0;
  }

 private:
  char32_t high_ = 0;
};

}  // namespace admin
