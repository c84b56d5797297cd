// Draws the utility's images into a folder for the resource compiler: the program icon (a touch
// panel with a pointer), the right-click hint icon (a pointer with its right button lit), each at
// 16x16 and 32x32 in 16 colours, and the 130x245 logo at 24 bits per pixel, as .ico and .bmp files.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Rgb {
  uint8_t r, g, b;
};

// The standard 16-colour palette, so the icons look the same on a 16-colour display.
constexpr Rgb kPalette[16] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},   {0, 0, 128},   {128, 0, 128},
    {0, 128, 128},   {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
constexpr int kBlack = 0, kNavy = 4, kSilver = 7, kGrey = 8, kRed = 9, kBlue = 12, kCyan = 14,
              kWhite = 15, kTransparent = -1;

// A drawing: the palette index (or kTransparent) of pixel (x, y), y downwards, in a size x size
// square; shapes are given in units of a 32-pixel square so one drawing serves both sizes.
using Drawing = std::function<int(double x, double y)>;

void Put16(std::vector<uint8_t> &out, unsigned value) {
  out.push_back(value & 0xFF);
  out.push_back((value >> 8) & 0xFF);
}

void Put32(std::vector<uint8_t> &out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

void PutInfoHeader(std::vector<uint8_t> &out, int width, int height, int bitCount, uint32_t imageSize,
                   int colours) {
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(width));
  Put32(out, static_cast<uint32_t>(height));
  Put16(out, 1);
  Put16(out, static_cast<unsigned>(bitCount));
  Put32(out, 0);  // BI_RGB
  Put32(out, imageSize);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(colours));
  Put32(out, 0);
}

