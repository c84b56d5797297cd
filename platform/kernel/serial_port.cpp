// Serial ports: "COMn:" opens the tty that HKLM\Platform\Serial names, exclusively and in raw
// mode, and the serial driver's control codes (which the comm calls are) act on it with the
// device's results: a DCB whose line fields live in termios, reads and writes bounded by
// COMMTIMEOUTS, and the wait on the mask on the input queue. A tty that hangs up is opened again,
// as it was set, once its path leads to a live tty again.
#include "serial_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "kernel_object.h"
#include "platform/access_advice.h"
#include "platform/faults.h"
#include "platform/text.h"
#include "serial_line_settings.h"
#include "serial_port_record.h"
#include "serial_timeouts.h"
#include "serial_tty.h"
#include "serial_tty_path.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// How often a line that cannot deliver is looked at again: a hung-up line's path, to open it
// once it is back, and a line that woke a wait without data. Often enough to be back well within
// a second, rarely enough to cost nothing measurable.
constexpr int64_t kLineRecheckMs = 200;

constexpr short kHangUpEvents = POLLHUP | POLLERR | POLLNVAL;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// For failures with no Win32 code of their own: the code says little, so the cause goes to the
// debug output.
BOOL FailWithCause(const std::string &port, const char *what, int error) {
  NKDbgPrintfW(u"serial: %a %a: %a\n", port.c_str(), what, std::strerror(error));
  return Fail(ERROR_GEN_FAILURE);
}

uint64_t MillisecondsSince(Clock::time_point start) {
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;
}

DCB DefaultDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}


// One opened tty. A hang-up replaces it whole, so a call still using the old one finishes on it
// and its descriptor is closed only after that call has returned.
struct Line {
  explicit Line(int descriptor) : fd(descriptor) {}
  ~Line() { close(fd); }
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;
  const int fd;
};
using LinePtr = std::shared_ptr<const Line>;

class SerialPort : public KernelObject {
 public:
  SerialPort(std::string name, std::string path, int tty, const termios &settings, int closeWake, int maskWake)
      : name_(std::move(name)),
        path_(std::move(path)),
        closeWake_(closeWake),
        maskWake_(maskWake),
        line_(std::make_shared<const Line>(tty)),
        lineSettings_(settings),
        return_(path_, tty) {}

  ~SerialPort() override {
    close(closeWake_);
    close(maskWake_);
  }

  std::string Name() const override { return name_; }

  // Wakes every call blocked on the port and frees the line for the next open; the descriptor
  // itself stays open until the last of those calls has returned.
  void OnClose() override {
    closed_ = true;
    Signal(closeWake_);
    {
      std::lock_guard lock(mutex_);
      if (line_) ReleaseSerialTty(line_->fd);
    }
    NoteSerialClosed(name_);
  }

  BOOL Read(void *buffer, DWORD size, DWORD *done) override;
  BOOL Write(const void *buffer, DWORD size, DWORD *done) override;
  BOOL IoControl(DWORD code, void *in, DWORD inSize, void *out, DWORD outSize, DWORD *returned) override;

  BOOL GetState(DCB *out);
  BOOL SetState(const DCB &dcb);

  COMMTIMEOUTS Timeouts() {
    std::lock_guard lock(mutex_);
    return timeouts_;
  }

  void SetTimeouts(const COMMTIMEOUTS &timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
  }

  DWORD Mask() {
    std::lock_guard lock(mutex_);
    return mask_;
  }

  void SetMask(DWORD mask) {
    {
      std::lock_guard lock(mutex_);
      mask_ = mask;
      ++maskChanges_;
    }
    Signal(maskWake_);
  }

  BOOL WaitEvent(DWORD *events);
  BOOL Purge(DWORD flags);

 private:
  static void Signal(int eventFd) {
    uint64_t one = 1;
    ssize_t ignored = write(eventFd, &one, sizeof one);
    (void)ignored;  // a full counter is still readable, which is all a waiter looks at
  }

  // Bytes waiting in the input queue, or -1 when the line cannot tell (it has hung up).
  static int InputQueued(const Line &line) {
    int queued = 0;
    return ioctl(line.fd, FIONREAD, &queued) == 0 ? queued : -1;
  }

