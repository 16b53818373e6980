#include "verdict.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

constexpr size_t kHeaderSize = 128, kMagicSize = 16, kVersionAt = 92;

bool printable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7f) {
      // Bytes above ASCII are written as code points so the JSON stays valid UTF-8.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string boolean(bool b) { return b ? "true" : "false"; }
std::string opt_bool(const std::optional<bool>& b) { return b ? boolean(*b) : "null"; }
std::string text_or_null(const std::string& s) { return s.empty() ? "null" : quote(s); }
std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

}  // namespace

FirmwareHeader inspect_header(const std::vector<unsigned char>& image) {
  FirmwareHeader h;
  if (image.size() < kHeaderSize) {
    h.problem = "image shorter than its 128-byte header";
    return h;
  }
  auto text_at = [&](size_t at, size_t max) {
    std::string s;
    for (size_t i = at; i < at + max && image[i] != 0; ++i) s += char(image[i]);
    return s;
  };
  h.magic = text_at(0, kMagicSize);
  h.version = text_at(kVersionAt, kHeaderSize - kVersionAt);
  if (h.magic.empty() || !printable(h.magic)) {
    h.problem = "no magic text in bytes 0..15";
  } else if (h.version.size() == kHeaderSize - kVersionAt) {
    h.problem = "version text in bytes 92..127 has no NUL";
  } else if (h.version.empty() || !printable(h.version)) {
    h.problem = "no version text at byte 92";
  } else {
    h.ok = true;
  }
  return h;
}

std::string sha256_hex(const std::vector<unsigned char>& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += digits[md[i] >> 4];
    out += digits[md[i] & 15];
  }
  return out;
}

std::string to_json(const Summary& s) {
  std::string j = "{\"upgrade_requests\":" + std::to_string(s.upgrade_requests) +
                  ",\"reboots\":" + std::to_string(s.reboots) + ",\"transfers\":[";
  for (size_t i = 0; i < s.transfers.size(); ++i) {
    const TransferRecord& t = s.transfers[i];
    const TransferResult& r = t.result;
    std::string unrequested = "[";
    for (size_t k = 0; k < r.unrequested_options.size(); ++k)
      unrequested += (k ? "," : "") + quote(r.unrequested_options[k]);
    unrequested += "]";
    j += std::string(i ? "," : "") + "{\"file\":" + quote(r.file) +
         ",\"server\":" + quote(r.server) + ",\"peer\":" + text_or_null(r.peer) +
         ",\"complete\":" + boolean(r.complete) + ",\"bytes\":" + std::to_string(r.data.size()) +
         ",\"tsize\":" + (r.tsize ? std::to_string(*r.tsize) : "null") +
         ",\"block_size\":" + std::to_string(r.block_size) +
         ",\"identical\":" + opt_bool(t.identical) + ",\"sha\":" + quote(t.sha256) +
         ",\"header_ok\":" + boolean(t.header.ok) +
         ",\"header_magic\":" + text_or_null(t.header.magic) +
         ",\"header_version\":" + text_or_null(t.header.version) +
         ",\"unrequested_options\":" + unrequested +
         ",\"wrong_name_answered\":" + opt_bool(r.wrong_name_answered) +
         ",\"error\":" + text_or_null(r.error) + ",\"seconds\":" + seconds_text(r.seconds) + "}";
  }
  j += "],\"reported_version\":" + quote(s.reported_version) +
       ",\"reference_match\":" + opt_bool(s.reference_match) + "}\n";
  return j;
}

void write_file_atomically(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(errno));
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace sim
