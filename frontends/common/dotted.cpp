#include "frontends/common/dotted.h"

namespace frontend {

// As inet_pton reads IPv4: exactly four parts of one to three decimal
// digits, each at most 255; a leading zero only as the part "0".
bool parse_dotted(const std::string& text, std::uint32_t* address) {
  std::uint32_t value = 0;
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    std::size_t start = i;
    unsigned part = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
      part = part * 10 + static_cast<unsigned>(text[i++] - '0');
    std::size_t digits = i - start;
    if (digits == 0 || part > 255 || (digits > 1 && text[start] == '0')) return false;
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  *address = value;
  return true;
}

std::string dotted(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xff) + "." +
         std::to_string((a >> 8) & 0xff) + "." + std::to_string(a & 0xff);
}

}  // namespace frontend
