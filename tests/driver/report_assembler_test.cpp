// Framing and decoding of the controller's reports: what is handed over, what is dropped, and
// the positions that come out.
#include "report_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_state.h"
#include "touch_report.h"

namespace {

// Feeds the bytes in chunks of the given sizes (the rest in one) and returns the reports handed over.
std::vector<std::string> Frame(const std::vector<int> &bytes, const std::vector<size_t> &chunks = {}) {
  ReportAssembler assembler;
  std::vector<std::string> reports;
  size_t i = 0;
  auto feed = [&](size_t count) {
    for (size_t end = std::min(bytes.size(), i + count); i < end; ++i)
      if (assembler.Frame(static_cast<BYTE>(bytes[i]))) reports.emplace_back(assembler.packet, assembler.packet + 5);
  };
  for (size_t chunk : chunks) feed(chunk);
  feed(bytes.size());
  return reports;
}

std::string Packet(std::vector<int> bytes) { return std::string(bytes.begin(), bytes.end()); }

struct FramingCase {
  const char *name;
  std::vector<int> bytes;
  std::vector<std::vector<int>> expected;
};

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, HandsOverExactlyTheWellFormedReports) {
  std::vector<std::string> expected;
  for (const auto &packet : GetParam().expected) expected.push_back(Packet(packet));
  EXPECT_EQ(Frame(GetParam().bytes), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Framing,
    ::testing::Values(
        FramingCase{"OneReport", {0x90, 1, 2, 3, 4}, {{0x90, 1, 2, 3, 4}}},
        FramingCase{"LeadingBytesWithoutBit7AreSkipped", {0x00, 0x7F, 0x10, 0x80, 5, 6, 7, 8}, {{0x80, 5, 6, 7, 8}}},
        FramingCase{"SecondHeaderBreaksTheReportAndIsDroppedWithIt",
                    {0x90, 0x10, 0x90, 0x20, 0x30, 0x40, 0x50},
                    {}},
        FramingCase{"Byte4WithBit7IsDroppedAndStartsNothing",
                    {0x90, 1, 2, 3, 0x90, 1, 2, 3, 4, 0x80, 9, 9, 9, 9},
                    {{0x80, 9, 9, 9, 9}}},
        FramingCase{"BackToBackReports", {0x90, 1, 2, 3, 4, 0x80, 5, 6, 7, 8}, {{0x90, 1, 2, 3, 4}, {0x80, 5, 6, 7, 8}}},
        FramingCase{"TruncatedTailIsKeptBack", {0x90, 1, 2, 3, 4, 0x90, 1, 2}, {{0x90, 1, 2, 3, 4}}},
        FramingCase{"BreakAtEachPositionResynchronisesAtTheNextHeader",
                    {0x90, 0xFF, 0x91, 1, 0xFF, 0x92, 1, 2, 0xFF, 0x93, 1, 2, 3, 0xFF, 0x94, 1, 2, 3, 4},
                    {{0x94, 1, 2, 3, 4}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Framing, ReportSplitOverReadsIsHandedOverOnce) {
  const std::vector<int> bytes = {0x90, 0x11, 0x22, 0x33, 0x44};
  for (std::vector<size_t> chunks : {std::vector<size_t>{2}, {1, 1, 1, 1}, {4}, {3}, {0, 5}})
    EXPECT_EQ(Frame(bytes, chunks), std::vector<std::string>{Packet(bytes)});
}

class Decoding : public ::testing::Test {
 protected:
  void SetUp() override { driverState.settings.Assign(DriverSettings{}); }
  void TearDown() override { driverState.settings.Assign(DriverSettings{}); }
};

TEST_F(Decoding, OnlyBits7And4OfTheHeaderMatter) {
  const BYTE touching[][5] = {{0x90, 0, 0, 0, 0}, {0xFF, 0, 0, 0, 0}};
  const BYTE lifted[][5] = {{0x80, 0, 0, 0, 0}, {0xEF, 0, 0, 0, 0}};
  for (const auto &packet : touching) EXPECT_TRUE(DecodeReport(packet).touching) << int(packet[0]);
  for (const auto &packet : lifted) EXPECT_FALSE(DecodeReport(packet).touching) << int(packet[0]);
}

TEST_F(Decoding, PositionsAreScaledTo16BitsAndYIsInverted) {
  const BYTE highest[5] = {0x90, 0x7F, 0x7F, 0x7F, 0x7F};
  const BYTE lowest[5] = {0x90, 0x00, 0x00, 0x00, 0x00};
  const BYTE mixed[5] = {0x90, 0x01, 0x02, 0x40, 0x00};
  TouchReport report = DecodeReport(highest);
  EXPECT_EQ(report.x, 65532u);
  EXPECT_EQ(report.y, 3u);
  report = DecodeReport(lowest);
  EXPECT_EQ(report.x, 0u);
  EXPECT_EQ(report.y, 65535u);
  report = DecodeReport(mixed);
  EXPECT_EQ(report.x, static_cast<DWORD>(((1 << 7) + 2) << 2));
  EXPECT_EQ(report.y, static_cast<DWORD>(65535 - ((0x40 << 7) << 2)));
}

TEST_F(Decoding, CalibrationComesBeforeTheInversion) {
  DriverSettings settings{};
  settings.LLX = settings.LLY = 256;
  settings.URX = settings.URY = 1792;
  driverState.settings.Assign(settings);
  // Raw 8192 on both axes is the first corner: 8192, then y inverted.
  const BYTE corner[5] = {0x90, 0x10, 0x00, 0x10, 0x00};
  TouchReport report = DecodeReport(corner);
  EXPECT_EQ(report.x, 8192u);
  EXPECT_EQ(report.y, 65535u - 8192u);
}

}  // namespace
