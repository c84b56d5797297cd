// Image statics' pictures: device-independent bitmaps of every depth decoded to the right pixels
// in the right order, icon masks made transparent, damaged data refused without reading past it,
// and the utility's compiled bitmap and icons found and decoded at the sizes they hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../../utility/resource.h"
#include "resource_file.h"
#include "resource_image.h"

namespace {

using platform::gwes::DecodeDib;
using platform::gwes::RgbaImage;

void Put16(std::vector<uint8_t> &out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(std::vector<uint8_t> &out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

// A BITMAPINFOHEADER followed by `palette` (0x00RRGGBB per entry, stored B G R 0) and `rows` as stored.
std::vector<uint8_t> Dib(int32_t width, int32_t height, uint32_t bitCount, const std::vector<uint32_t> &palette,
                         const std::vector<uint8_t> &rows, uint32_t compression = 0) {
  std::vector<uint8_t> out;
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(width));
  Put32(out, static_cast<uint32_t>(height));
  Put16(out, 1);
  Put16(out, bitCount);
  Put32(out, compression);
  Put32(out, static_cast<uint32_t>(rows.size()));
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(palette.size()));
  Put32(out, 0);
  for (uint32_t colour : palette) Put32(out, colour);
  out.insert(out.end(), rows.begin(), rows.end());
  return out;
}

uint32_t Pixel(const RgbaImage &image, int x, int y) {
  const uint8_t *p = &image.pixels[static_cast<size_t>((y * image.width + x) * 4)];
  return static_cast<uint32_t>(p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

constexpr uint32_t kRed = 0xFF0000FF, kGreen = 0x00FF00FF, kBlue = 0x0000FFFF, kBlack = 0x000000FF;

TEST(DibDecoding, EveryDepthGivesThePixelsTopRowFirst) {
  // Two rows of three pixels: red green blue over blue red green, stored bottom-up and padded
  // to whole words.
  const std::vector<uint32_t> palette = {0x00FF0000, 0x0000FF00, 0x000000FF};  // red, green, blue
  struct Case {
    const char *name;
    int32_t height;
    uint32_t bitCount;
    std::vector<uint32_t> palette;
    std::vector<uint8_t> rows;
  };
  const Case cases[] = {
      {"4 bits", 2, 4, palette, {0x20, 0x10, 0, 0, /*top*/ 0x01, 0x20, 0, 0}},
      {"8 bits", 2, 8, palette, {2, 0, 1, 0, /*top*/ 0, 1, 2, 0}},
      {"24 bits", 2, 24, {}, {255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0, 0, /*top*/ 0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0}},
      {"32 bits", 2, 32, {}, {255, 0, 0, 9, 0, 0, 255, 9, 0, 255, 0, 9, /*top*/ 0, 0, 255, 9, 0, 255, 0, 9, 255, 0, 0, 9}},
      {"8 bits top-down", -2, 8, palette, {0, 1, 2, 0, /*bottom*/ 2, 0, 1, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> dib = Dib(3, c.height, c.bitCount, c.palette, c.rows);
    auto image = DecodeDib(dib.data(), dib.size(), false);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width, 3);
    ASSERT_EQ(image->height, 2);
    EXPECT_EQ(Pixel(*image, 0, 0), kRed);
    EXPECT_EQ(Pixel(*image, 1, 0), kGreen);
    EXPECT_EQ(Pixel(*image, 2, 0), kBlue);
    EXPECT_EQ(Pixel(*image, 0, 1), kBlue);
    EXPECT_EQ(Pixel(*image, 1, 1), kRed);
    EXPECT_EQ(Pixel(*image, 2, 1), kGreen);
  }
}

TEST(DibDecoding, IconMaskBitsMakeTransparentPixelsAndShortPalettesShowBlack) {
  // A 1-bit icon image of 9 x 2 (stored height 4): colour rows, then mask rows; pixel 8 of the
  // top row uses palette index 1, which a one-entry palette lacks.
  std::vector<uint8_t> rows = {0x00, 0x00, 0, 0, /*top*/ 0x00, 0x80, 0, 0,
                               /*mask*/ 0x80, 0x00, 0, 0, /*top*/ 0x01, 0x00, 0, 0};
  std::vector<uint8_t> dib = Dib(9, 4, 1, {0x00FF0000}, rows);
  auto image = DecodeDib(dib.data(), dib.size(), true);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->height, 2);
  EXPECT_EQ(Pixel(*image, 0, 0), kRed);
  EXPECT_EQ(Pixel(*image, 7, 0), kRed & 0xFFFFFF00) << "a set mask bit makes the pixel transparent";
  EXPECT_EQ(Pixel(*image, 8, 0), kBlack) << "index beyond the palette";
  EXPECT_EQ(Pixel(*image, 0, 1), kRed & 0xFFFFFF00);
  EXPECT_EQ(Pixel(*image, 1, 1), kRed);
}

TEST(DibDecoding, DamagedOrUnsupportedDataIsRefused) {
  const std::vector<uint8_t> good = Dib(3, 2, 24, {}, std::vector<uint8_t>(24, 7));
  ASSERT_TRUE(DecodeDib(good.data(), good.size(), false));
  // Every truncation, each in a buffer of exactly its own size so that a read past it is caught.
  for (size_t size = 0; size < good.size(); ++size) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(DecodeDib(cut.data(), cut.size(), false)) << size << " bytes";
  }
  struct Case {
    const char *name;
    std::vector<uint8_t> dib;
    bool icon;
  };
  const Case cases[] = {
      {"compressed", Dib(3, 2, 8, {0}, std::vector<uint8_t>(8, 0), 1), false},
      {"16 bits", Dib(3, 2, 16, {}, std::vector<uint8_t>(16, 0)), false},
      {"zero width", Dib(0, 2, 24, {}, {}), false},
      {"width beyond any dialog", Dib(1 << 30, 1, 24, {}, {}), false},
      {"negative width", Dib(-3, 2, 24, {}, std::vector<uint8_t>(24, 0)), false},
      {"icon of odd stored height", Dib(3, 3, 24, {}, std::vector<uint8_t>(36, 0)), true},
      {"icon without its mask", Dib(3, 4, 24, {}, std::vector<uint8_t>(24, 0)), true},
  };
  for (const Case &c : cases) EXPECT_FALSE(DecodeDib(c.dib.data(), c.dib.size(), c.icon)) << c.name;
  EXPECT_FALSE(DecodeDib(nullptr, 0, false));
}

TEST(ResourceImages, TheUtilitysLogoAndIconsDecodeAtTheirSizes) {
  std::string error;
  HMODULE module = platform::LoadResourceFile(NORVIK_BIN_DIR "/calvex.res", &error);
  ASSERT_NE(module, nullptr) << error;
  auto logo = platform::gwes::LoadBitmapResource(module, IDB_LOGO);
  ASSERT_TRUE(logo);
  EXPECT_EQ(logo->width, 130);
  EXPECT_EQ(logo->height, 245);
  for (int wanted : {10, 16, 20, 32, 100}) {
    auto icon = platform::gwes::LoadIconResource(module, IDR_MAINFRAME, wanted);
    ASSERT_TRUE(icon) << wanted;
    EXPECT_EQ(icon->width, wanted <= 24 ? 16 : 32) << wanted;
  }
  EXPECT_FALSE(platform::gwes::LoadBitmapResource(module, IDR_MAINFRAME)) << "an icon is not a bitmap";
  EXPECT_FALSE(platform::gwes::LoadIconResource(module, IDB_LOGO, 32)) << "a bitmap is not an icon";
}

}  // namespace
