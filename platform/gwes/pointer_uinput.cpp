// The uinput pointer outputs: Linux input devices made through /dev/uinput with libevdev that
// report absolute positions (0..65535 on each axis, the range of mouse_event). "uinput" is one
// absolute pointer, which the desktop moves and clicks as a mouse; "uinput-touch" is a touch screen
// for the left button, with a second absolute pointer for the right and middle ones.
//
// Each mouse_event call goes out as one frame per device: ABS_X and ABS_Y, the keys that changed,
// SYN_REPORT, so that a press or a touch begins and ends at the position of its own call; a key
// that changes twice in one call ends the frame in between. The kernel drops an axis value equal
// to the one it holds, which would leave a tap at the place of the last one without a position (the
// desktop then clicks where its cursor is, or drops the touch): such a value is sent twice in its
// frame, first with its lowest bit flipped, so both pass and the frame's last value is the real
// one. The devices' phys is "norvik/" and the device root's folder name, for udev to tell the
// devices of two device roots apart, and their product and phys come from it, for the desktops
// (platform/input_identity.h). Each axis spans the panel's size at a whole number of units per
// millimetre, and mouse_event's 0..65535 is scaled onto it. The devices have no sound and no
// relative axes: MessageBeep and relative moves are dropped, said once.
#include "pointer_uinput.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "panel_size.h"
#include "platform/device_root.h"
#include "pointer_backend.h"

namespace platform {
namespace {

const char kDevicePath[] = "/dev/uinput";
// Names another uinput device node, or a file or FIFO that takes the event stream alone (no
// device is set up on one), so that what the desktop would receive can be read back. For
// "uinput-touch" the second device's stream then goes to the same path with kButtonsSuffix added.
const char kDevicePathVariable[] = "PLATFORM_UINPUT_DEVICE";
const char kButtonsSuffix[] = ".buttons";
const char kUseLogInstead[] = ", or set HKLM\\Platform\\Input \"Pointer\" to \"log\"";

// One device, or the file that stands for it, and the frames of the call being sent to it.
class UinputStream {
 public:
  // A stream that moves only to click: it takes the moves only while one of its keys is held,
  // and each position goes in a frame of its own, so that the pointer is there before it clicks.
  enum class Moves { Always, ToClick };

  UinputStream(int fd, libevdev_uinput *device, const char *what, Moves moves, const UinputShape &shape)
      : fd_(fd),
        device_(device),
        what_(what),
        moves_(moves),
        maxX_(AxisFor(shape.widthMm).maximum),
        maxY_(AxisFor(shape.heightMm).maximum) {}
  ~UinputStream() {
    if (device_ != nullptr) libevdev_uinput_destroy(device_);
    close(fd_);
  }
  UinputStream(const UinputStream &) = delete;
  UinputStream &operator=(const UinputStream &) = delete;

  bool TakesMove() const { return moves_ == Moves::Always || held_.any(); }
  bool MovesToClick() const { return moves_ == Moves::ToClick; }
  bool Positioned() const { return positioned_; }

  // A position of mouse_event's range, put on the axes' own.
  void Position(int32_t x, int32_t y) {
    Axis(ABS_X, Scaled(x, maxX_), &x_);
    Axis(ABS_Y, Scaled(y, maxY_), &y_);
    positioned_ = true;
    if (moves_ == Moves::ToClick) EndFrame();
  }

  // The kernel keeps one value per code in a frame, so a second change of a key ends the first.
  void Key(uint16_t code, bool down) {
    if (std::find(framed_.begin(), framed_.end(), code) != framed_.end()) EndFrame();
    Add(EV_KEY, code, down ? 1 : 0);
    framed_.push_back(code);
    held_.set(code, down);
  }

  // Ends the call: its last frame and everything in one write.
  void Send() {
    EndFrame();
    positioned_ = false;
    if (events_.empty()) return;
    Write();
    events_.clear();
  }

 private:
  static int32_t Scaled(int32_t value, int32_t maximum) {
    if (maximum == static_cast<int32_t>(kAbsoluteMax)) return value;
    return static_cast<int32_t>((static_cast<int64_t>(value) * maximum + kAbsoluteMax / 2) / kAbsoluteMax);
  }

