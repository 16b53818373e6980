#include "digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace sim {
namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string to_hex(const unsigned char* data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// One offered value, or the offered list sent back whole (this product's habit).
bool DigestGuard::qop_offered(std::string_view qop) const {
  if (iequals(qop, cfg_.qop)) return true;
  std::string_view list = cfg_.qop;
  while (!list.empty()) {
    size_t comma = std::min(list.find(','), list.size());
    if (iequals(qop, list.substr(0, comma))) return true;
    list.remove_prefix(std::min(comma + 1, list.size()));
  }
  return false;
}

std::array<unsigned char, 16> md5_raw(std::string_view data) {
  std::array<unsigned char, 16> out{};
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_md5(), nullptr) != 1 ||
      len != out.size())
    throw std::runtime_error("MD5 failed");
  return out;
}

std::string md5_hex(std::string_view data) {
  auto raw = md5_raw(data);
  return to_hex(raw.data(), raw.size());
}

std::optional<std::map<std::string, std::string>> parse_digest_authorization(std::string_view v) {
  size_t pos = 0;
  while (pos < v.size() && is_space(v[pos])) ++pos;
  if (!iequals(v.substr(pos, 6), "Digest") || (pos + 6 < v.size() && !is_space(v[pos + 6])))
    return std::nullopt;
  pos += 6;
  std::map<std::string, std::string> params;
  for (;;) {
    while (pos < v.size() && (is_space(v[pos]) || v[pos] == ',')) ++pos;
    if (pos >= v.size()) break;
    size_t key_start = pos;
    while (pos < v.size() && v[pos] != '=' && v[pos] != ',' && !is_space(v[pos])) ++pos;
    std::string key(v.substr(key_start, pos - key_start));
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    while (pos < v.size() && is_space(v[pos])) ++pos;
    if (key.empty() || pos >= v.size() || v[pos] != '=') return std::nullopt;
    ++pos;
    while (pos < v.size() && is_space(v[pos])) ++pos;
    std::string value;
    if (pos < v.size() && v[pos] == '"') {
      ++pos;
      for (;;) {
        if (pos >= v.size()) return std::nullopt;  // unterminated quote
        char c = v[pos++];
        if (c == '"') break;
        if (c == '\\' && pos < v.size()) c = v[pos++];
        value += c;
      }
    } else {
      // A token ends at a comma, except that an unquoted list such as
      // qop=auth,auth-int (which this product sends) goes on while the
      // next piece is a bare word rather than key=value.
      size_t start = pos;
      for (;;) {
        while (pos < v.size() && v[pos] != ',') ++pos;
        if (pos >= v.size()) break;
        size_t next_end = std::min(v.find(',', pos + 1), v.size());
        std::string_view next = v.substr(pos + 1, next_end - pos - 1);
        if (next.find_first_not_of(" \t") == std::string_view::npos ||
            next.find_first_of("=\"") != std::string_view::npos)
          break;
        pos = next_end;
      }
      value = std::string(v.substr(start, pos - start));
      while (!value.empty() && is_space(value.back())) value.pop_back();
    }
    params[key] = value;
  }
  return params;
}

DigestGuard::DigestGuard(const Config& cfg) : cfg_(cfg), rng_(std::random_device{}()) { reboot(); }

std::string DigestGuard::random_hex(size_t chars) {
  static const char digits[] = "0123456789abcdef";
  std::string out(chars, '0');
  for (char& c : out) c = digits[rng_() & 15];
  return out;
}

void DigestGuard::new_nonce() {
  nonce_ = random_hex(cfg_.nonce_length);
  uses_ = 0;
}

void DigestGuard::reboot() {
  std::lock_guard lock(mutex_);
  new_nonce();
  opaque_ = random_hex(16);
}

std::string DigestGuard::challenge() {
  std::lock_guard lock(mutex_);
  if (cfg_.nonce_policy == NoncePolicy::Rotate) new_nonce();
  // Every value is quoted, algorithm included, which is how this device family writes it.
  std::string out = "Digest realm=\"" + cfg_.realm + "\",nonce=\"" + nonce_ + "\"";
  if (!cfg_.qop.empty()) out += ",qop=\"" + cfg_.qop + "\"";
  if (!cfg_.algorithm.empty()) out += ",algorithm=\"" + cfg_.algorithm + "\"";
  if (cfg_.opaque) out += ",opaque=\"" + opaque_ + "\"";
  return out;
}

