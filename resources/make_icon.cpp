// Build-time tool: draws the program's icon (resource 106) and writes it as
// an .ico file with 32 x 32 and 16 x 16 images, 32-bit colour with an AND
// mask, or as a PNG of one size for the Linux desktop's icon theme. The
// artwork is drawn here from shapes, so nothing binary is kept in the
// repository.   qel-make-icon OUTPUT.ico | qel-make-icon --png SIZE OUTPUT.png
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Rgba {
  double r, g, b, a;
};

// The picture in a unit square (0..1, y downwards): a blue rounded tile with
// a white arrow rising from a bar, "firmware going up to the device".
Rgba sample(double x, double y) {
  const Rgba clear{0, 0, 0, 0};
  const Rgba tile{0x1f, 0x5f, 0xa8, 1};
  const Rgba white{0xff, 0xff, 0xff, 1};
  // Rounded tile with a 0.18 corner radius inside a 0.03 margin.
  double m = 0.03, r = 0.18;
  double cx = std::fmin(std::fmax(x, m + r), 1 - m - r);
  double cy = std::fmin(std::fmax(y, m + r), 1 - m - r);
  if (std::hypot(x - cx, y - cy) > r) return clear;
  // Bar near the bottom.
  if (y > 0.74 && y < 0.84 && x > 0.22 && x < 0.78) return white;
  // Arrow shaft.
  if (x > 0.42 && x < 0.58 && y > 0.40 && y < 0.68) return white;
  // Arrow head: a triangle with its tip at (0.5, 0.14).
  if (y >= 0.14 && y <= 0.42 && std::fabs(x - 0.5) <= (y - 0.14) * (0.28 / 0.28)) return white;
  return tile;
}

// Colour of one pixel, averaged over 4 x 4 sub-samples.
Rgba pixel(int px, int py, int size) {
  Rgba sum{0, 0, 0, 0};
  const int n = 4;
  for (int sy = 0; sy < n; ++sy)
    for (int sx = 0; sx < n; ++sx) {
      Rgba s = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size);
      sum.r += s.r * s.a;
      sum.g += s.g * s.a;
      sum.b += s.b * s.a;
      sum.a += s.a;
    }
  if (sum.a == 0) return {0, 0, 0, 0};
  return {sum.r / sum.a, sum.g / sum.a, sum.b / sum.a, sum.a / (n * n)};
}

void put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}

// BITMAPINFOHEADER, the colour rows bottom-up (BGRA), then the mask rows.
std::vector<std::uint8_t> image(int size) {
  std::vector<std::uint8_t> out;
  const int mask_stride = ((size + 31) / 32) * 4;
  put32(out, 40);
  put32(out, static_cast<std::uint32_t>(size));
  put32(out, static_cast<std::uint32_t>(size * 2));  // colour and mask
  put16(out, 1);
  put16(out, 32);
  put32(out, 0);
  put32(out, static_cast<std::uint32_t>(size * size * 4 + mask_stride * size));
  for (int i = 0; i < 4; ++i) put32(out, 0);
  std::vector<std::uint8_t> mask;
  for (int row = size - 1; row >= 0; --row) {
    std::vector<std::uint8_t> mask_row(static_cast<std::size_t>(mask_stride), 0);
    for (int col = 0; col < size; ++col) {
      Rgba p = pixel(col, row, size);
      auto a = static_cast<std::uint8_t>(std::lround(p.a * 255));
      out.push_back(static_cast<std::uint8_t>(std::lround(p.b)));
      out.push_back(static_cast<std::uint8_t>(std::lround(p.g)));
      out.push_back(static_cast<std::uint8_t>(std::lround(p.r)));
      out.push_back(a);
      if (a < 128)
        mask_row[static_cast<std::size_t>(col / 8)] |= static_cast<std::uint8_t>(0x80 >> (col % 8));
    }
    mask.insert(mask.end(), mask_row.begin(), mask_row.end());
  }
  out.insert(out.end(), mask.begin(), mask.end());
  return out;
}

// ---- PNG: RGBA rows, filter 0, in stored (uncompressed) deflate blocks;
// the package that carries the file compresses it anyway.

std::uint32_t crc32(const std::uint8_t* data, std::size_t length, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put32_be(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void chunk(std::vector<std::uint8_t>& out, const char* type,
           const std::vector<std::uint8_t>& data) {
  put32_be(out, static_cast<std::uint32_t>(data.size()));
  std::vector<std::uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  put32_be(out, crc32(body.data(), body.size()));
}

std::vector<std::uint8_t> png(int size) {
  std::vector<std::uint8_t> raw;
  for (int row = 0; row < size; ++row) {
    raw.push_back(0);  // no filter
    for (int col = 0; col < size; ++col) {
      Rgba p = pixel(col, row, size);
      for (double v : {p.r, p.g, p.b, p.a * 255})
        raw.push_back(static_cast<std::uint8_t>(std::lround(v)));
    }
  }
  std::vector<std::uint8_t> z = {0x78, 0x01};
  std::uint32_t a = 1, b = 0;  // Adler-32
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    z.push_back(at + n >= raw.size() ? 1 : 0);  // last block?
    put16(z, static_cast<unsigned>(n));
    put16(z, static_cast<unsigned>(~n & 0xffff));
    z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
             raw.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  put32_be(z, b << 16 | a);

  std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<std::uint8_t> header;
  put32_be(header, static_cast<std::uint32_t>(size));
  put32_be(header, static_cast<std::uint32_t>(size));
  for (std::uint8_t v : {8, 6, 0, 0, 0}) header.push_back(v);  // 8-bit RGBA
  chunk(out, "IHDR", header);
  chunk(out, "IDAT", z);
  chunk(out, "IEND", {});
  return out;
}

bool write_file(const char* path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::fprintf(stderr, "qel-make-icon: cannot write %s\n", path);
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--png") {
    int size = std::atoi(argv[2]);
    if (size < 1 || size > 1024) {
      std::fprintf(stderr, "qel-make-icon: size %s is not 1 to 1024\n", argv[2]);
      return 2;
    }
    return write_file(argv[3], png(size)) ? 0 : 1;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: qel-make-icon OUTPUT.ico | qel-make-icon --png SIZE OUTPUT.png\n");
    return 2;
  }
  const int sizes[] = {32, 16};
  std::vector<std::vector<std::uint8_t>> images;
  for (int s : sizes) images.push_back(image(s));

  std::vector<std::uint8_t> file;
  put16(file, 0);
  put16(file, 1);  // icon
  put16(file, static_cast<unsigned>(images.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    file.push_back(static_cast<std::uint8_t>(sizes[i]));
    file.push_back(static_cast<std::uint8_t>(sizes[i]));
    file.push_back(0);  // no palette
    file.push_back(0);
    put16(file, 1);
    put16(file, 32);
    put32(file, static_cast<std::uint32_t>(images[i].size()));
    put32(file, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& img : images) file.insert(file.end(), img.begin(), img.end());

  return write_file(argv[1], file) ? 0 : 1;
}
