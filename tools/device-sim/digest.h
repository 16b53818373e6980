// The device's side of HTTP Digest authentication.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "config.h"

namespace sim {

std::array<unsigned char, 16> md5_raw(std::string_view data);
std::string md5_hex(std::string_view data);

// Parses the value of an Authorization header ("Digest k=v,k="v",...").
// Keys are lower-cased; quoted values are unquoted. Accepts "," with or
// without blanks. nullopt when the scheme is not Digest or the syntax is broken.
std::optional<std::map<std::string, std::string>> parse_digest_authorization(
    std::string_view value);

struct AuthResult {
  bool ok = false;
  std::string reason;     // why it failed
  std::string nc;         // as the client sent it
  std::string sess_form;  // "raw" or "hex" when MD5-sess matched
};

class DigestGuard {
 public:
  explicit DigestGuard(const Config& cfg);

  bool enabled() const { return !cfg_.password.empty(); }
  // WWW-Authenticate value for a 401; issues a new nonce under the rotate policy.
  std::string challenge();
  // Checks the Authorization header (nullptr when absent) of a GET of `target`.
  AuthResult check(const std::string* authorization, const std::string& target);
  // Power cycle: new nonce and opaque, use count cleared.
  void reboot();

 private:
  std::string random_hex(size_t chars);
  void new_nonce();
  bool qop_offered(std::string_view qop) const;
  AuthResult verify(const std::map<std::string, std::string>& p, const std::string& target) const;

  const Config& cfg_;
  std::mutex mutex_;
  std::mt19937_64 rng_;
  std::string nonce_;
  std::string opaque_;
  unsigned uses_ = 0;
  std::set<std::string> counted_;  // "nonce:nc" pairs seen, for --nc-check
};

}  // namespace sim
