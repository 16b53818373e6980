// Resources linked into the program where there is no resource section of
// the executable to carry them (the Win32 build uses its real resources).
#pragma once
#include <cstdint>

struct EmbeddedResource {
  int number;
  const char* type;
  const unsigned char* data;
  std::uint32_t size;
};

extern const EmbeddedResource embedded_resources[];
extern const int embedded_resource_count;
