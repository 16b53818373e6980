#include "admin/text_file.h"

#include "frontends/common/text.h"

namespace admin {

namespace {

std::string from_utf16(const std::string& bytes, bool little_endian) {
  std::string out;
  auto put = [&out](char32_t c) { frontend::utf8_bytes(c, [&out](char b) { out += b; }); };
  Utf16Decoder decoder;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    decoder.unit(little_endian ? (b << 8 | a) : (a << 8 | b), put);
  }
  decoder.end(put);
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
