// Builds firmware images with the header layout the devices expect and a
// deterministic high-entropy body. Used by the build (to make the embedded
// images) and by tests; never by the program at run time.
#pragma once
#include <cstdint>
#include <vector>

struct ImageRecipe {
  const char* magic;    // up to 16 characters; the model code is its start
  const char* version;  // up to 35 characters
  std::uint32_t size;   // total length, header included (>= 128)
  std::uint64_t seed;   // body and opaque bytes
};

std::vector<unsigned char> build_firmware_image(const ImageRecipe& recipe);
