// Build tool: writes one firmware image.
// make_image OUT MAGIC VERSION SIZE SEED
#include <cstdio>
#include <cstdlib>

#include "resources/image_builder.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s OUT MAGIC VERSION SIZE SEED\n", argv[0]);
    return 2;
  }
  ImageRecipe recipe{argv[2], argv[3],
                     static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10)),
                     std::strtoull(argv[5], nullptr, 0)};
  std::vector<unsigned char> image = build_firmware_image(recipe);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out || std::fwrite(image.data(), 1, image.size(), out) != image.size() ||
      std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
