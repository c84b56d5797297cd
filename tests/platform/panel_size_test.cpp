// The panel's size: as the registry gives it, as an EDID gives it, and which DRM connector is the
// monitor X names.
#include <gtest/gtest.h>

#include <string>

#include "panel_size.h"
#include "test_root.h"

namespace {

using platform::gwes::ConnectorIsOutput;
using platform::gwes::ParsePanelSize;
using platform::gwes::SizeFromEdid;

TEST(PanelSize, TheSizeValueIsWidthByHeightInWholeMillimetres) {
  const struct {
    const char *text;
    bool ok;
    int width, height;
  } cases[] = {
      {"344x194", true, 344, 194}, {"1x5000", true, 1, 5000}, {"0x194", false, 0, 0}, {"344x5001", false, 0, 0},
      {"344X194", false, 0, 0},    {"344x", false, 0, 0},     {"x194", false, 0, 0},  {"34.4x19", false, 0, 0},
      {"344x194 ", false, 0, 0},   {"-1x2", false, 0, 0},
  };
  for (const auto &c : cases) {
    int width = 0, height = 0;
    EXPECT_EQ(ParsePanelSize(c.text, &width, &height), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::pair(width, height), std::pair(c.width, c.height)) << c.text;
    }
  }
}

// A 128-byte EDID block: its basic image size in cm, and a first detailed timing with the size in
// mm (12 bits each, their high nibbles shared in byte 68), or none.
std::string Edid(int widthCm, int heightCm, int timingWidthMm, int timingHeightMm) {
  std::string edid(128, '\0');
  const unsigned char header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  for (int i = 0; i < 8; ++i) edid[i] = static_cast<char>(header[i]);
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

TEST(PanelSize, AnEdidGivesItsFirstTimingsSizeElseItsBasicOne) {
  const struct {
    const char *what;
    std::string edid;
    bool ok;
    int width, height;
  } cases[] = {
      {"a timing's size", Edid(34, 19, 344, 194), true, 344, 194},
      {"a timing over 255 mm", Edid(60, 34, 598, 336), true, 598, 336},
      {"the basic size alone", Edid(34, 19, 0, 0), true, 340, 190},
      {"neither (a projector)", Edid(0, 0, 0, 0), false, 0, 0},
      {"too short", Edid(34, 19, 344, 194).substr(0, 127), false, 0, 0},
      {"no EDID header", std::string(128, '\x01'), false, 0, 0},
  };
  for (const auto &c : cases) {
    int width = 0, height = 0;
    EXPECT_EQ(SizeFromEdid(c.edid, &width, &height), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(std::pair(width, height), std::pair(c.width, c.height)) << c.what;
    }
  }
}

TEST(PanelSize, ADrmConnectorIsTheMonitorXNamesAfterIt) {
  EXPECT_TRUE(ConnectorIsOutput("HDMI-A-1", "HDMI-1"));
  EXPECT_TRUE(ConnectorIsOutput("HDMI-A-1", "HDMI-A-1"));
  EXPECT_TRUE(ConnectorIsOutput("eDP-1", "eDP-1"));
  EXPECT_TRUE(ConnectorIsOutput("Virtual-1", "Virtual-1"));
  EXPECT_FALSE(ConnectorIsOutput("HDMI-A-1", "HDMI-2"));
  EXPECT_FALSE(ConnectorIsOutput("DP-1", "DP-10"));
  EXPECT_FALSE(ConnectorIsOutput("HDMI-A-1", "HDMI-"));
}

// The registry's value first; a value that is not a size is said, not guessed around.
TEST(PanelSize, TheRegistrysSizeComesFirstAndAWrongOneIsSaid) {
  testing_support::TempDeviceRoot root;
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Size\"=\"344x194\"\n\"Output\"=\"HDMI-1\"\n");
  platform::gwes::PanelSize size = platform::gwes::FindPanelSize();
  EXPECT_EQ(std::pair(size.width, size.height), std::pair(344, 194));
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Size\"=\"a foot\"\n");
  size = platform::gwes::FindPanelSize();
  EXPECT_EQ(size.width, 0);
  EXPECT_NE(size.source.find("is not WIDTHxHEIGHT"), std::string::npos) << size.source;
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Display]\n\"Output\"=\"NO-SUCH-1\"\n");
  size = platform::gwes::FindPanelSize();
  EXPECT_EQ(size.width, 0);
  EXPECT_NE(size.source.find("the size of the monitor \"NO-SUCH-1\" cannot be read"), std::string::npos) << size.source;
}

}  // namespace
