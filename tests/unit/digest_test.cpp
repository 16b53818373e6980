#include "http/digest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "session/session.h"

namespace {

// Independent MD5 through OpenSSL, raw and as lower-case text.
std::string reference_md5_raw(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string reference_md5(const std::string& data) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : reference_md5_raw(data)) {
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 15];
  }
  return text;
}

std::string hex_of(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
  return text;
}

void set(char* field, std::size_t size, const char* value) {
  std::snprintf(field, size, "%s", value);
}
#define SET(field, value) set(field, sizeof field, value)

const char RFC_NONCE[] = "dcd98b7102dd2f0e8b11d0f600bfb0c093";

TEST(Digest, Rfc2617WorkedExample) {
  HashHex ha1 =
      digest_ha1("", "Mufasa", "testrealm@host.com", "Circle Of Life", RFC_NONCE, "0a4f113b");
  EXPECT_STREQ(ha1.text, "939e7578ed9e3c518a452acee763bce9");
  HashHex response = digest_response(ha1.text, RFC_NONCE, "00000001", "0a4f113b", "auth", "GET",
                                     "/dir/index.html", "");
  EXPECT_STREQ(response.text, "6629fae49393a05397450978507c4ef1");
}

TEST(Digest, Ha1PlainOrSessionByAlgorithm) {
  const std::string plain_raw = reference_md5_raw("u:r:p");
  const std::string plain = reference_md5("u:r:p");
  const std::string session = reference_md5(plain_raw + ":n0:c1");
  struct Case {
    const char* algorithm;
    const std::string& expected;
  };
  const Case cases[] = {
      {"", plain},           {"MD5", plain},        {"md5", plain},
      {"md5-sess", session}, {"MD5-SESS", session}, {"Md5-SeSs", session},
      {"MD5-sess", session}, {"md5-sess2", plain},  {"md5-ses", plain},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(digest_ha1(c.algorithm, "u", "r", "p", "n0", "c1").text, c.expected)
        << "algorithm \"" << c.algorithm << "\"";
  }
  // The session form hashes the 16 raw bytes, never the 32-digit text.
  EXPECT_NE(session, reference_md5(plain + ":n0:c1"));
}

TEST(Digest, ResponseByQop) {
  const std::string ha1 = reference_md5("u:r:p");
  const std::string plain_a2 = reference_md5("GET:");
  const std::string int_a2 = reference_md5("GET::" + reference_md5(""));
  struct Case {
    const char* qop;
    std::string expected;
  };
  const Case cases[] = {
      {"", reference_md5(ha1 + ":n0:" + plain_a2)},
      {"auth", reference_md5(ha1 + ":n0:000000007:c1:auth:" + plain_a2)},
      {"auth-int", reference_md5(ha1 + ":n0:000000007:c1:auth-int:" + int_a2)},
      {"AUTH-INT", reference_md5(ha1 + ":n0:000000007:c1:AUTH-INT:" + int_a2)},
      // A list is hashed whole, and only an exact auth-int brings the body in.
      {"auth,auth-int", reference_md5(ha1 + ":n0:000000007:c1:auth,auth-int:" + plain_a2)},
  };
  for (const Case& c : cases) {
    const char* nonce_count = c.qop[0] ? "000000007" : "";
    EXPECT_EQ(digest_response(ha1.c_str(), "n0", nonce_count, "c1", c.qop, "GET", "", "").text,
              c.expected)
        << "qop \"" << c.qop << "\"";
  }
}

