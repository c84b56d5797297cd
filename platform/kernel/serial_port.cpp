// Serial ports: "COMn:" opens the tty that HKLM\Platform\Serial names, exclusively and in raw
// mode, and the comm calls act on it with the device's results: a DCB whose line fields live in
// termios, reads and writes bounded by COMMTIMEOUTS, and WaitCommEvent on the input queue.
#include "serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel_object.h"
#include "platform/access_advice.h"
#include "platform/faults.h"
#include "platform/text.h"
#include "serial_line_settings.h"
#include "serial_timeouts.h"
#include "serial_tty_path.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// A hung-up line (its far end gone) reports itself readable forever without data; while it does,
// waits look at it again only this often instead of spinning on it.
constexpr int64_t kHungLineRecheckMs = 200;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// For failures with no Win32 code of their own: the code says little, so the cause goes to the
// debug output.
BOOL FailWithCause(const std::string &port, const char *what, int error) {
  NKDbgPrintfW(u"serial: %a: %a: %a\n", port.c_str(), what, std::strerror(error));
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

class SerialPort : public KernelObject {
 public:
  SerialPort(std::string name, int tty, int closeWake, int maskWake)
      : name_(std::move(name)), tty_(tty), closeWake_(closeWake), maskWake_(maskWake) {}

  ~SerialPort() override {
    close(tty_);
    close(closeWake_);
    close(maskWake_);
  }

  std::string Name() const override { return name_; }

  // Wakes every call blocked on the port and frees the line for the next open; the descriptor
  // itself stays open until the last of those calls has returned.
  void OnClose() override {
    closed_ = true;
    Signal(closeWake_);
    flock(tty_, LOCK_UN);
  }

  BOOL Read(void *buffer, DWORD size, DWORD *done) override;
  BOOL Write(const void *buffer, DWORD size, DWORD *done) override;

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
  int InputQueued() const {
    int queued = 0;
    return ioctl(tty_, FIONREAD, &queued) == 0 ? queued : -1;
  }

  // Sleeps until the line reports one of events (when watchLine), the port is closed, extraFd
  // becomes readable, or wait milliseconds pass. Returns what the line reported, 0 for nothing.
  short Poll(bool watchLine, short events, int64_t wait, int extraFd = -1) const {
    struct pollfd fds[3] = {{closeWake_, POLLIN, 0}, {watchLine ? tty_ : -1, events, 0}, {extraFd, POLLIN, 0}};
    int timeout = wait == kWaitWithoutLimit ? -1 : static_cast<int>(std::min<int64_t>(wait, INT_MAX));
    if (poll(fds, 3, timeout) <= 0) return 0;
    return fds[1].revents;
  }

  void DrainMaskWake() {
    uint64_t count;
    ssize_t ignored = read(maskWake_, &count, sizeof count);
    (void)ignored;  // nothing to drain is fine
  }

  const std::string name_;
  const int tty_;
  const int closeWake_;  // readable once the handle is closed; never drained
  const int maskWake_;   // readable after SetCommMask until a WaitCommEvent drains it
  std::atomic<bool> closed_{false};

  std::mutex mutex_;  // guards what follows, and orders SetCommState against GetCommState
  DCB dcb_ = DefaultDcb();
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  uint64_t maskChanges_ = 0;

  std::mutex waitMutex_;  // one WaitCommEvent at a time owns maskWake_
};

BOOL SerialPort::Read(void *buffer, DWORD size, DWORD *done) {
  if (DWORD error = CheckFault("ReadFile", name_)) return Fail(error);
  if (buffer == nullptr && size > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (size == 0) return TRUE;

  const ReadTimeoutRule rule(Timeouts(), size);
  auto *bytes = static_cast<unsigned char *>(buffer);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastByte = start;
  bool lineReported = false;  // the last poll woke for the line
  for (;;) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    ssize_t n = read(tty_, bytes + *done, size - *done);
    if (n > 0) {
      *done += static_cast<DWORD>(n);
      lastByte = Clock::now();
      lineReported = false;
      if (*done == size) return TRUE;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EIO) {
      if (*done > 0) return TRUE;  // the error shows again on the next read
      return FailWithCause(name_, "read failed", errno);
    }
    // With VMIN 0 a live line with nothing to read returns 0 too; it is hung up when it woke the
    // poll yet had nothing, or said EIO.
    const bool hungUp = lineReported || (n < 0 && errno == EIO);
    int64_t wait = rule.RemainingWait(MillisecondsSince(start), *done, MillisecondsSince(lastByte));
    if (wait == 0) return TRUE;
    if (hungUp) wait = wait == kWaitWithoutLimit ? kHungLineRecheckMs : std::min(wait, kHungLineRecheckMs);
    lineReported = Poll(!hungUp, POLLIN, wait) != 0;
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
    ssize_t n = write(tty_, bytes + *done, size - *done);
    if (n > 0) {
      *done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EIO) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    if (n < 0 && errno != EAGAIN) return FailWithCause(name_, "write failed", errno);
    int64_t wait = kWaitWithoutLimit;
    if (limit != kWaitWithoutLimit) {
      uint64_t spent = MillisecondsSince(start);
      // A write that runs out of time succeeds with the bytes it got out, as on the device.
      if (spent >= static_cast<uint64_t>(limit)) return TRUE;
      wait = limit - static_cast<int64_t>(spent);
    }
    Poll(true, POLLOUT, wait);
  }
  return TRUE;
}

BOOL SerialPort::GetState(DCB *out) {
  std::lock_guard lock(mutex_);
  termios tio{};
  if (tcgetattr(tty_, &tio) != 0) return FailWithCause(name_, "cannot read the line settings", errno);
  DCB dcb = dcb_;
  ReadLineSettings(tio, &dcb);
  *out = dcb;
  return TRUE;
}

BOOL SerialPort::SetState(const DCB &dcb) {
  std::lock_guard lock(mutex_);
  termios tio{};
  if (tcgetattr(tty_, &tio) != 0) return FailWithCause(name_, "cannot read the line settings", errno);
  if (!ApplyLineSettings(dcb, &tio)) return Fail(ERROR_INVALID_PARAMETER);
  if (tcsetattr(tty_, TCSANOW, &tio) != 0) return FailWithCause(name_, "cannot change the line settings", errno);
  dcb_ = dcb;
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
  bool lineSuspect = false;  // the line woke the last poll without data: it may have hung up
  for (;;) {
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    {
      std::lock_guard lock(mutex_);
      if (maskChanges_ != changes) {
        *events = 0;
        return TRUE;
      }
    }
    // Level-triggered, so that bytes that arrived between a read and this wait are reported.
    const int queued = wantsInput ? InputQueued() : 0;
    if (queued > 0) {
      *events = EV_RXCHAR;
      return TRUE;
    }
    const bool watchLine = wantsInput && queued == 0 && !lineSuspect;
    const int64_t wait = wantsInput && !watchLine ? kHungLineRecheckMs : kWaitWithoutLimit;
    const short reported = Poll(watchLine, POLLIN, wait, maskWake_);
    lineSuspect = watchLine && reported != 0 && InputQueued() <= 0;
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
  if (tcflush(tty_, queue) != 0) return FailWithCause(name_, "cannot purge the line", errno);
  return TRUE;
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

// Raw bytes both ways, no modem control, no flow control, reads that never block in the kernel;
// the speed stays as it was.
bool MakeRaw(int tty) {
  termios tio{};
  if (tcgetattr(tty, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~CRTSCTS;
  tio.c_iflag &= ~(IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(tty, TCSANOW, &tio) == 0;
}

HANDLE FailOpen(DWORD error, int tty = -1) {
  if (tty >= 0) close(tty);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

HANDLE FailOpenWithCause(const std::string &port, const std::string &what, int error, int tty = -1) {
  NKDbgPrintfW(u"serial: %a: %a: %a\n", port.c_str(), what.c_str(), std::strerror(error));
  return FailOpen(ERROR_OPEN_FAILED, tty);
}

}  // namespace

bool IsSerialPortName(std::u16string_view name) {
  return name.size() == 5 && EqualsIgnoreCase(name.substr(0, 3), u"COM") && name[3] >= u'0' && name[3] <= u'9' &&
         name[4] == u':';
}

HANDLE OpenSerialPort(std::u16string_view name, DWORD) {
  const std::string portName = ToUtf8(name);
  if (DWORD error = CheckFault("CreateFileW", portName)) return FailOpen(error);
  if (!IsSerialPortName(name)) return FailOpen(ERROR_FILE_NOT_FOUND);

  std::string path;
  if (DWORD error = SerialTtyPath(name, &path)) return FailOpen(error);

  int tty = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (tty < 0) {
    const int error = errno;
    if (OpenError(error) == ERROR_OPEN_FAILED) return FailOpenWithCause(portName, "cannot open " + path, error);
    if (error == EACCES || error == EPERM) {
      NKDbgPrintfW(u"serial: %a: cannot open %a: %a; %a\n", portName.c_str(), path.c_str(), std::strerror(error),
                   AccessAdvice("the port", path).c_str());
    }
    return FailOpen(OpenError(error));
  }
  if (!isatty(tty)) return FailOpen(ERROR_NOT_SUPPORTED, tty);
  // flock, unlike TIOCEXCL, also keeps out a second open by root, and by this same process.
  if (flock(tty, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) return FailOpen(ERROR_ACCESS_DENIED, tty);
    return FailOpenWithCause(portName, "cannot lock " + path, error, tty);
  }
  if (!MakeRaw(tty)) return FailOpenWithCause(portName, "cannot set " + path + " to raw mode", errno, tty);

  const int closeWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int maskWake = closeWake < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (maskWake < 0) {
    const int error = errno;
    if (closeWake >= 0) close(closeWake);
    return FailOpenWithCause(portName, "cannot make its wake-up counters", error, tty);
  }
  return InsertHandle(std::make_shared<SerialPort>(portName, tty, closeWake, maskWake));
}

}  // namespace platform

namespace {

// Looks up the port, applies an armed fault, then runs the call's body.
template <class Body>
BOOL OnPort(HANDLE hFile, const char *call, Body body) {
  auto port = platform::LookupHandleAs<platform::SerialPort>(hFile);
  if (!port) return FALSE;
  if (DWORD error = platform::CheckFault(call, port->Name())) return platform::Fail(error);
  return body(*port);
}

}  // namespace

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  return OnPort(hFile, "GetCommState", [&](platform::SerialPort &port) {
    if (lpDCB == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
    return port.GetState(lpDCB);
  });
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  return OnPort(hFile, "SetCommState", [&](platform::SerialPort &port) {
    if (lpDCB == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
    return port.SetState(*lpDCB);
  });
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return OnPort(hFile, "GetCommTimeouts", [&](platform::SerialPort &port) {
    if (lpCommTimeouts == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
    *lpCommTimeouts = port.Timeouts();
    return TRUE;
  });
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return OnPort(hFile, "SetCommTimeouts", [&](platform::SerialPort &port) {
    if (lpCommTimeouts == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
    port.SetTimeouts(*lpCommTimeouts);
    return TRUE;
  });
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  return OnPort(hFile, "GetCommMask", [&](platform::SerialPort &port) {
    if (lpEvtMask == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
    *lpEvtMask = port.Mask();
    return TRUE;
  });
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  return OnPort(hFile, "SetCommMask", [&](platform::SerialPort &port) {
    port.SetMask(dwEvtMask);
    return TRUE;
  });
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  return OnPort(hFile, "WaitCommEvent", [&](platform::SerialPort &port) {
    // Only blocking waits exist here; an overlapped one would never be completed.
    if (lpOverlapped != nullptr || lpEvtMask == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
    DWORD events = 0;
    if (!port.WaitEvent(&events)) return FALSE;
    *lpEvtMask = events;
    return TRUE;
  });
}

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return OnPort(hFile, "PurgeComm", [&](platform::SerialPort &port) { return port.Purge(dwFlags); });
}