  // Sleeps until lineFd (when not -1) reports one of events or a hang-up, the port is closed,
  // extraFd becomes readable, or wait milliseconds pass. Returns what the line reported, 0 for
  // nothing.
  short Poll(int lineFd, short events, int64_t wait, int extraFd = -1) const {
    struct pollfd fds[3] = {{closeWake_, POLLIN, 0}, {lineFd, events, 0}, {extraFd, POLLIN, 0}};
    int timeout = wait == kWaitWithoutLimit ? -1 : static_cast<int>(std::min<int64_t>(wait, INT_MAX));
    if (poll(fds, 3, timeout) <= 0) return 0;
    return fds[1].revents;
  }

  void DrainMaskWake() {
    uint64_t count;
    ssize_t ignored = read(maskWake_, &count, sizeof count);
    (void)ignored;  // nothing to drain is fine
  }

  LinePtr CurrentLine() {
    std::lock_guard lock(mutex_);
    return line_;
  }

  void NoteHangUp(const LinePtr &line);
  LinePtr LiveLine();

  const std::string name_;
  const std::string path_;  // the tty as the registry named it at open, followed if it is a link
  const int closeWake_;     // readable once the handle is closed; never drained
  const int maskWake_;      // readable after SetCommMask until a WaitCommEvent drains it
  std::atomic<bool> closed_{false};

  std::mutex mutex_;  // guards what follows, and orders SetCommState against GetCommState
  LinePtr line_;
  termios lineSettings_;  // what the tty was last set to, for the tty that replaces a hung-up one
  bool hungUp_ = false;
  SerialTtyReturn return_;  // what the path led to when the line was last taken
  Clock::time_point lastReopen_{};
  DCB dcb_ = DefaultDcb();
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  uint64_t maskChanges_ = 0;

  std::mutex waitMutex_;  // one WaitCommEvent at a time owns maskWake_
};

void SerialPort::NoteHangUp(const LinePtr &line) {
  std::lock_guard lock(mutex_);
  if (line != line_ || hungUp_) return;  // already replaced, or already told
  hungUp_ = true;
  // The dead tty is let go of at once (its descriptor closes as the calls that hold it return),
  // so that the kernel may give its number to the line that comes back: a replugged adapter then
  // gets the same name instead of the next one.
  ReleaseSerialTty(line_->fd);
  line_.reset();
  if (return_.Never()) {
    NKDbgPrintfW(u"serial: %a %a hung up; a pseudo-terminal does not come back under its number (the next one may "
                 u"be another program's terminal): close the port and open it again once its line is mapped\n",
                 name_.c_str(), path_.c_str());
    return;
  }
  NKDbgPrintfW(u"serial: %a %a hung up; waiting for it to come back\n", name_.c_str(), path_.c_str());
}

// The line to use, or null while it is hung up (a hung-up line holds no tty). A hung-up line is replaced once its path leads to
// a live tty again, which then gets the line settings, locks and low latency the old one had; the
// path is looked at at most once per recheck period, whoever asks.
LinePtr SerialPort::LiveLine() {
  std::lock_guard lock(mutex_);
  if (!hungUp_) return line_;
  if (closed_) return nullptr;
  const Clock::time_point now = Clock::now();
  if (now - lastReopen_ < std::chrono::milliseconds(kLineRecheckMs)) return nullptr;
  lastReopen_ = now;
  if (!return_.MayHaveReturned(path_)) return nullptr;
  SerialTtyFailure failure;
  const int tty = OpenSerialTty(path_, &failure);
  if (tty < 0) return nullptr;
  // A node that still leads to the dead line, or a tty that refuses the old settings, is not
  // the line back.
  if (SerialTtyHungUp(tty) || tcsetattr(tty, TCSANOW, &lineSettings_) != 0) {
    ReleaseSerialTty(tty);
    close(tty);
    return nullptr;
  }
  RequestLowLatency(tty);  // whether it has any was said when the port was opened
  line_ = std::make_shared<const Line>(tty);
  return_ = SerialTtyReturn(path_, tty);
  hungUp_ = false;
  NKDbgPrintfW(u"serial: %a %a is back\n", name_.c_str(), path_.c_str());
  return line_;
}