TEST(Digest, AuthorizationLineBytes) {
  struct Case {
    const char* name;
    const char* algorithm;
    const char* qop;
    const char* opaque;
    std::uint32_t nonce_count;
  };
  const Case cases[] = {
      {"realm and nonce only", "", "", "", 1},
      {"opaque without qop", "MD5", "", "5ccc069c403ebaf9f0171e9517f40e41", 2},
      {"qop auth", "MD5", "auth", "", 1},
      {"qop auth with opaque, large count", "", "auth", "xyz", 0x1a2b3c4d},
      {"session with auth-int", "MD5-sess", "auth-int", "op", 16},
      {"qop list", "md5", "auth,auth-int", "", 3},
  };
  for (const Case& c : cases) {
    DigestState state{};
    state.nonce_count = c.nonce_count;
    SET(state.counted_nonce, "n-1234");
    SET(state.nonce, "n-1234");
    SET(state.cnonce, "3f2a");
    SET(state.user_name, "admin");
    SET(state.password, "secret");
    SET(state.realm, "QEL realm");
    SET(state.qop, c.qop);
    SET(state.algorithm, c.algorithm);
    SET(state.opaque, c.opaque);
    const DigestState before = state;

    // Expected values computed here from the definitions, with OpenSSL.
    std::string nc;
    if (c.qop[0]) {
      char text[16];
      std::snprintf(text, sizeof text, "%09x", c.nonce_count);
      nc = text;
    }
    std::string ha1 = reference_md5("admin:QEL realm:secret");
    if (std::strcmp(c.algorithm, "MD5-sess") == 0) {
      ha1 = reference_md5(reference_md5_raw("admin:QEL realm:secret") + ":n-1234:3f2a");
    }
    std::string a2 = "GET:";
    if (std::strcmp(c.qop, "auth-int") == 0) a2 += ":" + reference_md5("");
    std::string middle = c.qop[0] ? nc + ":3f2a:" + c.qop + ":" : "";
    std::string response = reference_md5(ha1 + ":n-1234:" + middle + reference_md5(a2));

    std::string expected =
        "Authorization: Digest username=\"admin\",realm=\"QEL realm\","
        "nonce=\"n-1234\",uri=\"\",algorithm=\"" +
        std::string(c.algorithm) + "\",response=\"" + response + "\"";
    if (c.opaque[0]) expected += ",opaque=\"" + std::string(c.opaque) + "\"";
    if (c.qop[0]) expected += ",qop=" + std::string(c.qop) + ",nc=" + nc + ",cnonce=\"3f2a\"";
    expected += "\r\n";

    char out[DIGEST_AUTHORIZATION_SIZE];
    std::memset(out, 'X', sizeof out);
    int length = digest_authorization(&state, out);
    EXPECT_EQ(std::string(out), expected) << c.name;
    EXPECT_EQ(length, static_cast<int>(expected.size())) << c.name;
    EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0) << c.name << ": state changed";
  }
}

TEST(Digest, AuthorizationLineFitsWithEveryFieldFull) {
  DigestState state;
  std::memset(&state, 'z', sizeof state);  // no terminators anywhere
  state.nonce_count = 0xffffffff;
  char out[DIGEST_AUTHORIZATION_SIZE + 64];
  std::memset(out, 'X', sizeof out);
  int length = digest_authorization(&state, out);
  ASSERT_LT(length, DIGEST_AUTHORIZATION_SIZE);
  EXPECT_EQ(static_cast<int>(std::strlen(out)), length);
  EXPECT_EQ(out[DIGEST_AUTHORIZATION_SIZE], 'X');
  // Each field is read as its first 127 (or 15) characters.
  std::string line(out);
  EXPECT_NE(line.find("username=\"" + std::string(127, 'z') + "\","), std::string::npos);
  EXPECT_NE(line.find(",qop=" + std::string(15, 'z') + ",nc=0ffffffff,cnonce=\""),
            std::string::npos);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
}

// State of a parse as text fields, for table comparison.
struct Fields {
  std::uint32_t nonce_count;
  std::string counted_nonce, nonce, realm, qop, algorithm, opaque;
};

Fields fields_of(const DigestState& s) {
  return {s.nonce_count, s.counted_nonce, s.nonce, s.realm, s.qop, s.algorithm, s.opaque};
}

