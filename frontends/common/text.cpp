#include "frontends/common/text.h"

#include <algorithm>
#include <cstring>

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

namespace {

void append_utf8(std::string* out, std::uint32_t c) {
  utf8_bytes(c, [out](char b) { *out += b; });
}

constexpr std::uint32_t REPLACEMENT = 0xfffd;

// Calls each(code point) for the UTF-8 text; an invalid byte is REPLACEMENT.
template <typename Each>
void decode_utf8(const std::string& text, Each each) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80             ? 0
                : (lead & 0xe0) == 0xc0 ? 1
                : (lead & 0xf0) == 0xe0 ? 2
                : (lead & 0xf8) == 0xf0 ? 3
                                        : -1;
    std::uint32_t c = extra == 0   ? lead
                      : extra == 1 ? lead & 0x1fu
                      : extra == 2 ? lead & 0x0fu
                                   : lead & 0x07u;
    bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xc0) != 0x80) valid = false;
      c = (c << 6) | (next & 0x3fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are invalid too.
    static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (valid && (c < least[extra] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))) valid = false;
    if (!valid) {
      each(REPLACEMENT);
      ++i;
      continue;
    }
    each(c);
    i += static_cast<std::size_t>(extra) + 1;
  }
}

std::string trimmed(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string shown_utf8(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  decode_utf8(utf8, [&](std::uint32_t c) {
    if (c == '\t' || c == '\r' || c == '\n')
      out += ' ';
    else if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || is_bidi_control(c))
      out += '?';
    else
      append_utf8(&out, c);
  });
  return trimmed(out);
}

std::string shown_text(const std::string& latin1) { return shown_utf8(latin1_to_utf8(latin1)); }

bool printable_ascii(const std::string& text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x21 || byte > 0x7e) return false;
  }
  return true;
}

std::string valid_utf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  decode_utf8(text, [&](std::uint32_t c) { append_utf8(&out, c); });
  return out;
}

std::string csv_field(const std::string& utf8) {
  std::string text = shown_utf8(utf8);
  // A spreadsheet runs a cell that starts so as a formula.
  if (!text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr) {
    std::string quoted_formula(1, '\'');
    quoted_formula += text;
    text.swap(quoted_formula);
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace frontend