// One icon image: header, palette, 4-bit colour rows and the 1-bit transparency mask, bottom-up.
std::vector<uint8_t> IconImage(const Drawing &draw, int size) {
  const int colourStride = ((size * 4 + 31) / 32) * 4;
  const int maskStride = ((size + 31) / 32) * 4;
  std::vector<uint8_t> colour(static_cast<size_t>(colourStride * size), 0);
  std::vector<uint8_t> mask(static_cast<size_t>(maskStride * size), 0);
  const double scale = 32.0 / size;
  for (int row = 0; row < size; ++row) {
    const int y = size - 1 - row;
    for (int x = 0; x < size; ++x) {
      int index = draw((x + 0.5) * scale, (y + 0.5) * scale);
      if (index == kTransparent) {
        mask[static_cast<size_t>(row * maskStride + x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        index = kBlack;
      }
      uint8_t &cell = colour[static_cast<size_t>(row * colourStride + x / 2)];
      cell |= static_cast<uint8_t>(x % 2 == 0 ? index << 4 : index);
    }
  }
  std::vector<uint8_t> image;
  PutInfoHeader(image, size, size * 2, 4, static_cast<uint32_t>(colour.size() + mask.size()), 16);
  for (const Rgb &c : kPalette) {
    image.insert(image.end(), {c.b, c.g, c.r, 0});
  }
  image.insert(image.end(), colour.begin(), colour.end());
  image.insert(image.end(), mask.begin(), mask.end());
  return image;
}

std::vector<uint8_t> IconFile(const Drawing &draw) {
  const std::vector<uint8_t> images[] = {IconImage(draw, 16), IconImage(draw, 32)};
  std::vector<uint8_t> file;
  Put16(file, 0);
  Put16(file, 1);  // icon
  Put16(file, 2);
  uint32_t offset = 6 + 2 * 16;
  for (int i = 0; i < 2; ++i) {
    const int size = i == 0 ? 16 : 32;
    file.insert(file.end(), {static_cast<uint8_t>(size), static_cast<uint8_t>(size), 16, 0});
    Put16(file, 1);
    Put16(file, 4);
    Put32(file, static_cast<uint32_t>(images[i].size()));
    Put32(file, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const auto &image : images) file.insert(file.end(), image.begin(), image.end());
  return file;
}

bool Inside(double x, double y, double left, double top, double right, double bottom) {
  return x >= left && x < right && y >= top && y < bottom;
}

// An arrow pointer with its tip at (tipX, tipY), pointing up and to the left, `length` long.
bool InPointer(double x, double y, double tipX, double tipY, double length) {
  const double dx = x - tipX, dy = y - tipY;
  if (dx < 0 || dy < 0) return false;
  const bool head = dy < length * 0.7 && dx <= dy * 0.6;
  const double along = (dx + dy) / std::sqrt(2.0), across = (dy - dx) / std::sqrt(2.0);
  const bool tail = along > length * 0.35 && along < length * 0.85 && std::fabs(across - length * 0.12) < length * 0.09;
  return head || tail;
}

// The program icon: a grey panel frame around a cyan screen with a crosshair and a pointer.
int TouchPanelIcon(double x, double y) {
  if (InPointer(x, y, 15, 14, 17)) {
    return InPointer(x, y, 16.5, 16.5, 12) ? kWhite : kBlack;
  }
  // Lines are two units wide so that they survive at 16 pixels.
  if (!Inside(x, y, 0, 2, 32, 30)) return kTransparent;
  if (!Inside(x, y, 2, 4, 30, 28)) return kBlack;
  if (!Inside(x, y, 4, 6, 28, 26)) return kSilver;
  if (!Inside(x, y, 6, 8, 26, 24)) return kGrey;
  if ((std::fabs(x - 13) < 1.5 && Inside(x, y, 9, 11, 17, 19)) || (std::fabs(y - 15) < 1.5 && Inside(x, y, 9, 11, 17, 19))) {
    return kRed;
  }
  return kCyan;
}

// The right-click hint: a mouse body whose right button is lit.
int RightClickIcon(double x, double y) {
  const double cx = 16, cy = 17, rx = 10, ry = 13;
  const double e = ((x - cx) * (x - cx)) / (rx * rx) + ((y - cy) * (y - cy)) / (ry * ry);
  if (e > 1.0) return kTransparent;
  if (e > 0.8) return kBlack;
  if (y < cy - 1 && std::fabs(x - cx) < 0.8) return kBlack;
  if (std::fabs(y - (cy - 1)) < 0.8) return kBlack;
  if (y < cy - 1) return x > cx ? kRed : kWhite;
  return kSilver;
}

// The logo: a touch panel in navy and blue, a calibration target on its screen, and the same
// pointer as the program icon, on white. Its 130 x 245 pixels are drawn for the place the main
// dialog gives it, an 88 x 62 static it is stretched to fill: each pixel is drawn at the point of
// that static it lands on, so the picture looks right when stretched, not in its own proportions.
std::vector<uint8_t> LogoFile() {
  const int width = 130, height = 245;
  const double placeWidth = 88, placeHeight = 62;
  const int stride = ((width * 24 + 31) / 32) * 4;
  std::vector<uint8_t> pixels(static_cast<size_t>(stride * height), 0);
  for (int row = 0; row < height; ++row) {
    const int y = height - 1 - row;
    for (int x = 0; x < width; ++x) {
      Rgb c = kPalette[kWhite];
      const double px = (x + 0.5) * placeWidth / width, py = (y + 0.5) * placeHeight / height;
      if (Inside(px, py, 3, 3, 85, 59)) c = kPalette[kNavy];
      if (Inside(px, py, 7, 7, 81, 50)) {
        // A soft vertical shade on the screen.
        const auto level = static_cast<uint8_t>(150 + 80 * (py - 7) / 43);
        c = {static_cast<uint8_t>(level / 3), static_cast<uint8_t>(level * 2 / 3), level};
      }
      const double r = std::hypot(px - 44, py - 28);
      if ((std::fabs(r - 14) < 0.9 || std::fabs(r - 7) < 0.9) ||
          ((std::fabs(px - 44) < 0.8 || std::fabs(py - 28) < 0.8) && r < 19)) {
        c = kPalette[kWhite];
      }
      if (r < 2.2) c = kPalette[kRed];
      if (InPointer(px, py, 46, 30, 18)) {
        c = InPointer(px, py, 47.5, 32.5, 13) ? kPalette[kWhite] : kPalette[kBlack];
      }
      if (Inside(px, py, 38, 52, 50, 56)) c = kPalette[kBlue];
      uint8_t *out = &pixels[static_cast<size_t>(row * stride + x * 3)];
      out[0] = c.b;
      out[1] = c.g;
      out[2] = c.r;
    }
  }
  std::vector<uint8_t> file;
  file.push_back('B');
  file.push_back('M');
  Put32(file, static_cast<uint32_t>(14 + 40 + pixels.size()));
  Put32(file, 0);
  Put32(file, 14 + 40);
  PutInfoHeader(file, width, height, 24, static_cast<uint32_t>(pixels.size()), 0);
  file.insert(file.end(), pixels.begin(), pixels.end());
  return file;
}

bool Write(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "draw_resources: cannot write %s; check that the folder exists and is writable\n",
                 path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_resources <output folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  const bool written = Write(folder + "/calvex.ico", IconFile(TouchPanelIcon)) &&
                       Write(folder + "/right_click.ico", IconFile(RightClickIcon)) &&
                       Write(folder + "/logo.bmp", LogoFile());
  return written ? 0 : 1;
}
