// The input devices that the uinput pointer outputs ask the kernel for, as libevdev descriptions:
// their event types, keys, axes and properties, so that what each announces can be read without
// /dev/uinput.
#pragma once

#include <libevdev/libevdev.h>

#include <cstdint>
#include <memory>

#include "platform/input_identity.h"

namespace platform {

struct EvdevFree {
  void operator()(libevdev *device) const { libevdev_free(device); }
};
using EvdevDescription = std::unique_ptr<libevdev, EvdevFree>;

// What the devices say of the panel and of the device root: the panel's size, from which each
// axis's range and resolution follow (the range is the size times the resolution, so that a
// desktop reads back the size to the millimetre), and the ids that tell the device roots apart.
struct UinputShape {
  int widthMm = 0;  // 0: unknown; the axes then span 0..65535 at 256 units per millimetre
  int heightMm = 0;
  InputIdentity identity;
};
// The shape of this process's devices: the panel's size as gwes finds it (saying once where it
// came from, or that desktops cannot match the panel by size) and the device root's ids.
UinputShape CurrentUinputShape();
// An axis's largest value and its resolution (units per millimetre) for a side of `mm`.
struct AxisShape {
  int32_t maximum;
  int32_t resolution;
};
AxisShape AxisFor(int mm);

// Each returns null, with *failedStep naming the libevdev call that refused, when the description
// cannot be built (in practice only when memory runs out).

// An absolute pointer, as a virtual machine's tablet is: ABS_X and ABS_Y over mouse_event's range
// and BTN_LEFT, BTN_RIGHT and BTN_MIDDLE. Not direct and with no BTN_TOUCH, so the desktop takes
// it for a mouse that jumps to where it is told. `name` is the device's name.
EvdevDescription AbsolutePointerDescription(const char *name, const UinputShape &shape, const char **failedStep);
// A single-touch screen: INPUT_PROP_DIRECT (its positions are places on the screen), ABS_X and
// ABS_Y as above, and BTN_TOUCH alone.
EvdevDescription TouchScreenDescription(const UinputShape &shape, const char **failedStep);

// The devices' names: the pointer of "uinput", and the two devices of "uinput-touch".
inline constexpr char kUinputPointerName[] = "Norvik touch screen pointer";
inline constexpr char kUinputTouchScreenName[] = "Norvik touch screen";
inline constexpr char kUinputTouchButtonsName[] = "Norvik touch screen buttons";

// The axes' resolution in units per millimetre where the panel's size is not known: 65535 units
// span 256 mm, about the width of a 12-inch panel. Consumers use it for sizes and gestures, never
// for the position on the screen.
constexpr int32_t kUinputUnitsPerMillimetre = 256;

}  // namespace platform
