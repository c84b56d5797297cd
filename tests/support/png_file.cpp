// PNG files: the signature, an IHDR chunk (8-bit RGB), the pixels deflated in one IDAT chunk, each
// row led by filter byte 0, and IEND; each chunk's CRC is zlib's crc32 over its type and data.
#include "png_file.h"

#include <zlib.h>

#include <fstream>

namespace testing_support {
namespace {

void Put32(std::vector<unsigned char> &out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void Chunk(std::vector<unsigned char> &out, const char type[4], const std::vector<unsigned char> &data) {
  Put32(out, static_cast<uint32_t>(data.size()));
  std::vector<unsigned char> typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out.insert(out.end(), typed.begin(), typed.end());
  Put32(out, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

}  // namespace

bool WritePng(const std::string &path, int width, int height, const std::vector<unsigned long> &rgb) {
  if (width <= 0 || height <= 0 || rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) return false;
  std::vector<unsigned char> raw;
  raw.reserve(static_cast<size_t>(height) * (static_cast<size_t>(width) * 3 + 1));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    for (int x = 0; x < width; ++x) {
      unsigned long pixel = rgb[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
      raw.push_back(static_cast<unsigned char>(pixel >> 16));
      raw.push_back(static_cast<unsigned char>(pixel >> 8));
      raw.push_back(static_cast<unsigned char>(pixel));
    }
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<unsigned char> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) return false;
  packed.resize(packedSize);

  std::vector<unsigned char> file{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<unsigned char> header;
  Put32(header, static_cast<uint32_t>(width));
  Put32(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, adaptive filtering, no interlace
  Chunk(file, "IHDR", header);
  Chunk(file, "IDAT", packed);
  Chunk(file, "IEND", {});
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(file.size()));
  return static_cast<bool>(out);
}

}  // namespace testing_support