BOOL SerialPort::Read(void *buffer, DWORD size, DWORD *done) {
  if (DWORD error = CheckFault("ReadFile", name_)) return Fail(error);
  if (buffer == nullptr && size > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (size == 0) return TRUE;

  const ReadTimeoutRule rule(Timeouts(), size);
  auto *bytes = static_cast<unsigned char *>(buffer);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastByte = start;
  bool suspect = false;  // the last poll woke for the line, yet it had nothing
  for (;;) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    const LinePtr line = LiveLine();
    bool up = line != nullptr;
    if (up) {
      ssize_t n = read(line->fd, bytes + *done, size - *done);
      if (n > 0) {
        *done += static_cast<DWORD>(n);
        lastByte = Clock::now();
        suspect = false;
        if (*done == size) return TRUE;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EIO) {
        if (*done > 0) return TRUE;  // the error shows again on the next read
        return FailWithCause(name_, "read failed", errno);
      }
      if ((n < 0 && errno == EIO) || (suspect && SerialTtyHungUp(line->fd))) {
        NoteHangUp(line);
        up = false;
      }
    }
    int64_t wait = rule.RemainingWait(MillisecondsSince(start), *done, MillisecondsSince(lastByte));
    if (wait == 0) return TRUE;
    const bool watchLine = up && !suspect;
    if (!watchLine) wait = wait == kWaitWithoutLimit ? kLineRecheckMs : std::min(wait, kLineRecheckMs);
    const short reported = Poll(watchLine ? line->fd : -1, POLLIN, wait);
    if ((reported & kHangUpEvents) != 0) NoteHangUp(line);
    // With VMIN 0 a live line with nothing to read returns 0 too, so a wake-up without data is
    // only known as such at the next read.
    suspect = reported != 0;
  }
}

BOOL SerialPort::Write(const void *buffer, DWORD size, DWORD *done) {
  if (DWORD error = CheckFault("WriteFile", name_)) return Fail(error);
  if (buffer == nullptr && size > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);

  const int64_t limit = WriteTotalTimeout(Timeouts(), size);
  const auto *bytes = static_cast<const unsigned char *>(buffer);
  const Clock::time_point start = Clock::now();
  while (*done < size) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    const LinePtr line = LiveLine();
    if (!line) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    ssize_t n = write(line->fd, bytes + *done, size - *done);
    if (n > 0) {
      *done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EIO) {
      NoteHangUp(line);
      return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (n < 0 && errno != EAGAIN) return FailWithCause(name_, "write failed", errno);
    int64_t wait = kWaitWithoutLimit;
    if (limit != kWaitWithoutLimit) {
      uint64_t spent = MillisecondsSince(start);
      // A write that runs out of time succeeds with the bytes it got out, as on the device.
      if (spent >= static_cast<uint64_t>(limit)) return TRUE;
      wait = limit - static_cast<int64_t>(spent);
    }
    Poll(line->fd, POLLOUT, wait);
  }
  return TRUE;
}

BOOL SerialPort::GetState(DCB *out) {
  std::lock_guard lock(mutex_);
  termios tio{};
  if (!line_) return FailWithCause(name_, "cannot read the line settings", EIO);
  if (tcgetattr(line_->fd, &tio) != 0) return FailWithCause(name_, "cannot read the line settings", errno);
  DCB dcb = dcb_;
  ReadLineSettings(tio, &dcb);
  *out = dcb;
  return TRUE;
}

BOOL SerialPort::SetState(const DCB &dcb) {
  std::lock_guard lock(mutex_);
  // A handle closed while this call was on its way changes nothing: the next holder's settings
  // are not to be overwritten.
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  termios tio{};
  if (!line_) return FailWithCause(name_, "cannot read the line settings", EIO);
  if (tcgetattr(line_->fd, &tio) != 0) return FailWithCause(name_, "cannot read the line settings", errno);
  if (!ApplyLineSettings(dcb, &tio)) return Fail(ERROR_INVALID_PARAMETER);
  if (tcsetattr(line_->fd, TCSANOW, &tio) != 0) return FailWithCause(name_, "cannot change the line settings", errno);
  dcb_ = dcb;
  lineSettings_ = tio;
  return TRUE;
}

