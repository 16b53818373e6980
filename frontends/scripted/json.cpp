#include "frontends/scripted/json.h"

#include "frontends/common/text.h"

namespace scripted {

namespace {

// Code points below 256 become their byte again. Anything above, which no
// transcript holds, keeps its UTF-8.
std::string utf8_to_bytes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c == 0xc2 || c == 0xc3) && i + 1 < text.size()) {
      out += static_cast<char>(((c & 0x1f) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3f));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

template <class Json>
void convert_strings(Json& value, std::string (*convert)(const std::string&)) {
  if (value.is_string()) {
    auto& text = value.template get_ref<std::string&>();
    text = convert(text);
  } else if (value.is_structured()) {
    for (auto& member : value) convert_strings(member, convert);
  }
}

}  // namespace

std::string transcript_text(const TranscriptLine& line) {
  TranscriptLine copy = line;
  convert_strings(copy, frontend::latin1_to_utf8);
  return copy.dump(-1, ' ', /*ensure_ascii=*/true);
}

nlohmann::json parse_transcript_line(const std::string& text) {
  nlohmann::json value = nlohmann::json::parse(text);
  convert_strings(value, utf8_to_bytes);
  return value;
}

}  // namespace scripted
