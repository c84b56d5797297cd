// The input devices that the uinput pointer outputs ask the kernel for, as libevdev descriptions:
// their event types, keys, axes and properties, so that what each announces can be read without
// /dev/uinput.
#pragma once

#include <libevdev/libevdev.h>

#include <cstdint>
#include <memory>

namespace platform {

struct EvdevFree {
  void operator()(libevdev *device) const { libevdev_free(device); }
};
using EvdevDescription = std::unique_ptr<libevdev, EvdevFree>;

// Each returns null, with *failedStep naming the libevdev call that refused, when the description
// cannot be built (in practice only when memory runs out).

// An absolute pointer, as a virtual machine's tablet is: ABS_X and ABS_Y over mouse_event's range
// and BTN_LEFT, BTN_RIGHT and BTN_MIDDLE. Not direct and with no BTN_TOUCH, so the desktop takes
// it for a mouse that jumps to where it is told. `name` is the device's name.
EvdevDescription AbsolutePointerDescription(const char *name, const char **failedStep);
// A single-touch screen: INPUT_PROP_DIRECT (its positions are places on the screen), ABS_X and
// ABS_Y as above, and BTN_TOUCH alone.
EvdevDescription TouchScreenDescription(const char **failedStep);

// The devices' names: the pointer of "uinput", and the two devices of "uinput-touch".
inline constexpr char kUinputPointerName[] = "Norvik touch screen pointer";
inline constexpr char kUinputTouchScreenName[] = "Norvik touch screen";
inline constexpr char kUinputTouchButtonsName[] = "Norvik touch screen buttons";

// The axes' resolution in units per millimetre: 65535 units span 256 mm, about the width of a
// 12-inch panel. Consumers use it for sizes and gestures, never for the position on the screen.
constexpr int32_t kUinputUnitsPerMillimetre = 256;

}  // namespace platform
