#include <cerrno>
#include <cstdlib>

#include "app/app.h"

// strtoul with a 32-bit unsigned long, as on the platform the devices' tools
// were built for: out-of-range magnitudes saturate, a '-' negates modulo 2^32.
// Linux's 64-bit unsigned long would give other values for long inputs.
static std::uint32_t strtoul32(const char* text, char** end) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  errno = 0;
  unsigned long long magnitude = std::strtoull(text, end, 0);
  if (*end == text) return 0;
  if (negative) magnitude = 0 - magnitude;  // undo strtoull's own negation
  if (errno == ERANGE || magnitude > 0xffffffffull) return 0xffffffffu;
  std::uint32_t value = static_cast<std::uint32_t>(magnitude);
  return negative ? 0u - value : value;
}

std::int32_t version_number(const char* text) {
  if (!text) return 0;
  std::uint32_t value = 0;
  const char* cursor = text;
  for (int part = 0; part < 3; ++part) {
    char* end = nullptr;
    std::uint32_t number = strtoul32(cursor, &end);
    cursor = end;
    value = value * 100u + number;  // wraps as 32-bit arithmetic does
    if (*cursor == '\0') break;
    ++cursor;
  }
  return static_cast<std::int32_t>(value);
}
