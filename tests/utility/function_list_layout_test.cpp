// The main dialog's function-list layout for every ButShow worth telling apart, in pixels and in
// the template's own dialog units.
#include "function_list_layout.h"

#include <gtest/gtest.h>

#include "resource.h"

namespace {

struct Expected {
  int id, left, top;
};

struct LayoutCase {
  const char *name;
  DWORD butShow;
  std::vector<Expected> buttons;
};

class FunctionListLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

// A client area of 538 x 240 pixels, a group box of 250 x 212 and buttons of 110 x 40.
TEST_P(FunctionListLayoutTest, PlacesTheListedButtonsAndQuit) {
  FunctionListLayout layout = LayOutFunctionList(538, 240, 250, 212, 110, 40, GetParam().butShow);
  EXPECT_EQ(layout.frameLeft, 269);
  EXPECT_EQ(layout.frameTop, 14);
  EXPECT_EQ(layout.frameWidth, 250);
  EXPECT_EQ(layout.frameHeight, 212);
  ASSERT_EQ(layout.buttons.size(), GetParam().buttons.size());
  for (size_t i = 0; i < layout.buttons.size(); ++i) {
    const ButtonPlacement &placed = layout.buttons[i];
    const Expected &expected = GetParam().buttons[i];
    EXPECT_EQ(placed.id, expected.id) << i;
    EXPECT_EQ(placed.left, expected.left) << "button " << placed.id;
    EXPECT_EQ(placed.top, expected.top) << "button " << placed.id;
    EXPECT_EQ(placed.width, 110);
    EXPECT_EQ(placed.height, 40);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ButShow, FunctionListLayoutTest,
    ::testing::Values(
        LayoutCase{"All",
                   31,
                   {{IDC_CALIBRATE_2PT, 283, 42},
                    {IDC_CALIBRATE_5PT, 401, 42},
                    {IDC_CALIBRATE_25PT, 283, 96},
                    {IDC_DRAW_TEST, 401, 96},
                    {IDC_TOUCH_SETTING, 283, 150},
                    {IDC_QUIT, 401, 150}}},
        LayoutCase{"TwoInOneColumn", 3, {{IDC_CALIBRATE_2PT, 339, 42}, {IDC_CALIBRATE_5PT, 339, 96}, {IDC_QUIT, 339, 150}}},
        LayoutCase{"OneLeavesRowOneEmpty", 1, {{IDC_CALIBRATE_2PT, 339, 42}, {IDC_QUIT, 339, 150}}},
        LayoutCase{"NoneOnlyQuit", 0, {{IDC_QUIT, 339, 150}}},
        LayoutCase{"HighBitsOnlyLikeNone", 0xFFFFFFE0u, {{IDC_QUIT, 339, 150}}},
        LayoutCase{"ThreeLeaveCellsEmpty",
                   7,
                   {{IDC_CALIBRATE_2PT, 283, 42},
                    {IDC_CALIBRATE_5PT, 401, 42},
                    {IDC_CALIBRATE_25PT, 283, 96},
                    {IDC_QUIT, 401, 150}}},
        LayoutCase{"Bits124",
                   22,
                   {{IDC_CALIBRATE_5PT, 283, 42},
                    {IDC_CALIBRATE_25PT, 401, 42},
                    {IDC_TOUCH_SETTING, 283, 96},
                    {IDC_QUIT, 401, 150}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FunctionListLayoutUnits, TemplateUnitsLandNearTheTemplatesOwnGrid) {
  FunctionListLayout layout = LayOutFunctionList(269, 120, 125, 106, 55, 20, 31);
  EXPECT_EQ(layout.frameLeft, 134);
  EXPECT_EQ(layout.frameTop, 7);
  std::vector<std::pair<int, int>> corners;
  for (const ButtonPlacement &placed : layout.buttons) corners.emplace_back(placed.left, placed.top);
  EXPECT_EQ(corners, (std::vector<std::pair<int, int>>{{141, 21}, {200, 21}, {141, 48}, {200, 48}, {141, 75}, {200, 75}}));
}

}  // namespace
