// The "uinput" pointer output: a Linux input device made through /dev/uinput that reports
// absolute positions (0..65535 on each axis, the range of mouse_event) and three buttons, so that
// the desktop sees the touch panel as a pointing device of its own.
//
// A move goes out as one frame (ABS_X, ABS_Y, SYN_REPORT) and each button change after it as a
// frame of its own, so that a press is seen at the position it belongs to. The device has no
// sound and no relative axes: MessageBeep and relative moves are dropped, said once.
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pointer_backend.h"

namespace platform {
namespace {

const char kDevicePath[] = "/dev/uinput";
const char kDeviceName[] = "Norvik touch screen pointer";
const char kUseLogInstead[] = ", or set HKLM\\Platform\\Input \"Pointer\" to \"log\"";

struct ButtonAction {
  DWORD flag;
  uint16_t code;
  int32_t value;
};
constexpr ButtonAction kButtonActions[] = {
    {MOUSEEVENTF_LEFTDOWN, BTN_LEFT, 1},
    {MOUSEEVENTF_LEFTUP, BTN_LEFT, 0},
    {MOUSEEVENTF_RIGHTDOWN, BTN_RIGHT, 1},
    {MOUSEEVENTF_RIGHTUP, BTN_RIGHT, 0},
    {MOUSEEVENTF_MIDDLEDOWN, BTN_MIDDLE, 1},
    {MOUSEEVENTF_MIDDLEUP, BTN_MIDDLE, 0},
};

class PointerUinput : public PointerBackend {
 public:
  explicit PointerUinput(int fd) : fd_(fd) {}
  ~PointerUinput() override {
    ioctl(fd_, UI_DEV_DESTROY);
    close(fd_);
  }
  PointerUinput(const PointerUinput &) = delete;
  PointerUinput &operator=(const PointerUinput &) = delete;

  void MouseEvent(DWORD flags, DWORD dx, DWORD dy, DWORD) override {
    std::vector<input_event> events;
    if ((flags & MOUSEEVENTF_MOVE) != 0 && (flags & MOUSEEVENTF_ABSOLUTE) != 0) {
      Add(events, EV_ABS, ABS_X, static_cast<int32_t>(dx > kAbsoluteMax ? kAbsoluteMax : dx));
      Add(events, EV_ABS, ABS_Y, static_cast<int32_t>(dy > kAbsoluteMax ? kAbsoluteMax : dy));
      Add(events, EV_SYN, SYN_REPORT, 0);
    } else if ((flags & MOUSEEVENTF_MOVE) != 0) {
      ReportOnce(relativeReported_, "gwes: the uinput pointer takes only absolute moves (MOUSEEVENTF_ABSOLUTE); "
                                    "relative moves are dropped\n");
    }
    for (const ButtonAction &action : kButtonActions) {
      if ((flags & action.flag) == 0) continue;
      Add(events, EV_KEY, action.code, action.value);
      Add(events, EV_SYN, SYN_REPORT, 0);
    }
    if (!events.empty()) Write(events);
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
  bool relativeReported_ = false;
  bool beepReported_ = false;
  bool writeReported_ = false;
};

// Declares the device's events and creates it; false, with *step naming the request that
// failed, when the kernel refuses.
bool SetUpDevice(int fd, const char **step) {
  struct Request {
    unsigned long request;
    int argument;
    const char *name;
  };
  const Request requests[] = {
      {UI_SET_EVBIT, EV_SYN, "UI_SET_EVBIT"},        {UI_SET_EVBIT, EV_KEY, "UI_SET_EVBIT"},
      {UI_SET_EVBIT, EV_ABS, "UI_SET_EVBIT"},        {UI_SET_KEYBIT, BTN_LEFT, "UI_SET_KEYBIT"},
      {UI_SET_KEYBIT, BTN_RIGHT, "UI_SET_KEYBIT"},   {UI_SET_KEYBIT, BTN_MIDDLE, "UI_SET_KEYBIT"},
      {UI_SET_ABSBIT, ABS_X, "UI_SET_ABSBIT"},       {UI_SET_ABSBIT, ABS_Y, "UI_SET_ABSBIT"},
      // Positions are places on the screen, not movements of an on-screen cursor.
      {UI_SET_PROPBIT, INPUT_PROP_DIRECT, "UI_SET_PROPBIT"},
  };
  for (const Request &request : requests) {
    if (ioctl(fd, request.request, request.argument) < 0) {
      *step = request.name;
      return false;
    }
  }
  for (uint16_t axis : {ABS_X, ABS_Y}) {
    uinput_abs_setup abs{};
    abs.code = axis;
    abs.absinfo.minimum = 0;
    abs.absinfo.maximum = static_cast<int32_t>(kAbsoluteMax);
    if (ioctl(fd, UI_ABS_SETUP, &abs) < 0) {
      *step = "UI_ABS_SETUP";
      return false;
    }
  }
  uinput_setup setup{};
  setup.id.bustype = BUS_VIRTUAL;
  std::strncpy(setup.name, kDeviceName, sizeof setup.name - 1);
  if (ioctl(fd, UI_DEV_SETUP, &setup) < 0) {
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

std::unique_ptr<PointerBackend> StartPointerUinput(std::string *problem) {
  int fd = open(kDevicePath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    *problem = std::string("Pointer is \"uinput\" but ") + kDevicePath + " cannot be opened: " + std::strerror(error) +
               ": load the uinput module (modprobe uinput) and give this user write access to " + kDevicePath +
               kUseLogInstead;
    return nullptr;
  }
  const char *step = "";
  if (!SetUpDevice(fd, &step)) {
    int error = errno;
    *problem = std::string("Pointer is \"uinput\" but the kernel refused to create the pointer device (") + step +
               ": " + std::strerror(error) + "): check its uinput support (Linux 4.5 or later)" + kUseLogInstead;
    close(fd);
    return nullptr;
  }
  return std::make_unique<PointerUinput>(fd);
}

}  // namespace platform