  void Add(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    events_.push_back(event);
    open_ = true;
  }

  // One axis's value, and the one the kernel holds for it after this frame.
  void Axis(uint16_t code, int32_t value, int32_t *held) {
    if (value == *held) Add(EV_ABS, code, value ^ 1);
    Add(EV_ABS, code, value);
    *held = value;
  }

  void EndFrame() {
    if (!open_) return;
    Add(EV_SYN, SYN_REPORT, 0);
    open_ = false;
    framed_.clear();
  }

  void Write() {
    const char *bytes = reinterpret_cast<const char *>(events_.data());
    size_t size = events_.size() * sizeof(input_event);
    size_t written = 0;
    while (written < size) {
      ssize_t n = write(fd_, bytes + written, size - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (!writeReported_) {
          writeReported_ = true;
          NKDbgPrintfW(u"gwes: cannot write to the uinput %a: %a; the events that fail are lost\n", what_,
                       std::strerror(n < 0 ? errno : EIO));
        }
        return;
      }
      written += static_cast<size_t>(n);
    }
  }

  int fd_;
  libevdev_uinput *device_;  // null: a file or FIFO that takes the events, with no device behind it
  const char *what_;         // the device, as the write error names it
  Moves moves_;
  int32_t maxX_;  // the axes' largest values
  int32_t maxY_;
  std::vector<input_event> events_;
  std::vector<uint16_t> framed_;  // the keys of the open frame
  bool open_ = false;             // events since the last SYN_REPORT
  bool positioned_ = false;       // a position went out in this call
  std::bitset<KEY_CNT> held_;
  int32_t x_ = 0;  // the axes' values the kernel holds: a device starts at 0
  int32_t y_ = 0;
  bool writeReported_ = false;
};

// Where a button of mouse_event goes: which stream, and as which key.
struct ButtonRoute {
  DWORD flag;
  size_t stream;
  uint16_t code;
  bool down;
};
constexpr ButtonRoute kPointerRoutes[] = {
    {MOUSEEVENTF_LEFTDOWN, 0, BTN_LEFT, true},     {MOUSEEVENTF_LEFTUP, 0, BTN_LEFT, false},
    {MOUSEEVENTF_RIGHTDOWN, 0, BTN_RIGHT, true},   {MOUSEEVENTF_RIGHTUP, 0, BTN_RIGHT, false},
    {MOUSEEVENTF_MIDDLEDOWN, 0, BTN_MIDDLE, true}, {MOUSEEVENTF_MIDDLEUP, 0, BTN_MIDDLE, false},
};
// A touch screen has no buttons: the left one is the touch, the others go to the second device.
constexpr ButtonRoute kTouchRoutes[] = {
    {MOUSEEVENTF_LEFTDOWN, 0, BTN_TOUCH, true},    {MOUSEEVENTF_LEFTUP, 0, BTN_TOUCH, false},
    {MOUSEEVENTF_RIGHTDOWN, 1, BTN_RIGHT, true},   {MOUSEEVENTF_RIGHTUP, 1, BTN_RIGHT, false},
    {MOUSEEVENTF_MIDDLEDOWN, 1, BTN_MIDDLE, true}, {MOUSEEVENTF_MIDDLEUP, 1, BTN_MIDDLE, false},
};

// The touch screen alone: the right and middle buttons have no device to go to.
constexpr ButtonRoute kTouchOnlyRoutes[] = {
    {MOUSEEVENTF_LEFTDOWN, 0, BTN_TOUCH, true},
    {MOUSEEVENTF_LEFTUP, 0, BTN_TOUCH, false},
};

class PointerUinput : public PointerBackend {
 public:
  PointerUinput(std::vector<std::unique_ptr<UinputStream>> streams, std::span<const ButtonRoute> routes)
      : streams_(std::move(streams)), routes_(routes) {}

