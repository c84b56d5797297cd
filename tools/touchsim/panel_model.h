// The panel model: how the simulated panel turns a screen point (0..65535 on each axis, origin at
// the top left) into the controller's 14-bit units. The ideal panel gives x / 4 and
// (65535 - y) / 4, since the controller's vertical axis runs upwards; a model can move and scale
// each axis, exchange them, invert them, and add noise, like an uncalibrated panel, and give a
// wild reading now and then, like a resistive panel whose contact bounces.
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
  int spike = 0;          // every spike-th reading of a touch is a wild one; 0: none
  int bounce = 0;         // how far a wild reading lands on each axis; 0: 4096 to 12287 units

  // Parses "left=16000,right=200,bottom=300,top=16100,swap,noise=8,spike=20,bounce=600" (any subset). On
  // failure returns false with the reason.
  static bool Parse(const std::string &text, PanelModel *model, std::string *error);

  // The controller's reading of a screen point, each coordinate limited to 0..16383.
  void Map(int64_t screenX, int64_t screenY, std::mt19937 &random, uint16_t *controllerX, uint16_t *controllerY) const;

  // Map for the reading-th reading of a touch (1 for its first). Every spike-th one is wild: each
  // coordinate lands 4096 to 12287 units away, wrapped into 0..16383, so at least 4096 units
  // from where the finger is; with a bounce, that many units away either way, as a contact that
  // bounces by a few hundred units does (toward the panel's inside where an edge is nearer).
  void Read(int64_t screenX, int64_t screenY, uint64_t reading, std::mt19937 &random, uint16_t *controllerX,
            uint16_t *controllerY) const;
};

}  // namespace touchsim
