#include "http/md5.h"

#include <cstring>

namespace {

// Per-round shift amounts and the sine-derived constants of RFC 1321.
constexpr std::uint32_t SHIFTS[64] = {
    7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
    14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
    4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21,
};

constexpr std::uint32_t SINES[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

std::uint32_t rotate_left(std::uint32_t x, std::uint32_t n) { return (x << n) | (x >> (32 - n)); }

void md5_transform(std::uint32_t state[4], const unsigned char block[64]) {
  std::uint32_t x[16];
  for (std::size_t i = 0; i < 16; ++i) {
    x[i] = std::uint32_t(block[i * 4]) | (std::uint32_t(block[i * 4 + 1]) << 8) |
           (std::uint32_t(block[i * 4 + 2]) << 16) | (std::uint32_t(block[i * 4 + 3]) << 24);
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int k;
    if (i < 16) {
      f = (b & c) | (~b & d);
      k = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      k = (5 * i + 1) & 15;
    } else if (i < 48) {
      f = b ^ c ^ d;
      k = (3 * i + 5) & 15;
    } else {
      f = c ^ (b | ~d);
      k = (7 * i) & 15;
    }
    std::uint32_t next = b + rotate_left(a + f + SINES[i] + x[k], SHIFTS[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void md5_init(Md5Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->count[0] = 0;
  context->count[1] = 0;
}

void md5_update(Md5Context* context, const void* bytes, std::uint32_t length) {
  const unsigned char* input = static_cast<const unsigned char*>(bytes);
  std::uint32_t held = (context->count[0] >> 3) & 63;

  // The bit count is 64 bits wide, kept as two words.
  std::uint32_t low_bits = length << 3;
  context->count[0] += low_bits;
  if (context->count[0] < low_bits) ++context->count[1];
  context->count[1] += length >> 29;

  std::uint32_t room = 64 - held;
  std::uint32_t done = 0;
  if (length >= room) {
    std::memcpy(context->buffer + held, input, room);
    md5_transform(context->state, context->buffer);
    for (done = room; length - done >= 64; done += 64) md5_transform(context->state, input + done);
    held = 0;
  }
  if (length > done) std::memcpy(context->buffer + held, input + done, length - done);
}

void md5_final(unsigned char digest[16], Md5Context* context) {
  unsigned char length_bytes[8];
  for (int i = 0; i < 8; ++i) {
    length_bytes[i] = static_cast<unsigned char>(context->count[i >> 2] >> ((i & 3) * 8));
  }
  // 0x80, then zeros up to 56 mod 64, then the bit count.
  static const unsigned char PADDING[64] = {0x80};
  std::uint32_t held = (context->count[0] >> 3) & 63;
  std::uint32_t pad_length = held < 56 ? 56 - held : 120 - held;
  md5_update(context, PADDING, pad_length);
  md5_update(context, length_bytes, 8);

  for (int i = 0; i < 16; ++i) {
    digest[i] = static_cast<unsigned char>(context->state[i >> 2] >> ((i & 3) * 8));
  }
  // Nothing of the input may linger in the caller's memory.
  std::memset(context, 0, sizeof *context);
}

HashHex md5_to_hex(const unsigned char digest[16]) {
  static const char DIGITS[] = "0123456789abcdef";
  HashHex hex;
  for (std::size_t i = 0; i < 16; ++i) {
    hex.text[i * 2] = DIGITS[digest[i] >> 4];
    hex.text[i * 2 + 1] = DIGITS[digest[i] & 15];
  }
  hex.text[32] = '\0';
  return hex;
}