BOOL SerialPort::WaitEvent(DWORD *events) {
  DWORD mask;
  uint64_t changes;
  {
    std::lock_guard lock(mutex_);
    mask = mask_;
    changes = maskChanges_;
  }
  // With no event to look for, nothing but SetCommMask could end the wait.
  if (mask == 0) return Fail(ERROR_INVALID_PARAMETER);

  std::lock_guard waiting(waitMutex_);
  // Wake-ups from earlier mask changes are spent; one after this point is caught by comparing
  // maskChanges_ before each sleep.
  DrainMaskWake();
  const bool wantsInput = (mask & EV_RXCHAR) != 0;
  bool lineSuspect = false;  // the line woke the last poll without data
  for (;;) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    {
      std::lock_guard lock(mutex_);
      if (maskChanges_ != changes) {
        *events = 0;
        return TRUE;
      }
    }
    // A hung-up line has nothing to report: the wait goes on, looking for its return.
    const LinePtr line = LiveLine();
    if (!line) {
      Poll(-1, 0, kLineRecheckMs, maskWake_);
      continue;
    }
    // Level-triggered, so that bytes that arrived between a read and this wait are reported.
    const int queued = wantsInput ? InputQueued(*line) : 0;
    if (queued > 0) {
      *events = EV_RXCHAR;
      return TRUE;
    }
    if (queued < 0 && SerialTtyHungUp(line->fd)) {
      NoteHangUp(line);
      continue;
    }
    const bool watchLine = wantsInput && queued == 0 && !lineSuspect;
    const int64_t wait = wantsInput && !watchLine ? kLineRecheckMs : kWaitWithoutLimit;
    const short reported = Poll(watchLine ? line->fd : -1, POLLIN, wait, maskWake_);
    if ((reported & kHangUpEvents) != 0) {
      NoteHangUp(line);
      continue;
    }
    lineSuspect = watchLine && reported != 0 && InputQueued(*line) <= 0;
  }
}