AuthResult DigestGuard::check(const std::string* authorization, const std::string& target) {
  if (!authorization) return {false, "missing", "", ""};
  auto params = parse_digest_authorization(*authorization);
  if (!params) return {false, "unparsable", "", ""};
  std::lock_guard lock(mutex_);
  if (cfg_.nc_check) {
    auto nonce = params->find("nonce"), nc = params->find("nc");
    if (nonce != params->end() && nc != params->end()) {
      // The same count written with another width is the same count.
      std::string count = nc->second;
      std::transform(count.begin(), count.end(), count.begin(),
                     [](unsigned char c) { return char(std::tolower(c)); });
      count.erase(0, std::min(count.find_first_not_of('0'), count.size()));
      if (!counted_.insert(nonce->second + ":" + count).second)
        return {false, "nc-repeated", nc->second, ""};
    }
  }
  AuthResult r = verify(*params, target);
  if (r.ok && cfg_.nonce_policy == NoncePolicy::Expire && ++uses_ >= cfg_.nonce_uses) new_nonce();
  return r;
}

AuthResult DigestGuard::verify(const std::map<std::string, std::string>& p,
                               const std::string& target) const {
  auto get = [&p](const char* key) -> std::optional<std::string> {
    auto it = p.find(key);
    if (it == p.end()) return std::nullopt;
    return it->second;
  };
  AuthResult r;
  r.nc = get("nc").value_or("");
  auto fail = [&r](const char* reason) {
    r.reason = reason;
    return r;
  };

  auto user = get("username"), realm = get("realm"), nonce = get("nonce"), uri = get("uri"),
       response = get("response");
  if (!user || !realm || !nonce || !uri || !response) return fail("incomplete");
  if (*user != cfg_.user) return fail("user");
  if (*realm != cfg_.realm) return fail("realm");
  if (*nonce != nonce_) return fail("stale-nonce");
  if (cfg_.opaque && get("opaque") != opaque_) return fail("opaque");
  // This product hashes an empty uri; ordinary clients send the request target.
  if (!uri->empty() && *uri != target) return fail("uri");

  std::string algorithm = get("algorithm").value_or("");
  bool sess = iequals(algorithm, "MD5-sess");
  if (sess != iequals(cfg_.algorithm, "MD5-sess")) return fail("algorithm");
  if (!sess && !algorithm.empty() && !iequals(algorithm, "MD5")) return fail("algorithm");

  auto qop = get("qop");
  std::string cnonce = get("cnonce").value_or("");
  if (cfg_.qop.empty()) {
    if (qop) return fail("qop");
  } else {
    if (!qop || !qop_offered(*qop)) return fail("qop");
    if (r.nc.empty() || r.nc.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return fail("nc");
    if (cnonce.empty()) return fail("cnonce");
  }
  if (sess && cnonce.empty()) return fail("cnonce");

  std::string a2 = "GET:" + *uri;
  if (qop && iequals(*qop, "auth-int")) a2 += ":" + md5_hex("");
  const std::string ha2 = md5_hex(a2);
  auto expected = [&](const std::string& ha1) {
    if (qop)
      return md5_hex(ha1 + ":" + *nonce + ":" + r.nc + ":" + cnonce + ":" + *qop + ":" + ha2);
    return md5_hex(ha1 + ":" + *nonce + ":" + ha2);
  };
  auto matches = [&](const std::string& ha1) { return iequals(expected(ha1), *response); };

  const std::string base = cfg_.user + ":" + cfg_.realm + ":" + cfg_.password;
  if (!sess) {
    r.ok = matches(md5_hex(base));
  } else {
    auto raw = md5_raw(base);
    std::string raw_text(reinterpret_cast<const char*>(raw.data()), raw.size());
    std::string tail = ":" + *nonce + ":" + cnonce;
    if (cfg_.sess_form != SessForm::Hex && matches(md5_hex(raw_text + tail))) {
      r.ok = true;
      r.sess_form = "raw";
    } else if (cfg_.sess_form != SessForm::Raw && matches(md5_hex(md5_hex(base) + tail))) {
      r.ok = true;
      r.sess_form = "hex";
    }
  }
  if (!r.ok) r.reason = "response";
  return r;
}

}  // namespace sim
