// The "uinput" pointer output: a Linux input device made through /dev/uinput that reports
// absolute positions (0..65535 on each axis, the range of mouse_event) and touches, so that the
// desktop (X, or libinput under a Wayland compositor) sees the panel as a touch screen.
//
// Each mouse_event call goes out as one frame: ABS_X and ABS_Y, then BTN_TOUCH and the button
// that changed, then SYN_REPORT, so that a touch begins and ends at the position it belongs to. A
// call that presses and releases at once takes a frame for each change. The device has no sound
// and no relative axes: MessageBeep and relative moves are dropped, said once.
#include "pointer_uinput.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pointer_backend.h"

namespace platform {
namespace {

const char kDevicePath[] = "/dev/uinput";
// Names another uinput device node, or a file or FIFO that takes the event stream alone (no
// device is set up on one), so that what the desktop would receive can be read back.
const char kDevicePathVariable[] = "PLATFORM_UINPUT_DEVICE";
const char kDeviceName[] = "Norvik touch screen pointer";
const char kUseLogInstead[] = ", or set HKLM\\Platform\\Input \"Pointer\" to \"log\"";

struct ButtonAction {
  DWORD flag;
  uint16_t code;
  bool down;
};
constexpr ButtonAction kButtonActions[] = {
    {MOUSEEVENTF_LEFTDOWN, BTN_LEFT, true},     {MOUSEEVENTF_LEFTUP, BTN_LEFT, false},
    {MOUSEEVENTF_RIGHTDOWN, BTN_RIGHT, true},   {MOUSEEVENTF_RIGHTUP, BTN_RIGHT, false},
    {MOUSEEVENTF_MIDDLEDOWN, BTN_MIDDLE, true}, {MOUSEEVENTF_MIDDLEUP, BTN_MIDDLE, false},
};

class PointerUinput : public PointerBackend {
 public:
  PointerUinput(int fd, bool device) : fd_(fd), device_(device) {}
  ~PointerUinput() override {
    if (device_) ioctl(fd_, UI_DEV_DESTROY);
    close(fd_);
  }
  PointerUinput(const PointerUinput &) = delete;
  PointerUinput &operator=(const PointerUinput &) = delete;

  void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD) override {
    std::vector<input_event> events;
    if ((flags & MOUSEEVENTF_MOVE) != 0 && (flags & MOUSEEVENTF_ABSOLUTE) != 0) {
      Add(events, EV_ABS, ABS_X, static_cast<int32_t>(dx > kAbsoluteMax ? kAbsoluteMax : dx));
      Add(events, EV_ABS, ABS_Y, static_cast<int32_t>(dy > kAbsoluteMax ? kAbsoluteMax : dy));
    } else if ((flags & MOUSEEVENTF_MOVE) != 0) {
      ReportOnce(relativeReported_, "gwes: the uinput pointer takes only absolute moves (MOUSEEVENTF_ABSOLUTE); "
                                    "relative moves are dropped\n");
    }
    // The frame's keys so far: a key that changes twice in one call ends the frame in between.
    std::vector<uint16_t> framed;
    for (const ButtonAction &action : kButtonActions) {
      if ((flags & action.flag) == 0) continue;
      bool touching = down_ != 0;
      unsigned bit = 1u << (action.code - BTN_LEFT);
      down_ = action.down ? (down_ | bit) : (down_ & ~bit);
      bool touchChanges = touching != (down_ != 0);
      bool repeated = std::find(framed.begin(), framed.end(), action.code) != framed.end() ||
                      (touchChanges && std::find(framed.begin(), framed.end(), BTN_TOUCH) != framed.end());
      if (repeated) {
        Add(events, EV_SYN, SYN_REPORT, 0);
        framed.clear();
      }
      if (touchChanges) {
        Add(events, EV_KEY, BTN_TOUCH, down_ != 0 ? 1 : 0);
        framed.push_back(BTN_TOUCH);
      }
      Add(events, EV_KEY, action.code, action.down ? 1 : 0);
      framed.push_back(action.code);
    }
    if (events.empty()) return;
    Add(events, EV_SYN, SYN_REPORT, 0);
    Write(events);
  }

  BOOL Beep(UINT) override {
    ReportOnce(beepReported_, "gwes: the uinput pointer has no sound; MessageBeep calls are dropped\n");
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }

 private:
  static void Add(std::vector<input_event> &events, uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    events.push_back(event);
  }

  static void ReportOnce(bool &reported, const char *message) {
    if (reported) return;
    reported = true;
    NKDbgPrintfW(u"%a", message);
  }