DigestState earlier_state() {
  DigestState s{};
  s.nonce_count = 4;
  SET(s.counted_nonce, "old-nonce");
  SET(s.nonce, "old-nonce");
  SET(s.cnonce, "77");
  SET(s.user_name, "admin");
  SET(s.password, "pw");
  SET(s.realm, "old-realm");
  SET(s.qop, "auth");
  SET(s.algorithm, "MD5");
  SET(s.opaque, "old-opaque");
  return s;
}

TEST(Digest, ParseChallenge) {
  const std::string long_value(300, 'v');
  struct Case {
    const char* name;
    std::string challenge;
    int result;
    Fields expected;
  };
  const Case cases[] = {
      {"realm and nonce only",
       "WWW-Authenticate: Digest realm=\"R\", nonce=\"N1\"\r\n\r\n",
       0,
       {0, "N1", "N1", "R", "", "", ""}},
      {"all directives",
       "WWW-Authenticate: Digest realm=\"R\", qop=\"auth,auth-int\", algorithm=\"MD5-sess\", "
       "nonce=\"N1\", opaque=\"O\"\r\n",
       0,
       {0, "N1", "N1", "R", "auth,auth-int", "MD5-sess", "O"}},
      {"same nonce keeps the count",
       "WWW-Authenticate: Digest realm=\"R\", nonce=\"old-nonce\", qop=\"auth\"",
       0,
       {4, "old-nonce", "old-nonce", "R", "auth", "", ""}},
      {"missing realm leaves everything",
       "WWW-Authenticate: Digest nonce=\"N1\", qop=\"auth\"",
       1,
       {4, "old-nonce", "old-nonce", "old-realm", "auth", "MD5", "old-opaque"}},
      {"missing nonce keeps the new realm",
       "WWW-Authenticate: Digest realm=\"R2\", qop=\"auth\"",
       1,
       {4, "old-nonce", "old-nonce", "R2", "auth", "MD5", "old-opaque"}},
      {"names are case-sensitive",
       "WWW-Authenticate: Digest Realm=\"R\", Nonce=\"N\"",
       1,
       {4, "old-nonce", "old-nonce", "old-realm", "auth", "MD5", "old-opaque"}},
      {"unquoted values are not values",
       "WWW-Authenticate: Digest realm=R, nonce=N",
       1,
       {4, "old-nonce", "old-nonce", "old-realm", "auth", "MD5", "old-opaque"}},
      {"value without closing quote runs to the end",
       "WWW-Authenticate: Digest realm=\"R\", nonce=\"N1 rest\r\nof it",
       0,
       {0, "N1 rest\r\nof it", "N1 rest\r\nof it", "R", "", "", ""}},
      {"directives found anywhere, first occurrence counts",
       "WWW-Authenticate: Digest realm=\"first\"\r\nX: realm=\"second\"\r\n\r\n<p>nonce=\"N9\" "
       "opaque=\"\"</p>",
       0,
       {0, "N9", "N9", "first", "", "", ""}},
      {"quoted pairs are not unescaped",
       "WWW-Authenticate: Digest realm=\"a\\\"b\", nonce=\"N\"",
       0,
       {0, "N", "N", "a\\", "", "", ""}},
      {"over-long values are cut to their fields",
       "WWW-Authenticate: Digest realm=\"" + long_value + "\", nonce=\"" + long_value +
           "\", algorithm=\"" + long_value + "\", qop=\"" + long_value + "\", opaque=\"" +
           long_value + "\"",
       0,
       {0, std::string(127, 'v'), std::string(127, 'v'), std::string(127, 'v'),
        std::string(15, 'v'), std::string(15, 'v'), std::string(127, 'v')}},
  };
  for (const Case& c : cases) {
    // A guard after the record catches a write past its last field.
    struct {
      DigestState state;
      char guard[64];
    } box;
    box.state = earlier_state();
    std::memset(box.guard, 'G', sizeof box.guard);
    const DigestState before = box.state;

    int result = parse_digest_challenge(c.challenge.c_str(), &box.state);
    EXPECT_EQ(result, c.result) << c.name;
    Fields actual = fields_of(box.state);
    EXPECT_EQ(actual.nonce_count, c.expected.nonce_count) << c.name;
    EXPECT_EQ(actual.counted_nonce, c.expected.counted_nonce) << c.name;
    EXPECT_EQ(actual.nonce, c.expected.nonce) << c.name;
    EXPECT_EQ(actual.realm, c.expected.realm) << c.name;
    EXPECT_EQ(actual.qop, c.expected.qop) << c.name;
    EXPECT_EQ(actual.algorithm, c.expected.algorithm) << c.name;
    EXPECT_EQ(actual.opaque, c.expected.opaque) << c.name;
    EXPECT_STREQ(box.state.user_name, "admin") << c.name;
    EXPECT_STREQ(box.state.password, "pw") << c.name;
    for (char g : box.guard) ASSERT_EQ(g, 'G') << c.name;
    if (result != 0) {
      EXPECT_STREQ(box.state.cnonce, before.cnonce) << c.name << ": cnonce drawn";
    }
  }
}

