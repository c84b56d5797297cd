// Armed faults: a list of (call, handle name, error, remaining count), consulted by the
// platform's calls before they act.
#include "platform/faults.h"

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

struct Fault {
  std::string call;
  std::string handleName;
  DWORD error;
  int remaining;  // < 0: without limit
  unsigned delayMs = 0;  // instead of an error: the call waits this long, then acts
  int skip = 0;          // matching calls let through before the fault takes effect
};

struct FaultList {
  std::mutex mutex;
  std::vector<Fault> faults;
  bool loadedFromEnvironment = false;
  // Lets every platform call skip the lock while no fault is armed, the usual case.
  std::atomic<bool> maybeArmed{true};
};

FaultList &Faults() {
  static FaultList *list = new FaultList;
  return *list;
}

bool NamesMatch(const std::string &a, const std::string &b) {
  return EqualsIgnoreCase(ToUtf16(a), ToUtf16(b));
}

bool ParseList(const std::string &list, std::vector<Fault> *out, std::string *error) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(start, end - start);
    start = end + 1;
    if (item.empty()) {
      if (end == list.size()) break;
      continue;
    }
    size_t equals = item.find('=');
    if (equals == std::string::npos || equals == 0) {
      if (error) *error = "fault '" + item + "' is not CALL[@NAME]=ERROR[*COUNT][/SKIP]";
      return false;
    }
    Fault fault{item.substr(0, equals), {}, 0, -1};
    size_t at = fault.call.find('@');
    if (at != std::string::npos) {
      fault.handleName = fault.call.substr(at + 1);
      fault.call.resize(at);
    }
    std::string rest = item.substr(equals + 1);
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) {
      const std::string skipText = rest.substr(slash + 1);
      char *skipEnd = nullptr;
      const long skip = std::strtol(skipText.c_str(), &skipEnd, 10);
      if (skipText.empty() || *skipEnd != 0 || skip < 0) {
        if (error) *error = "fault '" + item + "' has no valid count after '/'";
        return false;
      }
      fault.skip = static_cast<int>(skip);
      rest.resize(slash);
    }
    size_t times = rest.find('*');
    std::string codeText = rest.substr(0, times);
    const bool delay = !codeText.empty() && codeText[0] == '+';
    char *stop = nullptr;
    unsigned long code = std::strtoul(codeText.c_str() + (delay ? 1 : 0), &stop, delay ? 10 : 0);
    if (codeText.size() <= (delay ? 1u : 0u) || *stop != 0 || fault.call.empty() || (delay && code > 60000)) {
      if (error) *error = "fault '" + item + "' has no valid error code (or +MS, a wait of at most 60000 ms)";
      return false;
    }
    if (delay) fault.delayMs = static_cast<unsigned>(code);
    else fault.error = static_cast<DWORD>(code);
    if (times != std::string::npos) {
      std::string countText = rest.substr(times + 1);
      char *countEnd = nullptr;
      long count = std::strtol(countText.c_str(), &countEnd, 10);
      if (countText.empty() || *countEnd != 0 || count < 0) {
        if (error) *error = "fault '" + item + "' has no valid count after '*'";
        return false;
      }
      fault.remaining = static_cast<int>(count);
    }
    out->push_back(fault);
  }
  return true;
}

void LoadEnvironmentLocked(FaultList &list) {
  if (list.loadedFromEnvironment) return;
  list.loadedFromEnvironment = true;
  const char *env = std::getenv("PLATFORM_FAULTS");
  if (env == nullptr || *env == 0) return;
  std::string error;
  std::vector<Fault> parsed;
  if (!ParseList(env, &parsed, &error)) {
    std::fprintf(stderr, "platform: PLATFORM_FAULTS ignored: %s\n", error.c_str());
    return;
  }
  list.faults.insert(list.faults.end(), parsed.begin(), parsed.end());
}

void UpdateArmedLocked(FaultList &list) {
  bool armed = false;
  for (const Fault &fault : list.faults) armed = armed || fault.remaining != 0;
  list.maybeArmed = armed;
}

}  // namespace

void InjectFault(const std::string &call, const std::string &handleName, DWORD error, int count) {
  auto &list = Faults();
  std::lock_guard lock(list.mutex);
  LoadEnvironmentLocked(list);
  list.faults.push_back({call, handleName, error, count});
  UpdateArmedLocked(list);
}

void ClearFaults() {
  auto &list = Faults();
  std::lock_guard lock(list.mutex);
  list.loadedFromEnvironment = true;
  list.faults.clear();
  UpdateArmedLocked(list);
}

bool ArmFaults(const std::string &text, std::string *error) {
  std::vector<Fault> parsed;
  if (!ParseList(text, &parsed, error)) return false;
  auto &list = Faults();
  std::lock_guard lock(list.mutex);
  LoadEnvironmentLocked(list);
  list.faults.insert(list.faults.end(), parsed.begin(), parsed.end());
  UpdateArmedLocked(list);
  return true;
}

DWORD CheckFault(const char *call, const std::string &handleName) {
  auto &list = Faults();
  if (!list.maybeArmed) return 0;
  DWORD error = 0;
  unsigned delayMs = 0;
  {
    std::lock_guard lock(list.mutex);
    LoadEnvironmentLocked(list);
    for (auto &fault : list.faults) {
      if (fault.remaining == 0 || fault.call != call) continue;
      if (!fault.handleName.empty() && !NamesMatch(fault.handleName, handleName)) continue;
      if (fault.skip > 0) {
        --fault.skip;
        continue;
      }
      if (fault.remaining > 0) --fault.remaining;
      error = fault.error;
      delayMs = fault.delayMs;
      break;
    }
    UpdateArmedLocked(list);
  }
  // A delayed call is one in flight for that long, as a slow line or a loaded system makes it;
  // both ends are said, for whoever waits for the call to be in flight, or done.
  if (delayMs != 0) {
    NKDbgPrintfW(u"platform: %a on %a held up for %u ms (PLATFORM_FAULTS)\n", call, handleName.c_str(), delayMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    NKDbgPrintfW(u"platform: %a on %a goes on after %u ms\n", call, handleName.c_str(), delayMs);
  }
  return error;
}

}  // namespace platform
