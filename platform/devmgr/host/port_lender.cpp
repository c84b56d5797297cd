// Lent serial ports: each open is devmgr's own CreateFileW on the port, and each call a program
// makes on its handle is carried out on it here. A call's wait is bounded well within the time a
// client waits for devmgr, so that a loan always ends when its program goes.
#include "host/port_lender.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/log.h"
#include "platform/serial_port_lending.h"
#include "platform/text.h"

namespace devmgr {
namespace {

// The longest a read or a write on a lent port waits, whatever time-outs its program set: a read
// then returns what came meanwhile, as a read whose time-out ran out does.
constexpr DWORD kLongestWaitMs = 5000;

struct Loan {
  std::string port;
  std::atomic<HANDLE> handle{INVALID_HANDLE_VALUE};  // INVALID_HANDLE_VALUE once taken back
  COMMTIMEOUTS asked{};    // as the program set them
  COMMTIMEOUTS applied{};  // as the tty has them
};

struct LentPort {
  std::string port;
  std::function<std::string()> borrowers;
};

std::mutex mutex;  // guards what follows
std::vector<LentPort> ports;                     // device context - 1
std::map<DWORD, std::shared_ptr<Loan>> loans;    // by open context
DWORD nextOpen = 1;

// Set while a loan's own open runs, which takes nothing back.
thread_local bool opening = false;

std::shared_ptr<Loan> FindLoan(DWORD open) {
  std::lock_guard lock(mutex);
  auto found = loans.find(open);
  return found != loans.end() ? found->second : nullptr;
}

// The time-outs that bound one call of `count` bytes to kLongestWaitMs.
COMMTIMEOUTS Bounded(COMMTIMEOUTS t, DWORD count) {
  const bool returnBuffered = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                              t.ReadTotalTimeoutConstant == 0;
  const bool firstByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
  auto total = [count](DWORD multiplier, DWORD constant) {
    return static_cast<uint64_t>(multiplier) * count + constant;
  };
  if (firstByte) {
    t.ReadTotalTimeoutConstant = std::min(t.ReadTotalTimeoutConstant, kLongestWaitMs);
  } else if (!returnBuffered) {
    const uint64_t read = total(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant);
    if (read == 0 || read > kLongestWaitMs) {
      t.ReadTotalTimeoutMultiplier = 0;
      t.ReadTotalTimeoutConstant = kLongestWaitMs;
    }
  }
  const uint64_t write = total(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
  if (write == 0 || write > kLongestWaitMs) {
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kLongestWaitMs;
  }
  return t;
}

bool SameTimeouts(const COMMTIMEOUTS &a, const COMMTIMEOUTS &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The loan's handle for one call; INVALID_HANDLE_VALUE, with ERROR_DEVICE_NOT_CONNECTED set, once
// it was taken back.
HANDLE LoanHandle(const Loan &loan) {
  HANDLE handle = loan.handle.load();
  if (handle == INVALID_HANDLE_VALUE) SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return handle;
}

// A call that failed because its handle was taken back meanwhile says so.
BOOL Finish(const Loan &loan, BOOL done) {
  if (!done && loan.handle.load() == INVALID_HANDLE_VALUE) SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return done;
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
  std::string port;
  {
    std::lock_guard lock(mutex);
    if (device == 0 || device > ports.size()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    port = ports[device - 1].port;
  }
  opening = true;
  const std::u16string name = platform::ToUtf16(port);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  opening = false;
  if (handle == INVALID_HANDLE_VALUE) return 0;  // the last error says why, as a direct open would
  auto loan = std::make_shared<Loan>();
  loan->port = port;
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

// A read or a write of `count` bytes on the loan, with its wait bounded; the bytes done, or
// kFailed with the last error set.
template <class Transfer>
DWORD Stream(DWORD open, DWORD count, Transfer transfer) {
  auto loan = FindLoan(open);
  if (!loan) return kFailed;
  HANDLE handle = LoanHandle(*loan);
  DWORD done = 0;
  if (handle == INVALID_HANDLE_VALUE || !Finish(*loan, ApplyBounded(*loan, handle, count)) ||
      !Finish(*loan, transfer(handle, &done)))
    return kFailed;
  return done;
}

DWORD Read(DWORD open, LPVOID buffer, DWORD count) {
  return Stream(open, count, [&](HANDLE handle, DWORD *done) { return ReadFile(handle, buffer, count, done, nullptr); });
}

DWORD Write(DWORD open, LPCVOID buffer, DWORD count) {
  return Stream(open, count,
                [&](HANDLE handle, DWORD *done) { return WriteFile(handle, buffer, count, done, nullptr); });
}

template <class T>
bool Fits(DWORD length, const void *buffer) {
  return buffer != nullptr && length >= sizeof(T);
}

BOOL IOControl(DWORD open, DWORD code, PBYTE in, DWORD inLength, PBYTE out, DWORD outLength, PDWORD returned) {
  auto loan = FindLoan(open);
  if (!loan) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HANDLE handle = LoanHandle(*loan);
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  auto fail = [](DWORD error) {
    SetLastError(error);
    return FALSE;
  };
  BOOL done = FALSE;
  switch (code) {
    case platform::kLentGetCommState: {
      if (!Fits<DCB>(outLength, out)) return fail(ERROR_INVALID_PARAMETER);
      DCB dcb{};
      done = GetCommState(handle, &dcb);
      if (done) std::memcpy(out, &dcb, sizeof dcb);
      break;
    }
    case platform::kLentSetCommState: {
      if (!Fits<DCB>(inLength, in)) return fail(ERROR_INVALID_PARAMETER);
      DCB dcb;
      std::memcpy(&dcb, in, sizeof dcb);
      done = SetCommState(handle, &dcb);
      break;
    }
    case platform::kLentGetCommTimeouts:
      if (!Fits<COMMTIMEOUTS>(outLength, out)) return fail(ERROR_INVALID_PARAMETER);
      std::memcpy(out, &loan->asked, sizeof loan->asked);
      done = TRUE;
      break;
    case platform::kLentSetCommTimeouts:
      if (!Fits<COMMTIMEOUTS>(inLength, in)) return fail(ERROR_INVALID_PARAMETER);
      std::memcpy(&loan->asked, in, sizeof loan->asked);
      done = TRUE;
      break;
    case platform::kLentGetCommMask: {
      if (!Fits<DWORD>(outLength, out)) return fail(ERROR_INVALID_PARAMETER);
      DWORD mask = 0;
      done = GetCommMask(handle, &mask);
      if (done) std::memcpy(out, &mask, sizeof mask);
      break;
    }
    case platform::kLentSetCommMask:
    case platform::kLentPurgeComm: {
      if (!Fits<DWORD>(inLength, in)) return fail(ERROR_INVALID_PARAMETER);
      DWORD value;
      std::memcpy(&value, in, sizeof value);
      done = code == platform::kLentSetCommMask ? SetCommMask(handle, value) : PurgeComm(handle, value);
      break;
    }
    default:
      return fail(ERROR_NOT_SUPPORTED);
  }
  if (returned != nullptr) *returned = done && out != nullptr ? outLength : 0;
  return Finish(*loan, done);
}

// Ends the loans of `port` (every port when empty) and says whose they were.
void EndLoans(const std::string &port, const std::string &why) {
  std::vector<std::pair<std::string, std::function<std::string()>>> lent;
  std::vector<HANDLE> handles;
  {
    std::lock_guard lock(mutex);
    for (auto &[open, loan] : loans) {
      if (!port.empty() && loan->port != port) continue;
      HANDLE handle = loan->handle.exchange(INVALID_HANDLE_VALUE);
      if (handle == INVALID_HANDLE_VALUE) continue;
      handles.push_back(handle);
      for (const LentPort &lentPort : ports)
        if (lentPort.port == loan->port) lent.emplace_back(loan->port, lentPort.borrowers);
    }
  }
  for (auto &[name, borrowers] : lent) {
    const std::string who = borrowers ? borrowers() : std::string();
    LogError(name + " took the port back from " + (who.empty() ? std::string("the program it was lent to") : who) +
             ": " + why);
  }
  // Closing wakes a call of the loan's program that waits on the line; it then fails.
  for (HANDLE handle : handles) CloseHandle(handle);
}

void TakeBack(const std::string &port) {
  if (!opening) EndLoans(port, "the driver opens it again");
}

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

void StartLending() { platform::LendSerialPorts(TakeBack); }

DWORD LendPort(const std::string &port, std::function<std::string()> borrowers) {
  std::lock_guard lock(mutex);
  ports.push_back({port, std::move(borrowers)});
  return static_cast<DWORD>(ports.size());
}

void TakeBackAllLoans(const std::string &why) { EndLoans("", why); }

}  // namespace devmgr