BOOL SerialPort::Purge(DWORD flags) {
  if ((flags & ~static_cast<DWORD>(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // Reads and writes are never left pending (they block their caller), so the abort flags have
  // nothing to end; the clear flags drop what the queues hold.
  const bool input = (flags & PURGE_RXCLEAR) != 0;
  const bool output = (flags & PURGE_TXCLEAR) != 0;
  if (!input && !output) return TRUE;
  int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  const LinePtr line = CurrentLine();
  if (!line) return FailWithCause(name_, "cannot purge the line", EIO);
  if (tcflush(line->fd, queue) != 0) return FailWithCause(name_, "cannot purge the line", errno);
  return TRUE;
}

namespace {

// The comm call each served control code stands for, as fault injection names them.
const char *CommCallOf(DWORD code) {
  switch (code) {
    case IOCTL_SERIAL_GET_DCB: return "GetCommState";
    case IOCTL_SERIAL_SET_DCB: return "SetCommState";
    case IOCTL_SERIAL_GET_TIMEOUTS: return "GetCommTimeouts";
    case IOCTL_SERIAL_SET_TIMEOUTS: return "SetCommTimeouts";
    case IOCTL_SERIAL_GET_WAIT_MASK: return "GetCommMask";
    case IOCTL_SERIAL_SET_WAIT_MASK: return "SetCommMask";
    case IOCTL_SERIAL_WAIT_ON_MASK: return "WaitCommEvent";
    case IOCTL_SERIAL_PURGE: return "PurgeComm";
    default: return nullptr;
  }
}

template <class T>
bool Holds(const void *buffer, DWORD size) {
  return buffer != nullptr && size >= sizeof(T);
}

}  // namespace

BOOL SerialPort::IoControl(DWORD code, void *in, DWORD inSize, void *out, DWORD outSize, DWORD *returned) {
  const char *call = CommCallOf(code);
  if (call == nullptr) return Fail(ERROR_NOT_SUPPORTED);
  if (DWORD error = CheckFault(call, name_)) return Fail(error);
  auto done = [&](DWORD size) {
    if (returned != nullptr) *returned = size;
    return TRUE;
  };
  switch (code) {
    case IOCTL_SERIAL_GET_DCB: {
      if (!Holds<DCB>(out, outSize)) return Fail(ERROR_INVALID_PARAMETER);
      DCB dcb{};
      if (!GetState(&dcb)) return FALSE;
      std::memcpy(out, &dcb, sizeof dcb);
      return done(sizeof dcb);
    }
    case IOCTL_SERIAL_SET_DCB: {
      if (!Holds<DCB>(in, inSize)) return Fail(ERROR_INVALID_PARAMETER);
      DCB dcb;
      std::memcpy(&dcb, in, sizeof dcb);
      return SetState(dcb) && done(0);
    }
    case IOCTL_SERIAL_GET_TIMEOUTS: {
      if (!Holds<COMMTIMEOUTS>(out, outSize)) return Fail(ERROR_INVALID_PARAMETER);
      const COMMTIMEOUTS timeouts = Timeouts();
      std::memcpy(out, &timeouts, sizeof timeouts);
      return done(sizeof timeouts);
    }
    case IOCTL_SERIAL_SET_TIMEOUTS: {
      if (!Holds<COMMTIMEOUTS>(in, inSize)) return Fail(ERROR_INVALID_PARAMETER);
      COMMTIMEOUTS timeouts;
      std::memcpy(&timeouts, in, sizeof timeouts);
      SetTimeouts(timeouts);
      return done(0);
    }
    case IOCTL_SERIAL_GET_WAIT_MASK: {
      if (!Holds<DWORD>(out, outSize)) return Fail(ERROR_INVALID_PARAMETER);
      const DWORD mask = Mask();
      std::memcpy(out, &mask, sizeof mask);
      return done(sizeof mask);
    }
    case IOCTL_SERIAL_SET_WAIT_MASK: {
      if (!Holds<DWORD>(in, inSize)) return Fail(ERROR_INVALID_PARAMETER);
      DWORD mask;
      std::memcpy(&mask, in, sizeof mask);
      SetMask(mask);
      return done(0);
    }
    case IOCTL_SERIAL_WAIT_ON_MASK: {
      if (!Holds<DWORD>(out, outSize)) return Fail(ERROR_INVALID_PARAMETER);
      DWORD events = 0;
      if (!WaitEvent(&events)) return FALSE;
      std::memcpy(out, &events, sizeof events);
      return done(sizeof events);
    }
    default: {  // IOCTL_SERIAL_PURGE
      if (!Holds<DWORD>(in, inSize)) return Fail(ERROR_INVALID_PARAMETER);
      DWORD flags;
      std::memcpy(&flags, in, sizeof flags);
      return Purge(flags) && done(0);
    }
  }
}

DWORD OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO:  // a device node with no line behind it, or a pseudo-terminal whose master is gone
      return ERROR_FILE_NOT_FOUND;
    case EISDIR:
      return ERROR_NOT_SUPPORTED;
    case EACCES:
    case EPERM:
    case EBUSY:  // held exclusively (TIOCEXCL) by another program
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_OPEN_FAILED;
  }
}

HANDLE FailOpen(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

HANDLE FailOpenWithCause(const std::string &port, const std::string &what, int error) {
  NKDbgPrintfW(u"serial: %a %a: %a\n", port.c_str(), what.c_str(), std::strerror(error));
  return FailOpen(ERROR_OPEN_FAILED);
}

// Why the tty could not be had, as a client is told ("started, but the port COM1: (PATH) cannot be
// opened: REASON"), and whether that may change by itself when the path does.
struct OpenFailure {
  std::string reason;
  bool mayAppear = false;
};

OpenFailure DescribeOpenFailure(const std::string &path, const SerialTtyFailure &failure) {
  const std::string cause = std::strerror(failure.error);
  switch (failure.step) {
    case SerialTtyFailure::kNotATty:
      return {"it is not a tty: map the port to the controller's serial line", false};
    case SerialTtyFailure::kLock:
      return {"another program has it open: find it with `fuser " + path + "` and end it", false};
    case SerialTtyFailure::kOpen:
      break;
  }
  switch (failure.error) {
    case ENOENT:
    case ENOTDIR:
      return {cause + " (the controller or its USB adapter is not plugged in, or the port is mapped to another tty)",
              true};
    case ENXIO:
    case ENODEV:
    case EIO:
      return {cause + " (no line is behind the node: the adapter is gone, or a /dev/ttyS node has no UART)", true};
    case EACCES:
    case EPERM:
      return {cause + "; " + AccessAdvice("the port", path), true};
    case EISDIR:
      return {"it is not a tty but a folder: map the port to the controller's serial line", false};
    case EBUSY:
      return {"another program holds the line exclusively (TIOCEXCL): find it with `fuser " + path + "` and end it",
              false};
    default:
      return {cause, false};
  }
}

HANDLE FailToOpenTty(const std::string &port, const std::string &path, const SerialTtyFailure &failure) {
  const OpenFailure described = DescribeOpenFailure(path, failure);
  NoteSerialOpenFailed(port, path, described.reason, described.mayAppear);
  switch (failure.step) {
    case SerialTtyFailure::kOpen:
      if (OpenError(failure.error) == ERROR_OPEN_FAILED) return FailOpenWithCause(port, "cannot open " + path, failure.error);
      if (failure.error == EACCES || failure.error == EPERM) {
        NKDbgPrintfW(u"serial: %a cannot open %a: %a; %a\n", port.c_str(), path.c_str(), std::strerror(failure.error),
                     AccessAdvice("the port", path).c_str());
      }
      if (failure.error == EBUSY) {
        NKDbgPrintfW(u"serial: %a cannot open %a: another program holds the line exclusively (TIOCEXCL); find it "
                     u"with `fuser %a` and end it, then start the driver again\n",
                     port.c_str(), path.c_str(), path.c_str());
      }
      return FailOpen(OpenError(failure.error));
    case SerialTtyFailure::kNotATty:
      return FailOpen(ERROR_NOT_SUPPORTED);
    case SerialTtyFailure::kLock:
      break;
  }
  if (failure.error == EWOULDBLOCK) return FailOpen(ERROR_ACCESS_DENIED);
  return FailOpenWithCause(port, "cannot lock " + path, failure.error);
}

}  // namespace

bool IsSerialPortName(std::u16string_view name) {
  return name.size() == 5 && EqualsIgnoreCase(name.substr(0, 3), u"COM") && name[3] >= u'0' && name[3] <= u'9' &&
         name[4] == u':';
}

HANDLE OpenSerialPort(std::u16string_view name, DWORD) {
  std::string portName = ToUtf8(name);
  if (DWORD error = CheckFault("CreateFileW", portName)) return FailOpen(error);
  if (!IsSerialPortName(name)) return FailOpen(ERROR_FILE_NOT_FOUND);
  for (char &c : portName) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);

  std::string path;
  if (DWORD error = SerialTtyPath(name, &path)) {
    NoteSerialOpenFailed(portName, "",
                         "HKLM\\Platform\\Serial maps it to no tty (its value must name the tty's path as text)",
                         false);
    return FailOpen(error);
  }

  SerialTtyFailure failure;
  const int tty = OpenSerialTty(path, &failure);
  if (tty < 0) return FailToOpenTty(portName, path, failure);
  auto giveUp = [&](const std::string &what, int error) {
    ReleaseSerialTty(tty);
    close(tty);
    NoteSerialOpenFailed(portName, path, what + ": " + std::strerror(error), false);
    return FailOpenWithCause(portName, what, error);
  };
  termios settings{};
  if (!MakeSerialTtyRaw(tty, &settings)) return giveUp("cannot set " + path + " to raw mode", errno);
  // Without it the port still works; its bytes just come as the tty delivers them, as on a
  // pseudo-terminal.
  if (int error = RequestLowLatency(tty))
    NKDbgPrintfW(u"serial: %a %a has no low-latency setting: %a\n", portName.c_str(), path.c_str(), std::strerror(error));

  const int closeWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int maskWake = closeWake < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (maskWake < 0) {
    const int error = errno;
    if (closeWake >= 0) close(closeWake);
    return giveUp("cannot make its wake-up counters", error);
  }
  NoteSerialOpened(portName, path);
  return InsertHandle(std::make_shared<SerialPort>(portName, path, tty, settings, closeWake, maskWake));
}

}  // namespace platform
