// MD5 message digest (RFC 1321), for the digest authentication.
#pragma once
#include <cstdint>
#include "session/layer.h"

QEL_LAYER_HEADER(HTTP);

struct Md5Context {
  std::uint32_t state[4];    // A, B, C, D
  std::uint32_t count[2];    // message length in bits, mod 2^64, low word first
  unsigned char buffer[64];  // input not yet making a whole block
};

// 32 lower-case hexadecimal digits and a NUL.
struct HashHex {
  char text[33];
};

void md5_init(Md5Context* context);
void md5_update(Md5Context* context, const void* bytes, std::uint32_t length);
// Pads, writes the 16-byte digest and wipes the context.
void md5_final(unsigned char digest[16], Md5Context* context);
HashHex md5_to_hex(const unsigned char digest[16]);
