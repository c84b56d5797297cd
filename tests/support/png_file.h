// Writes an RGB picture as a PNG file, for the pictures of the screen that the display tests take
// for the documentation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// `rgb` holds width x height pixels, row by row, each 0xRRGGBB. False when the file cannot be written.
bool WritePng(const std::string &path, int width, int height, const std::vector<unsigned long> &rgb);

}  // namespace testing_support