  void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD) override {
    if ((flags & MOUSEEVENTF_MOVE) != 0 && (flags & MOUSEEVENTF_ABSOLUTE) != 0) {
      x_ = static_cast<int32_t>(std::min(dx, kAbsoluteMax));
      y_ = static_cast<int32_t>(std::min(dy, kAbsoluteMax));
      for (auto &stream : streams_) {
        if (stream->TakesMove()) stream->Position(x_, y_);
      }
    } else if ((flags & MOUSEEVENTF_MOVE) != 0) {
      ReportOnce(relativeReported_, "gwes: the uinput pointer takes only absolute moves (MOUSEEVENTF_ABSOLUTE); "
                                    "relative moves are dropped\n");
    }
    constexpr DWORD kButtons = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP | MOUSEEVENTF_RIGHTDOWN |
                               MOUSEEVENTF_RIGHTUP | MOUSEEVENTF_MIDDLEDOWN | MOUSEEVENTF_MIDDLEUP;
    DWORD routed = 0;
    for (const ButtonRoute &route : routes_) routed |= route.flag;
    if ((flags & kButtons & ~routed) != 0)
      ReportOnce(unroutedReported_, "gwes: a right or middle click has no device to go to (\"TouchOnly\" is set): "
                                    "it is dropped, and so are the later ones\n");
    for (const ButtonRoute &route : routes_) {
      if ((flags & route.flag) == 0) continue;
      UinputStream &stream = *streams_[route.stream];
      // The click lands where the touch last was, which this device may not have been told.
      if (stream.MovesToClick() && !stream.Positioned()) stream.Position(x_, y_);
      stream.Key(route.code, route.down);
    }
    for (auto &stream : streams_) stream->Send();
  }

  BOOL Beep(UINT) override {
    ReportOnce(beepReported_, "gwes: the uinput pointer has no sound; MessageBeep calls are dropped\n");
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }

 private:
  static void ReportOnce(bool &reported, const char *message) {
    if (reported) return;
    reported = true;
    NKDbgPrintfW(u"%a", message);
  }

  std::vector<std::unique_ptr<UinputStream>> streams_;
  std::span<const ButtonRoute> routes_;
  int32_t x_ = 0;  // the last absolute position, where the axes start at
  int32_t y_ = 0;
  bool relativeReported_ = false;
  bool beepReported_ = false;
  bool unroutedReported_ = false;
};

// Turns on the codes of a description one after another, keeping the first that libevdev refused.
class DescriptionBuilder {
 public:
  DescriptionBuilder(const char *name, const UinputShape &shape, const char **failedStep)
      : device_(libevdev_new()), shape_(shape), failedStep_(failedStep) {
    if (!device_) {
      *failedStep_ = "libevdev_new";
      return;
    }
    libevdev_set_name(device_.get(), name);
    libevdev_set_id_bustype(device_.get(), BUS_VIRTUAL);
    libevdev_set_id_vendor(device_.get(), shape.identity.vendor);
    libevdev_set_id_product(device_.get(), shape.identity.product);
    libevdev_set_phys(device_.get(), shape.identity.phys.c_str());
  }

  void Key(unsigned code) { Enable(EV_KEY, code, nullptr); }

  void Axis(unsigned code) {
    const AxisShape shape = AxisFor(code == ABS_X ? shape_.widthMm : shape_.heightMm);
    input_absinfo axis{};
    axis.minimum = 0;
    axis.maximum = shape.maximum;
    axis.resolution = shape.resolution;
    Enable(EV_ABS, code, &axis);
  }

  void Property(unsigned property) {
    if (device_ && libevdev_enable_property(device_.get(), property) != 0) Fail("libevdev_enable_property");
  }

  EvdevDescription Take() { return std::move(device_); }

 private:
  void Enable(unsigned type, unsigned code, const void *data) {
    if (device_ && libevdev_enable_event_code(device_.get(), type, code, data) != 0) {
      Fail("libevdev_enable_event_code");
    }
  }

  void Fail(const char *step) {
    *failedStep_ = step;
    device_.reset();
  }

