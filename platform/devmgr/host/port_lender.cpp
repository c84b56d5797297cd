// Lent serial ports: each open is devmgr's own open of the port's tty, and each control code a
// program sends on its handle is carried out on it here, when a lent port serves it. A call's wait
// is bounded well within the time a client waits for devmgr, so that a loan always ends when its
// program goes. A take-back discards what is queued to send (so closing the tty never waits for the
// line to drain) and waits for the calls in flight, so nothing a borrower set outlives it.
#include "host/port_lender.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "host/device_host.h"
#include "host/log.h"
#include "platform/serial_port_owner.h"
#include "platform/text.h"

namespace devmgr {
namespace {

// The longest a read on a lent port waits, whatever time-outs its program set: a read then
// returns what came meanwhile, as a read whose time-out ran out does.
constexpr DWORD kLongestWaitMs = 5000;

struct Loan {
  std::string port;
  DeviceHost *host = nullptr;
  // Shared by the loan's calls while they use the handle; taken whole by the take-back, which so
  // waits for the calls in flight.
  std::shared_mutex inUse;
  std::atomic<HANDLE> handle{INVALID_HANDLE_VALUE};  // INVALID_HANDLE_VALUE once taken back
  COMMTIMEOUTS asked{};    // as the program set them
  COMMTIMEOUTS applied{};  // as the tty has them
  std::atomic<bool> refusalSaid{false};
};

struct LentPort {
  std::string port;
  DeviceHost *host = nullptr;
};

std::mutex mutex;  // guards what follows
std::vector<LentPort> ports;                   // device context - 1
std::map<DWORD, std::shared_ptr<Loan>> loans;  // by open context
DWORD nextOpen = 1;

std::shared_ptr<Loan> FindLoan(DWORD open) {
  std::lock_guard lock(mutex);
  auto found = loans.find(open);
  return found != loans.end() ? found->second : nullptr;
}

std::string BorrowersOf(DeviceHost *host) { return host != nullptr ? host->HoldersOfHandles() : std::string(); }

// The time-outs that bound one read of `count` bytes to kLongestWaitMs.
COMMTIMEOUTS Bounded(COMMTIMEOUTS t, DWORD count) {
  const bool returnBuffered = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                              t.ReadTotalTimeoutConstant == 0;
  const bool firstByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
  if (firstByte) {
    t.ReadTotalTimeoutConstant = std::min(t.ReadTotalTimeoutConstant, kLongestWaitMs);
  } else if (!returnBuffered) {
    const uint64_t read = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    if (read == 0 || read > kLongestWaitMs) {
      t.ReadTotalTimeoutMultiplier = 0;
      t.ReadTotalTimeoutConstant = kLongestWaitMs;
    }
  }
  return t;
}

bool SameTimeouts(const COMMTIMEOUTS &a, const COMMTIMEOUTS &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// A loan in use for one call: the handle, or INVALID_HANDLE_VALUE (ERROR_DEVICE_NOT_CONNECTED set)
// once it was taken back. A call that failed because its handle was taken back meanwhile says so.
class InUse {
 public:
  explicit InUse(Loan &loan) : loan_(loan), lock_(loan.inUse), handle_(loan.handle.load()) {
    if (handle_ == INVALID_HANDLE_VALUE) SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  }
  HANDLE handle() const { return handle_; }
  BOOL Finish(BOOL done) const {
    if (!done && loan_.handle.load() == INVALID_HANDLE_VALUE) SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return done;
  }

 private:
  Loan &loan_;
  std::shared_lock<std::shared_mutex> lock_;
  HANDLE handle_;
};

// A lent port only reads: whatever would send to the controller is refused, with one line a loan.
BOOL RefuseSending(Loan &loan, const char *what) {
  if (!loan.refusalSaid.exchange(true)) {
    const std::string who = BorrowersOf(loan.host);
    LogError(loan.port + " refused " + (who.empty() ? std::string("the program it is lent to") : who) + " " + what +
             ": a lent port only reads, so that nothing sent to the controller outlasts the loan");
  }
  return Fail(ERROR_ACCESS_DENIED);
}

bool ApplyBounded(Loan &loan, HANDLE handle, DWORD count) {
  const COMMTIMEOUTS wanted = Bounded(loan.asked, count);
  if (SameTimeouts(wanted, loan.applied)) return true;
  COMMTIMEOUTS copy = wanted;
  if (!SetCommTimeouts(handle, &copy)) return false;
  loan.applied = wanted;
  return true;
}

DWORD Init(LPCWSTR, LPCVOID) { return 0; }
BOOL Deinit(DWORD) { return TRUE; }

DWORD Open(DWORD device, DWORD, DWORD) {
  LentPort lent;
  {
    std::lock_guard lock(mutex);
    if (device == 0 || device > ports.size()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    lent = ports[device - 1];
  }
  // The lender's own open of the tty, which takes back nothing.
  HANDLE handle = platform::OpenSerialPortTty(platform::ToUtf16(lent.port), GENERIC_READ | GENERIC_WRITE);
  if (handle == INVALID_HANDLE_VALUE) return 0;  // the last error says why, as a direct open would
  auto loan = std::make_shared<Loan>();
  loan->port = lent.port;
  loan->host = lent.host;
  loan->handle = handle;
  GetCommTimeouts(handle, &loan->asked);
  loan->applied = loan->asked;
  std::lock_guard lock(mutex);
  const DWORD open = nextOpen++;
  loans[open] = std::move(loan);
  return open;
}

BOOL Close(DWORD open) {
  std::shared_ptr<Loan> loan;
  {
    std::lock_guard lock(mutex);
    auto found = loans.find(open);
    if (found == loans.end()) return FALSE;
    loan = found->second;
    loans.erase(found);
  }
  HANDLE handle = loan->handle.exchange(INVALID_HANDLE_VALUE);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return TRUE;
}

constexpr DWORD kFailed = 0xFFFFFFFFu;

DWORD Read(DWORD open, LPVOID buffer, DWORD count) {
  auto loan = FindLoan(open);
  if (!loan) return kFailed;
  InUse use(*loan);
  DWORD done = 0;
  if (use.handle() == INVALID_HANDLE_VALUE || !use.Finish(ApplyBounded(*loan, use.handle(), count)) ||
      !use.Finish(ReadFile(use.handle(), buffer, count, &done, nullptr)))
    return kFailed;
  return done;
}

DWORD Write(DWORD open, LPCVOID, DWORD) {
  auto loan = FindLoan(open);
  if (!loan) return kFailed;
  RefuseSending(*loan, "a write");
  return kFailed;
}

template <class T>
bool Fits(DWORD length, const void *buffer) {
  return buffer != nullptr && length >= sizeof(T);
}

BOOL IOControl(DWORD open, DWORD code, PBYTE in, DWORD inLength, PBYTE out, DWORD outLength, PDWORD returned) {
  auto loan = FindLoan(open);
  if (!loan) return Fail(ERROR_INVALID_HANDLE);
  switch (code) {
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
      return RefuseSending(*loan, "a break");
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
      return RefuseSending(*loan, "a change of the lines it sends on");
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      return RefuseSending(*loan, "a character to send");
    case IOCTL_SERIAL_PURGE: {
      if (!Fits<DWORD>(inLength, in)) return Fail(ERROR_INVALID_PARAMETER);
      DWORD flags;
      std::memcpy(&flags, in, sizeof flags);
      if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0) return RefuseSending(*loan, "a purge of what it sends");
      break;
    }
    case IOCTL_SERIAL_GET_DCB:
    case IOCTL_SERIAL_SET_DCB:
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_GET_TIMEOUTS:
    case IOCTL_SERIAL_SET_TIMEOUTS:
      break;
    default:  // the wait on the mask among them: a calibration reads, it does not wait for events
      return Fail(ERROR_NOT_SUPPORTED);
  }
  InUse use(*loan);
  if (use.handle() == INVALID_HANDLE_VALUE) return FALSE;
  // The time-outs a program sets are its own; the tty keeps them bounded (Read).
  if (code == IOCTL_SERIAL_GET_TIMEOUTS || code == IOCTL_SERIAL_SET_TIMEOUTS) {
    const bool get = code == IOCTL_SERIAL_GET_TIMEOUTS;
    if (get ? !Fits<COMMTIMEOUTS>(outLength, out) : !Fits<COMMTIMEOUTS>(inLength, in))
      return Fail(ERROR_INVALID_PARAMETER);
    if (get) std::memcpy(out, &loan->asked, sizeof loan->asked);
    else std::memcpy(&loan->asked, in, sizeof loan->asked);
    if (returned != nullptr) *returned = get ? sizeof loan->asked : 0;
    return TRUE;
  }
  return use.Finish(DeviceIoControl(use.handle(), code, in, inLength, out, outLength, returned, nullptr));
}

// Ends the loans of `port` (every port when empty) and says whose they were.
void EndLoans(const std::string &port, const std::string &why) {
  std::vector<std::shared_ptr<Loan>> ending;
  {
    std::lock_guard lock(mutex);
    for (auto &[open, loan] : loans)
      if ((port.empty() || loan->port == port) && loan->handle.load() != INVALID_HANDLE_VALUE) ending.push_back(loan);
  }
  for (const auto &loan : ending) {
    const std::string who = BorrowersOf(loan->host);
    HANDLE handle = loan->handle.exchange(INVALID_HANDLE_VALUE);
    if (handle == INVALID_HANDLE_VALUE) continue;
    LogError(loan->port + " took the port back from " + (who.empty() ? std::string("the program it was lent to") : who) +
             ": " + why);
    // Nothing queued to send is left for the close to wait for on a slow line; closing wakes a
    // call that waits on the line, which then fails; the calls in flight end before the port is
    // anyone else's.
    PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(handle);
    std::unique_lock wait(loan->inUse);
  }
  // The borrowers' connections end: a loan taken back holds no place and names nobody later.
  std::vector<DeviceHost *> hosts;
  for (const auto &loan : ending)
    if (loan->host != nullptr && std::find(hosts.begin(), hosts.end(), loan->host) == hosts.end())
      hosts.push_back(loan->host);
  for (DeviceHost *host : hosts) host->EndHolders();
}

void TakeBack(const std::string &port) { EndLoans(port, "the driver opens it again"); }

}  // namespace

const StreamEntryPoints &LenderEntryPoints() {
  static const StreamEntryPoints entries = [] {
    StreamEntryPoints e;
    e.Init = Init;
    e.Deinit = Deinit;
    e.Open = Open;
    e.Close = Close;
    e.Read = Read;
    e.Write = Write;
    e.IOControl = IOControl;
    return e;
  }();
  return entries;
}

void StartLending() {
  // Every serial port is devmgr's own device: its drivers open the tty, never a loan's socket.
  for (char digit = '0'; digit <= '9'; ++digit) platform::ServeDeviceHere(std::string("COM") + digit + ":");
  platform::OnSerialPortOpening(TakeBack);
}

DWORD LendPort(const std::string &port) {
  std::lock_guard lock(mutex);
  ports.push_back({port, nullptr});
  return static_cast<DWORD>(ports.size());
}

void LendThrough(DWORD context, DeviceHost *host) {
  std::lock_guard lock(mutex);
  if (context != 0 && context <= ports.size()) ports[context - 1].host = host;
}

std::string Borrowers(const std::string &port) {
  std::vector<std::shared_ptr<Loan>> lent;
  {
    std::lock_guard lock(mutex);
    for (auto &[open, loan] : loans)
      if (loan->port == port && loan->handle.load() != INVALID_HANDLE_VALUE) lent.push_back(loan);
  }
  return lent.empty() ? std::string() : BorrowersOf(lent.front()->host);
}

void TakeBackAllLoans(const std::string &why) { EndLoans("", why); }

}  // namespace devmgr
