// The panel model's parsing and mapping.
#include "panel_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace touchsim {
namespace {

uint16_t Limit(double value) {
  if (value < 0) return 0;
  if (value > 16383) return 16383;
  return static_cast<uint16_t>(std::lround(value));
}

}  // namespace

bool PanelModel::Parse(const std::string &text, PanelModel *model, std::string *error) {
  PanelModel parsed;
  std::istringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    if (item.empty()) continue;
    if (item == "swap") {
      parsed.swapAxes = true;
      continue;
    }
    size_t equals = item.find('=');
    std::string name = item.substr(0, equals);
    std::string valueText = equals == std::string::npos ? "" : item.substr(equals + 1);
    char *end = nullptr;
    double value = std::strtod(valueText.c_str(), &end);
    if (valueText.empty() || *end != 0) {
      *error = "panel item '" + item + "' is not NAME=NUMBER or 'swap'";
      return false;
    }
    if (name == "left") parsed.xAtLeft = value;
    else if (name == "right") parsed.xAtRight = value;
    else if (name == "bottom") parsed.yAtBottom = value;
    else if (name == "top") parsed.yAtTop = value;
    else if (name == "noise" && value >= 0 && value <= 16383) parsed.noise = static_cast<int>(value);
    else if (name == "spike" && value >= 0 && value <= 1000000 && value == std::floor(value))
      parsed.spike = static_cast<int>(value);
    else if (name == "bounce" && value >= 0 && value <= 8191 && value == std::floor(value))
      parsed.bounce = static_cast<int>(value);
    else {
      *error = "panel item '" + item + "' is unknown (left, right, bottom, top, swap, noise=0..16383, "
               "spike=0..1000000, bounce=0..8191)";
      return false;
    }
  }
  *model = parsed;
  return true;
}

void PanelModel::Map(int64_t screenX, int64_t screenY, std::mt19937 &random, uint16_t *controllerX,
                     uint16_t *controllerY) const {
  // Fractions across the screen from the left and from the bottom.
  double across = static_cast<double>(screenX) / 65535.0;
  double up = static_cast<double>(65535 - screenY) / 65535.0;
  if (swapAxes) std::swap(across, up);
  double x = xAtLeft + across * (xAtRight - xAtLeft);
  double y = yAtBottom + up * (yAtTop - yAtBottom);
  if (noise > 0) {
    std::uniform_int_distribution<int> jitter(-noise, noise);
    x += jitter(random);
    y += jitter(random);
  }
  *controllerX = Limit(x);
  *controllerY = Limit(y);
}

void PanelModel::Read(int64_t screenX, int64_t screenY, uint64_t reading, std::mt19937 &random, uint16_t *controllerX,
                      uint16_t *controllerY) const {
  Map(screenX, screenY, random, controllerX, controllerY);
  if (spike <= 0 || reading % static_cast<uint64_t>(spike) != 0) return;
  if (bounce > 0) {
    std::uniform_int_distribution<int> sign(0, 1);
    auto bounced = [&](uint16_t at) {
      const int way = sign(random) != 0 ? bounce : -bounce;
      const int landed = at + way >= 0 && at + way <= 16383 ? at + way : at - way;
      return static_cast<uint16_t>(std::clamp(landed, 0, 16383));
    };
    *controllerX = bounced(*controllerX);
    *controllerY = bounced(*controllerY);
    return;
  }
  std::uniform_int_distribution<int> away(4096, 12287);
  *controllerX = static_cast<uint16_t>((*controllerX + away(random)) % 16384);
  *controllerY = static_cast<uint16_t>((*controllerY + away(random)) % 16384);
}

}  // namespace touchsim