  EvdevDescription device_;
  UinputShape shape_;
  const char **failedStep_;
};

// The descriptor to write the events to, and whether it is a device node (uinput) or a stream.
struct Opened {
  int fd = -1;
  bool device = false;
};

bool Open(const std::string &path, const char *output, Opened *opened, std::string *problem) {
  opened->fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (opened->fd < 0) {
    int error = errno;
    *problem = std::string("Pointer is \"") + output + "\" but " + path + " cannot be opened: " +
               std::strerror(error) + ": load the uinput module (modprobe uinput) and give this user write access to " +
               path + kUseLogInstead;
    return false;
  }
  struct stat status {};
  opened->device = fstat(opened->fd, &status) == 0 && S_ISCHR(status.st_mode);
  return true;
}

// Makes the device that description describes on fd; null, with *problem set, when it cannot.
std::unique_ptr<UinputStream> CreateDevice(int fd, EvdevDescription description, const char *failedStep,
                                           const char *output, const char *what, UinputStream::Moves moves,
                                           const UinputShape &shape, std::string *problem) {
  if (!description) {
    *problem = std::string("Pointer is \"") + output + "\" but libevdev could not describe the " + what +
               " device (" + failedStep + " failed): free some memory and start this program again" + kUseLogInstead;
    close(fd);
    return nullptr;
  }
  // libevdev does not pass the phys on to uinput; it is only for udev rules, so a kernel that
  // refuses it leaves the device without one.
  if (!shape.identity.phys.empty()) (void)ioctl(fd, UI_SET_PHYS, shape.identity.phys.c_str());
  libevdev_uinput *device = nullptr;
  int result = libevdev_uinput_create_from_device(description.get(), fd, &device);
  if (result != 0) {
    *problem = std::string("Pointer is \"") + output + "\" but the kernel refused to create the " + what +
               " device (libevdev_uinput_create_from_device: " + std::strerror(-result) +
               "): check its uinput support (Linux 4.5 or later)" + kUseLogInstead;
    close(fd);
    return nullptr;
  }
  return std::make_unique<UinputStream>(fd, device, what, moves, shape);
}

std::string DevicePath() {
  const char *given = std::getenv(kDevicePathVariable);
  return given != nullptr && *given != '\0' ? given : kDevicePath;
}

}  // namespace

AxisShape AxisFor(int mm) {
  if (mm <= 0) return {static_cast<int32_t>(kAbsoluteMax), kUinputUnitsPerMillimetre};
  const int32_t resolution = std::max<int32_t>(1, static_cast<int32_t>(kAbsoluteMax) / mm);
  return {mm * resolution, resolution};
}

UinputShape CurrentUinputShape() {
  UinputShape shape;
  shape.identity = InputIdentityOf(DeviceRoot());
  const gwes::PanelSize size = gwes::FindPanelSize();
  shape.widthMm = size.width;
  shape.heightMm = size.height;
  if (size.width > 0)
    NKDbgPrintfW(u"gwes: the uinput devices are %d x %d mm, the panel's size from %a, so that desktops put them on "
                 u"the monitor of that size\n",
                 size.width, size.height, size.source.c_str());
  else
    NKDbgPrintfW(u"gwes: the uinput devices have no physical size (%a): desktops cannot match the panel to its "
                 u"monitor by size; give it with nrvctl init --force --size WIDTHxHEIGHT (millimetres)\n",
                 size.source.c_str());
  return shape;
}

EvdevDescription AbsolutePointerDescription(const char *name, const UinputShape &shape, const char **failedStep) {
  DescriptionBuilder builder(name, shape, failedStep);
  builder.Axis(ABS_X);
  builder.Axis(ABS_Y);
  for (unsigned key : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) builder.Key(key);
  return builder.Take();
}

EvdevDescription TouchScreenDescription(const UinputShape &shape, const char **failedStep) {
  DescriptionBuilder builder(kUinputTouchScreenName, shape, failedStep);
  builder.Axis(ABS_X);
  builder.Axis(ABS_Y);
  builder.Key(BTN_TOUCH);
  // Positions are places on the screen, not movements of an on-screen cursor.
  builder.Property(INPUT_PROP_DIRECT);
  return builder.Take();
}

