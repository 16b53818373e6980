// Client side of HTTP digest authentication (RFC 2617), with the fixed
// choices this client makes: method GET, an empty URI and entity body, a
// nine-digit nonce count and an always-quoted algorithm.
#pragma once
#include <cstdint>

#include "http/md5.h"
#include "session/layer.h"

QEL_LAYER_HEADER(HTTP);

// The text fields are NUL-terminated; the sizes include the terminator.
struct DigestState {
  std::uint32_t nonce_count;  // requests sent with counted_nonce so far
  char counted_nonce[128];    // the nonce nonce_count belongs to
  char nonce[128];
  char cnonce[128];  // "%x" of a random number, drawn at every usable challenge
  char user_name[128];
  char password[128];  // empty: no Authorization line is sent
  char realm[128];
  char qop[16];  // as received, a list stays whole
  char algorithm[16];
  char opaque[128];
};

// The process-wide state: zero at start-up, never cleared afterwards.
extern DigestState digest_state;

// Room an Authorization line needs, terminator included (the longest line
// the fields above can produce is well under this).
inline constexpr int DIGEST_AUTHORIZATION_SIZE = 1024;

// H(A1) as text; "md5-sess" in any casing selects the session form.
HashHex digest_ha1(const char* algorithm, const char* user_name, const char* realm,
                   const char* password, const char* nonce, const char* cnonce);

// The request digest as text. The nonce count, cnonce and qop enter only when
// qop is non-empty; the entity body only when qop is exactly "auth-int" (any
// casing).
HashHex digest_response(const char* ha1, const char* nonce, const char* nonce_count,
                        const char* cnonce, const char* qop, const char* method, const char* uri,
                        const char* entity_body);

// challenge: NUL-terminated text from "WWW-Authenticate:" to the end of the
// response. 0 when realm and nonce were found (the challenge is stored), 1
// otherwise (a realm found before a missing nonce is kept). Values longer
// than their field are cut to fit.
int parse_digest_challenge(const char* challenge, DigestState* digest);

// Writes the whole Authorization line, CR LF included, to out (at least
// DIGEST_AUTHORIZATION_SIZE bytes); returns its length. The state is only read.
int digest_authorization(const DigestState* digest, char* out);