  void Write(const std::vector<input_event> &events) {
    const char *bytes = reinterpret_cast<const char *>(events.data());
    size_t size = events.size() * sizeof(input_event);
    size_t written = 0;
    while (written < size) {
      ssize_t n = write(fd_, bytes + written, size - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (!writeReported_) {
          writeReported_ = true;
          NKDbgPrintfW(u"gwes: cannot write to the uinput pointer: %a; the events that fail are lost\n",
                       std::strerror(n < 0 ? errno : EIO));
        }
        return;
      }
      written += static_cast<size_t>(n);
    }
  }

  int fd_;
  bool device_;         // false: a file or FIFO that takes the events, with no device behind it
  unsigned down_ = 0;   // the buttons held, one bit each from BTN_LEFT on
  bool relativeReported_ = false;
  bool beepReported_ = false;
  bool writeReported_ = false;
};

// Asks the kernel for the device and creates it; false, with *step naming the request that
// failed, when the kernel refuses.
bool SetUpDevice(int fd, const char **step) {
  UinputDeviceSetup setup = TouchScreenSetup();
  for (const UinputBit &bit : setup.bits) {
    if (ioctl(fd, bit.request, bit.code) < 0) {
      *step = bit.request == UI_SET_EVBIT    ? "UI_SET_EVBIT"
              : bit.request == UI_SET_KEYBIT ? "UI_SET_KEYBIT"
              : bit.request == UI_SET_ABSBIT ? "UI_SET_ABSBIT"
                                             : "UI_SET_PROPBIT";
      return false;
    }
  }
  for (uinput_abs_setup &axis : setup.axes) {
    if (ioctl(fd, UI_ABS_SETUP, &axis) < 0) {
      *step = "UI_ABS_SETUP";
      return false;
    }
  }
  if (ioctl(fd, UI_DEV_SETUP, &setup.device) < 0) {
    *step = "UI_DEV_SETUP";
    return false;
  }
  if (ioctl(fd, UI_DEV_CREATE) < 0) {
    *step = "UI_DEV_CREATE";
    return false;
  }
  return true;
}

}  // namespace

UinputDeviceSetup TouchScreenSetup() {
  UinputDeviceSetup setup{};
  setup.bits = {
      {UI_SET_EVBIT, EV_SYN},      {UI_SET_EVBIT, EV_KEY},        {UI_SET_EVBIT, EV_ABS},
      {UI_SET_KEYBIT, BTN_TOUCH},  {UI_SET_KEYBIT, BTN_LEFT},     {UI_SET_KEYBIT, BTN_RIGHT},
      {UI_SET_KEYBIT, BTN_MIDDLE}, {UI_SET_ABSBIT, ABS_X},        {UI_SET_ABSBIT, ABS_Y},
      // Positions are places on the screen, not movements of an on-screen cursor.
      {UI_SET_PROPBIT, INPUT_PROP_DIRECT},
  };
  for (uint16_t code : {ABS_X, ABS_Y}) {
    uinput_abs_setup axis{};
    axis.code = code;
    axis.absinfo.minimum = 0;
    axis.absinfo.maximum = static_cast<int32_t>(kAbsoluteMax);
    axis.absinfo.resolution = kUinputUnitsPerMillimetre;
    setup.axes.push_back(axis);
  }
  setup.device.id.bustype = BUS_VIRTUAL;
  std::strncpy(setup.device.name, kDeviceName, sizeof setup.device.name - 1);
  return setup;
}

std::unique_ptr<PointerBackend> StartPointerUinput(std::string *problem) {
  const char *given = std::getenv(kDevicePathVariable);
  const std::string path = given != nullptr && *given != '\0' ? given : kDevicePath;
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    *problem = "Pointer is \"uinput\" but " + path + " cannot be opened: " + std::strerror(error) +
               ": load the uinput module (modprobe uinput) and give this user write access to " + path +
               kUseLogInstead;
    return nullptr;
  }
  struct stat status {};
  bool device = fstat(fd, &status) == 0 && S_ISCHR(status.st_mode);
  if (!device) {
    NKDbgPrintfW(u"gwes: %a %a is not a device: no input device is made, and the events go to it as they would "
                 u"to the kernel\n",
                 kDevicePathVariable, path.c_str());
    return std::make_unique<PointerUinput>(fd, false);
  }
  const char *step = "";
  if (!SetUpDevice(fd, &step)) {
    int error = errno;
    *problem = std::string("Pointer is \"uinput\" but the kernel refused to create the pointer device (") + step +
               ": " + std::strerror(error) + "): check its uinput support (Linux 4.5 or later)" + kUseLogInstead;
    close(fd);
    return nullptr;
  }
  return std::make_unique<PointerUinput>(fd, true);
}

}  // namespace platform