TEST(Digest, CnonceDrawnAtEveryUsableChallengeOnly) {
  random_seed(12345);
  std::string expected[20];
  bool has_letter = false;
  for (std::string& value : expected) {
    value = hex_of(random_next());
    has_letter = has_letter || value.find_first_of("abcdef") != std::string::npos;
  }
  ASSERT_TRUE(has_letter) << "the draws should show the digits' case";
  random_seed(12345);

  DigestState state{};
  const char usable[] = "WWW-Authenticate: Digest realm=\"R\", nonce=\"N\"";
  ASSERT_EQ(parse_digest_challenge("WWW-Authenticate: Digest realm=\"R\"", &state), 1);
  for (const std::string& value : expected) {
    ASSERT_EQ(parse_digest_challenge(usable, &state), 0);  // the same nonce every time
    EXPECT_EQ(state.cnonce, value);
  }
}

TEST(Digest, NonceCountContinuesOnSameNonceAndRestartsOnNew) {
  DigestState state{};
  const char first[] = "WWW-Authenticate: Digest realm=\"R\", nonce=\"A\", qop=\"auth\"";
  const char second[] = "WWW-Authenticate: Digest realm=\"R\", nonce=\"B\", qop=\"auth\"";
  ASSERT_EQ(parse_digest_challenge(first, &state), 0);
  EXPECT_EQ(state.nonce_count, 0u);
  state.nonce_count += 2;  // two requests went out with nonce A
  ASSERT_EQ(parse_digest_challenge(first, &state), 0);
  EXPECT_EQ(state.nonce_count, 2u);

  ++state.nonce_count;
  char line[DIGEST_AUTHORIZATION_SIZE];
  digest_authorization(&state, line);
  EXPECT_NE(std::strstr(line, ",nc=000000003,"), nullptr) << line;

  ASSERT_EQ(parse_digest_challenge(second, &state), 0);
  EXPECT_EQ(state.nonce_count, 0u);
  EXPECT_STREQ(state.counted_nonce, "B");
  ++state.nonce_count;
  digest_authorization(&state, line);
  EXPECT_NE(std::strstr(line, ",nc=000000001,"), nullptr) << line;
}

// The run's copies of the password: the session hands its copy over, and the
// end of a run wipes the one exchanges authenticate with.
TEST(Digest, TheRunsCopiesOfThePasswordAreWipedWhenItEnds) {
  char user[128], password[128];
  set_credentials("admin", "s3cret");
  get_credentials(user, password);
  EXPECT_STREQ(user, "admin");
  EXPECT_STREQ(password, "s3cret");
  get_credentials(user, password);
  EXPECT_STREQ(password, "") << "the session kept its copy";

  set_credentials("admin", "s3cret");
  std::strcpy(digest_state.password, "s3cret");
  forget_run_secrets();
  get_credentials(user, password);
  EXPECT_STREQ(password, "");
  const char zeros[sizeof digest_state.password] = {};
  EXPECT_EQ(std::memcmp(digest_state.password, zeros, sizeof zeros), 0);
}

}  // namespace
