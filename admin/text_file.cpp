#include "admin/text_file.h"

namespace admin {

namespace {

void put_utf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xc0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xe0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

std::string from_utf16(const std::string& bytes, bool little_endian) {
  std::string out;
  char32_t high = 0;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    char32_t unit = little_endian ? (b << 8 | a) : (a << 8 | b);
    if (high && (unit < 0xdc00 || unit > 0xdfff)) {
      put_utf8(0xfffd, &out);
      high = 0;
    }
    if (unit >= 0xd800 && unit <= 0xdbff) {
      high = unit;
    } else if (unit >= 0xdc00 && unit <= 0xdfff) {
      put_utf8(high ? 0x10000 + ((high - 0xd800) << 10) + (unit - 0xdc00) : 0xfffd, &out);
      high = 0;
    } else {
      put_utf8(unit, &out);
    }
  }
  if (high) put_utf8(0xfffd, &out);
  return out;
}

}  // namespace

bool decode_text(const std::string& bytes, std::string* utf8, std::string* why) {
  if (bytes.rfind("\xff\xfe", 0) == 0 || bytes.rfind("\xfe\xff", 0) == 0) {
    *utf8 = from_utf16(bytes, bytes[0] == '\xff');
    return true;
  }
  *utf8 = bytes.rfind("\xef\xbb\xbf", 0) == 0 ? bytes.substr(3) : bytes;
  // "1\0.\0" and so on: UTF-16 that lost its mark.
  if (utf8->size() >= 4 && (*utf8)[1] == '\0' && (*utf8)[3] == '\0' && (*utf8)[0] != '\0') {
    *why =
        "it looks like UTF-16 without a byte-order mark: save it as UTF-8 (or UTF-16 with its "
        "mark, as Windows PowerShell writes it)";
    return false;
  }
  return true;
}

}  // namespace admin
