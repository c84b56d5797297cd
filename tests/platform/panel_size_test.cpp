// The panel's size: as the registry gives it, as an EDID gives it, and which DRM connector is the
// monitor X names.
#include <gtest/gtest.h>

#include <string>

#include "panel_size.h"
#include "test_root.h"

namespace {

// A 128-byte EDID block: its basic image size in cm, and a first detailed timing with the size in
// mm (12 bits each, their high nibbles shared in byte 68), or none.
std::string Edid(int widthCm, int heightCm, int timingWidthMm, int timingHeightMm) {
  std::string edid(128, '\0');
  for (int i = 1; i < 7; ++i) edid[i] = '\xFF';  // the header 00 FF FF FF FF FF FF 00
  edid[21] = static_cast<char>(widthCm);
  edid[22] = static_cast<char>(heightCm);
  if (timingWidthMm > 0) {
    edid[54] = 0x01;  // a pixel clock: a timing, not a display descriptor
    edid[66] = static_cast<char>(timingWidthMm & 0xFF);
    edid[67] = static_cast<char>(timingHeightMm & 0xFF);
    edid[68] = static_cast<char>(((timingWidthMm >> 8) << 4) | (timingHeightMm >> 8));
  }
  return edid;
}

// "WIDTHxHEIGHT" in whole millimetres, and an EDID's first timing's size, else its basic one.
TEST(PanelSize, TheSizeValueAndAnEdidGiveMillimetres) {
  const struct {
    bool edid;
    std::string text;
    int width, height;  // 0: refused
  } cases[] = {
      {false, "344x194", 344, 194}, {false, "1x5000", 1, 5000}, {false, "0x194", 0, 0}, {false, "344X194", 0, 0},
      {false, "34.4x19", 0, 0},     {false, "344x194 ", 0, 0},
      {true, Edid(60, 34, 598, 336), 598, 336},  // a timing over 255 mm
      {true, Edid(34, 19, 0, 0), 340, 190},      // the basic size alone
      {true, Edid(0, 0, 0, 0), 0, 0},            // neither: a projector
      {true, Edid(34, 19, 344, 194).substr(0, 127), 0, 0},
  };
  for (const auto &c : cases) {
    int width = 0, height = 0;
    const bool ok = c.edid ? platform::gwes::SizeFromEdid(c.text, &width, &height)
                           : platform::gwes::ParsePanelSize(c.text, &width, &height);
    EXPECT_EQ(ok, c.width != 0) << c.text;
    if (ok) {
      EXPECT_EQ(std::pair(width, height), std::pair(c.width, c.height)) << c.text;
    }
  }
  EXPECT_TRUE(platform::gwes::ConnectorIsOutput("HDMI-A-1", "HDMI-1"));
  EXPECT_TRUE(platform::gwes::ConnectorIsOutput("eDP-1", "eDP-1"));
  EXPECT_FALSE(platform::gwes::ConnectorIsOutput("DP-1", "DP-10"));
}

// The registry's value first; a value that is not a size is said, not guessed around.
TEST(PanelSize, TheRegistrysSizeComesFirstAndAWrongOneIsSaid) {
  testing_support::TempDeviceRoot root;
  const struct {
    const char *values;
    int width;
    const char *said;
  } cases[] = {
      {"\"Size\"=\"344x194\"\n\"Output\"=\"HDMI-1\"\n", 344, "\"Size\""},
      {"\"Size\"=\"a foot\"\n", 0, "is not WIDTHxHEIGHT"},
      {"\"Output\"=\"NO-SUCH-1\"\n", 0, "the size of the monitor \"NO-SUCH-1\" cannot be read"},
  };
  for (const auto &c : cases) {
    root.WriteHive(std::string("[HKEY_LOCAL_MACHINE\\Platform\\Display]\n") + c.values);
    const platform::gwes::PanelSize size = platform::gwes::FindPanelSize();
    EXPECT_EQ(size.width, c.width) << c.values;
    EXPECT_NE(size.source.find(c.said), std::string::npos) << size.source;
  }
}

}  // namespace