std::unique_ptr<PointerBackend> StartPointerUinput(std::string *problem) {
  const char output[] = "uinput";
  const std::string path = DevicePath();
  Opened opened;
  if (!Open(path, output, &opened, problem)) return nullptr;
  std::vector<std::unique_ptr<UinputStream>> streams;
  const UinputShape shape = CurrentUinputShape();
  if (!opened.device) {
    NKDbgPrintfW(u"gwes: %a %a is not a device: no input device is made, and the events go to it as they would "
                 u"to the kernel\n",
                 kDevicePathVariable, path.c_str());
    streams.push_back(
        std::make_unique<UinputStream>(opened.fd, nullptr, "pointer", UinputStream::Moves::Always, shape));
  } else {
    const char *step = "";
    EvdevDescription description = AbsolutePointerDescription(kUinputPointerName, shape, &step);
    streams.push_back(CreateDevice(opened.fd, std::move(description), step, output, "pointer",
                                   UinputStream::Moves::Always, shape, problem));
    if (!streams.back()) return nullptr;
  }
  return std::make_unique<PointerUinput>(std::move(streams), kPointerRoutes);
}

std::unique_ptr<PointerBackend> StartPointerUinputTouch(bool touchOnly, std::string *problem) {
  const char output[] = "uinput-touch";
  const std::string path = DevicePath();
  Opened touch;
  if (!Open(path, output, &touch, problem)) return nullptr;
  std::vector<std::unique_ptr<UinputStream>> streams;
  const UinputShape shape = CurrentUinputShape();
  // Without the buttons device the desktop has no pointer device of ours (GNOME stays in touch
  // mode and shows its on-screen keyboard); the right and middle clicks then have nowhere to go.
  if (touchOnly)
    NKDbgPrintfW(u"gwes: HKLM\\Platform\\Input \"TouchOnly\" is set: uinput-touch makes the touch screen alone; a right "
                 u"or middle click (an armed right click, a long press) goes nowhere, said once\n");
  if (!touch.device && touchOnly) {
    NKDbgPrintfW(u"gwes: %a %a is not a device: no input device is made, and the events go to it as they would "
                 u"to the kernel\n",
                 kDevicePathVariable, path.c_str());
    streams.push_back(
        std::make_unique<UinputStream>(touch.fd, nullptr, "touch screen", UinputStream::Moves::Always, shape));
    return std::make_unique<PointerUinput>(std::move(streams), kTouchOnlyRoutes);
  }
  if (!touch.device) {
    const std::string buttonsPath = path + kButtonsSuffix;
    int buttons = open(buttonsPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (buttons < 0) {
      int error = errno;
      *problem = std::string("Pointer is \"") + output + "\" but " + buttonsPath + " cannot be opened: " +
                 std::strerror(error) + ": create it, where the buttons device's events go while " +
                 kDevicePathVariable + " " + path + " is not a device" + kUseLogInstead;
      close(touch.fd);
      return nullptr;
    }
    NKDbgPrintfW(u"gwes: %a %a is not a device: no input device is made, and the events go to it as they would "
                 u"to the kernel, the buttons device's to %a\n",
                 kDevicePathVariable, path.c_str(), buttonsPath.c_str());
    streams.push_back(
        std::make_unique<UinputStream>(touch.fd, nullptr, "touch screen", UinputStream::Moves::Always, shape));
    streams.push_back(std::make_unique<UinputStream>(buttons, nullptr, "touch screen buttons",
                                                     UinputStream::Moves::ToClick, shape));
    return std::make_unique<PointerUinput>(std::move(streams), kTouchRoutes);
  }
  const char *step = "";
  EvdevDescription description = TouchScreenDescription(shape, &step);
  streams.push_back(CreateDevice(touch.fd, std::move(description), step, output, "touch screen",
                                 UinputStream::Moves::Always, shape, problem));
  if (!streams.back()) return nullptr;
  if (touchOnly) return std::make_unique<PointerUinput>(std::move(streams), kTouchOnlyRoutes);
  // One uinput descriptor makes one device: the buttons need a descriptor of their own.
  Opened buttons;
  if (!Open(path, output, &buttons, problem)) return nullptr;
  description = AbsolutePointerDescription(kUinputTouchButtonsName, shape, &step);
  streams.push_back(CreateDevice(buttons.fd, std::move(description), step, output, "touch screen buttons",
                                 UinputStream::Moves::ToClick, shape, problem));
  if (!streams.back()) return nullptr;
  return std::make_unique<PointerUinput>(std::move(streams), kTouchRoutes);
}

}  // namespace platform
