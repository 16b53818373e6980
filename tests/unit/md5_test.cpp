#include "http/md5.h"

#include <openssl/md5.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string md5_hex_of(const void* data, std::uint32_t length) {
  Md5Context context;
  md5_init(&context);
  md5_update(&context, data, length);
  unsigned char digest[16];
  md5_final(digest, &context);
  return md5_to_hex(digest).text;
}

std::string openssl_md5_hex(const unsigned char* data, std::size_t length) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  // The one-shot MD5 is deprecated in OpenSSL 3 but is an independent reference.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  MD5(data, length, digest);
#pragma GCC diagnostic pop
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 15];
  }
  return text;
}

TEST(Md5, Rfc1321TestSuite) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(md5_hex_of(c.input, static_cast<std::uint32_t>(std::strlen(c.input))), c.expected)
        << "input \"" << c.input << "\"";
  }
}

// Random data, random lengths, fed in random pieces: block boundaries, the
// padding spill-over at 56 mod 64 and empty updates all get exercised.
TEST(Md5, MatchesOpenSslOnRandomInputsInRandomPieces) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte_value(0, 255);
  std::uniform_int_distribution<int> total_length(0, 5000);
  for (int iteration = 0; iteration < 2000; ++iteration) {
    int length = iteration < 200 ? iteration : total_length(random);
    std::vector<unsigned char> data(static_cast<std::size_t>(length));
    for (unsigned char& byte : data) byte = static_cast<unsigned char>(byte_value(random));

    Md5Context context;
    md5_init(&context);
    int fed = 0;
    while (fed < length) {
      int piece = std::uniform_int_distribution<int>(0, std::min(length - fed, 150))(random);
      md5_update(&context, data.data() + fed, static_cast<std::uint32_t>(piece));
      fed += piece;
    }
    unsigned char digest[16];
    md5_final(digest, &context);
    ASSERT_EQ(std::string(md5_to_hex(digest).text), openssl_md5_hex(data.data(), data.size()))
        << "length " << length << " iteration " << iteration;
  }
}

TEST(Md5, ToHexIsLowerCaseHighNibbleFirst) {
  const unsigned char digest[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                    0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
  HashHex hex = md5_to_hex(digest);
  EXPECT_STREQ(hex.text, "0123456789abcdeffedcba9876543210");
}

TEST(Md5, FinalZeroesTheContext) {
  Md5Context context;
  md5_init(&context);
  md5_update(&context, "some bytes that stay in the buffer", 34);
  unsigned char digest[16];
  md5_final(digest, &context);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&context);
  for (std::size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

}  // namespace
