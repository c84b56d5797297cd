// The panel model: how the simulated panel turns a screen point (0..65535 on each axis, origin at
// the top left) into the controller's 14-bit units. The ideal panel gives x / 4 and
// (65535 - y) / 4, since the controller's vertical axis runs upwards; a model can move and scale
// each axis, exchange them, invert them, and add noise, like an uncalibrated panel.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace touchsim {

struct PanelModel {
  // Controller units at the screen's left and right edge, and at its bottom and top edge.
  double xAtLeft = 0, xAtRight = 16383;
  double yAtBottom = 0, yAtTop = 16383;
  bool swapAxes = false;  // the controller's x follows the screen's y and the other way round
  int noise = 0;          // each reading moves by up to this many units either way

  // Parses "left=16000,right=200,bottom=300,top=16100,swap,noise=8" (any subset). On failure
  // returns false with the reason.
  static bool Parse(const std::string &text, PanelModel *model, std::string *error);

  // The controller's reading of a screen point, each coordinate limited to 0..16383.
  void Map(int64_t screenX, int64_t screenY, std::mt19937 &random, uint16_t *controllerX, uint16_t *controllerY) const;
};

}  // namespace touchsim
