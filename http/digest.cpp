#include "http/digest.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "session/session.h"

DigestState digest_state;

namespace {

void md5_text(Md5Context* context, const char* text) {
  md5_update(context, text, static_cast<std::uint32_t>(std::strlen(text)));
}

bool equals_ignoring_case(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// The value after name (which ends with the opening quote), first occurrence
// anywhere in the text; null when the name is absent.
const char* find_value(const char* text, const char* name) {
  const char* found = std::strstr(text, name);
  return found ? found + std::strlen(name) : nullptr;
}

// Copies a value up to the closing quote or the end of the text, cut to what
// the field holds.
void store_value(const char* value, char* field, std::size_t size) {
  const char* quote = std::strchr(value, '"');
  std::size_t length = quote ? static_cast<std::size_t>(quote - value) : std::strlen(value);
  if (length > size - 1) length = size - 1;
  std::memcpy(field, value, length);
  field[length] = '\0';
}

void store_optional(const char* text, const char* name, char* field, std::size_t size) {
  const char* value = find_value(text, name);
  if (value) {
    store_value(value, field, size);
  } else {
    field[0] = '\0';
  }
}

}  // namespace

HashHex digest_ha1(const char* algorithm, const char* user_name, const char* realm,
                   const char* password, const char* nonce, const char* cnonce) {
  unsigned char digest[16];
  Md5Context context;
  md5_init(&context);
  md5_text(&context, user_name);
  md5_text(&context, ":");
  md5_text(&context, realm);
  md5_text(&context, ":");
  md5_text(&context, password);
  md5_final(digest, &context);

  if (equals_ignoring_case(algorithm, "md5-sess")) {
    // The session form hashes the raw 16 bytes, not their text.
    md5_init(&context);
    md5_update(&context, digest, 16);
    md5_text(&context, ":");
    md5_text(&context, nonce);
    md5_text(&context, ":");
    md5_text(&context, cnonce);
    md5_final(digest, &context);
  }
  return md5_to_hex(digest);
}

HashHex digest_response(const char* ha1, const char* nonce, const char* nonce_count,
                        const char* cnonce, const char* qop, const char* method, const char* uri,
                        const char* entity_body) {
  unsigned char digest[16];
  Md5Context context;

  md5_init(&context);
  md5_text(&context, method);
  md5_text(&context, ":");
  md5_text(&context, uri);
  if (equals_ignoring_case(qop, "auth-int")) {
    Md5Context body_context;
    md5_init(&body_context);
    md5_text(&body_context, entity_body);
    md5_final(digest, &body_context);
    HashHex body_hash = md5_to_hex(digest);
    md5_text(&context, ":");
    md5_text(&context, body_hash.text);
  }
  md5_final(digest, &context);
  HashHex ha2 = md5_to_hex(digest);

  md5_init(&context);
  md5_text(&context, ha1);
  md5_text(&context, ":");
  md5_text(&context, nonce);
  md5_text(&context, ":");
  if (qop[0] != '\0') {
    md5_text(&context, nonce_count);
    md5_text(&context, ":");
    md5_text(&context, cnonce);
    md5_text(&context, ":");
    md5_text(&context, qop);
    md5_text(&context, ":");
  }
  md5_text(&context, ha2.text);
  md5_final(digest, &context);
  return md5_to_hex(digest);
}

int parse_digest_challenge(const char* challenge, DigestState* digest) {
  const char* realm = find_value(challenge, "realm=\"");
  if (!realm) return 1;
  store_value(realm, digest->realm, sizeof digest->realm);

  const char* nonce = find_value(challenge, "nonce=\"");
  if (!nonce) return 1;
  store_value(nonce, digest->nonce, sizeof digest->nonce);

  if (std::strcmp(digest->nonce, digest->counted_nonce) != 0) {
    std::memcpy(digest->counted_nonce, digest->nonce, sizeof digest->counted_nonce);
    digest->nonce_count = 0;
  }
  std::snprintf(digest->cnonce, sizeof digest->cnonce, "%x", static_cast<unsigned>(random_next()));

  store_optional(challenge, "algorithm=\"", digest->algorithm, sizeof digest->algorithm);
  store_optional(challenge, "qop=\"", digest->qop, sizeof digest->qop);
  store_optional(challenge, "opaque=\"", digest->opaque, sizeof digest->opaque);
  return 0;
}

int digest_authorization(const DigestState* digest, char* out) {
  // Work on a copy whose every field is terminated, so that a field filled
  // to the brim cannot run the formatting past it.
  DigestState s = *digest;
  s.counted_nonce[sizeof s.counted_nonce - 1] = '\0';
  s.nonce[sizeof s.nonce - 1] = '\0';
  s.cnonce[sizeof s.cnonce - 1] = '\0';
  s.user_name[sizeof s.user_name - 1] = '\0';
  s.password[sizeof s.password - 1] = '\0';
  s.realm[sizeof s.realm - 1] = '\0';
  s.qop[sizeof s.qop - 1] = '\0';
  s.algorithm[sizeof s.algorithm - 1] = '\0';
  s.opaque[sizeof s.opaque - 1] = '\0';

  char nonce_count[16] = "";
  if (s.qop[0] != '\0') std::snprintf(nonce_count, sizeof nonce_count, "%09x", s.nonce_count);

  HashHex ha1 = digest_ha1(s.algorithm, s.user_name, s.realm, s.password, s.nonce, s.cnonce);
  HashHex response =
      digest_response(ha1.text, s.nonce, nonce_count, s.cnonce, s.qop, "GET", "", "");

  const std::size_t size = DIGEST_AUTHORIZATION_SIZE;
  int length = std::snprintf(out, size,
                             "Authorization: Digest username=\"%s\",realm=\"%s\",nonce=\"%s\","
                             "uri=\"%s\",algorithm=\"%s\",response=\"%s\"",
                             s.user_name, s.realm, s.nonce, "", s.algorithm, response.text);
  if (s.opaque[0] != '\0') {
    length += std::snprintf(out + length, size - static_cast<std::size_t>(length), ",opaque=\"%s\"",
                            s.opaque);
  }
  if (s.qop[0] != '\0') {
    length += std::snprintf(out + length, size - static_cast<std::size_t>(length),
                            ",qop=%s,nc=%09x,cnonce=\"%s\"", s.qop, s.nonce_count, s.cnonce);
  }
  length += std::snprintf(out + length, size - static_cast<std::size_t>(length), "\r\n");
  // H(A1) opens every later response as the password does.
  wipe_secret(s.password, sizeof s.password);
  wipe_secret(&ha1, sizeof ha1);
  return length;
}
