#include "frontends/common/text.h"

#include <algorithm>

namespace frontend {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.emplace_back();
      continue;
    }
    lines.back() += c;
  }
  return lines;
}

std::string plain_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool first = true;
  for (const std::string& line : split_lines(text)) {
    if (!first) out += '\n';
    for (char ch : line) {
      const auto c = static_cast<unsigned char>(ch);
      bool control = (c < 0x20 && c != '\t') || c == 0x7f || (c >= 0x80 && c <= 0x9f);
      out += control ? '?' : ch;
    }
    first = false;
  }
  return out;
}

int longest_line(const std::string& text) {
  std::size_t longest = 0;
  for (const std::string& line : split_lines(text)) longest = std::max(longest, line.size());
  return static_cast<int>(longest);
}

std::string latin1_to_utf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

bool is_bidi_control(std::uint32_t c) {
  return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace frontend
