#include "resources/image_builder.h"

#include <algorithm>
#include <cstring>

namespace {

// splitmix64: tiny, well mixed and the same on every platform and compiler.
std::uint64_t next(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

void fill_random(unsigned char* out, std::size_t n, std::uint64_t& state) {
  for (std::size_t i = 0; i < n; i += 8) {
    std::uint64_t v = next(state);
    std::memcpy(out + i, &v, std::min<std::size_t>(8, n - i));
  }
}

void put_u32_be(unsigned char* out, std::uint32_t v) {
  out[0] = static_cast<unsigned char>(v >> 24);
  out[1] = static_cast<unsigned char>(v >> 16);
  out[2] = static_cast<unsigned char>(v >> 8);
  out[3] = static_cast<unsigned char>(v);
}

}  // namespace

std::vector<unsigned char> build_firmware_image(const ImageRecipe& recipe) {
  std::vector<unsigned char> image(std::max<std::uint32_t>(recipe.size, 128), 0);
  std::uint64_t state = recipe.seed;
  std::memcpy(image.data(), recipe.magic, std::min<std::size_t>(16, std::strlen(recipe.magic)));
  fill_random(image.data() + 48, 32, state);
  put_u32_be(image.data() + 80, 128);
  put_u32_be(image.data() + 84, 64);
  put_u32_be(image.data() + 88, recipe.size);
  std::memcpy(image.data() + 92, recipe.version,
              std::min<std::size_t>(35, std::strlen(recipe.version)));
  image[127] = 0x0F;
  fill_random(image.data() + 128, image.size() - 128, state);
  image.resize(recipe.size);  // an image shorter than its header stays short
  return image;
}
