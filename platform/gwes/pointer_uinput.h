// The input device that the uinput pointer output asks the kernel for, as a value: its event
// types, keys, axes and properties, so that what it announces can be read without /dev/uinput.
#pragma once

#include <linux/uinput.h>

#include <cstdint>
#include <vector>

namespace platform {

// One UI_SET_*BIT request and its argument.
struct UinputBit {
  unsigned long request;  // UI_SET_EVBIT, UI_SET_KEYBIT, UI_SET_ABSBIT or UI_SET_PROPBIT
  int code;
};

struct UinputDeviceSetup {
  std::vector<UinputBit> bits;
  std::vector<uinput_abs_setup> axes;  // UI_ABS_SETUP, one per axis
  uinput_setup device;                 // UI_DEV_SETUP: name and bus
};

// A single-touch, direct (on-screen) absolute device, which udev and libinput take for a touch
// screen once it is tagged as one (docs/pointer.md): ABS_X and ABS_Y over mouse_event's range,
// BTN_TOUCH, and the left, right and middle buttons for the driver's clicks.
UinputDeviceSetup TouchScreenSetup();

// The axes' resolution in units per millimetre: 65535 units span 256 mm, about the width of a
// 12-inch panel. Consumers use it for sizes and gestures, never for the position on the screen.
constexpr int32_t kUinputUnitsPerMillimetre = 256;

}  // namespace platform
