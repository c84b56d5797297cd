// Starting and ending calguard. It lies in the running program's folder, as calvex and calguard
// are installed together; its command line is this process's id.
#include "driver_guard.h"

#include <string>

#include "ascii_text.h"

namespace {

// calguard ends at once when terminated; the bound only keeps a wedged system from hanging the run.
constexpr DWORD kGuardEndBound = 5000;

std::u16string GuardPath() {
  WCHAR program[1024];
  const DWORD length = GetModuleFileNameW(nullptr, program, sizeof program / sizeof program[0]);
  if (length == 0 || length >= sizeof program / sizeof program[0]) return {};
  std::u16string path(program, length);
  const size_t folder = path.find_last_of(u"/\\");
  return folder == std::u16string::npos ? std::u16string() : path.substr(0, folder + 1) + u"calguard";
}

}  // namespace

bool DriverGuard::Start(const char *caller) {
  Stop();
  const std::u16string path = GuardPath();
  const std::u16string arguments = Widen(std::to_string(GetCurrentProcessId()));
  PROCESS_INFORMATION started{};
  if (path.empty() || !CreateProcessW(path.c_str(), arguments.c_str(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                      nullptr, &started)) {
    const DWORD error = path.empty() ? ERROR_FILE_NOT_FOUND : GetLastError();
    NKDbgPrintfW(TEXT("calibkit: %a: the guard %a cannot be started (error %u): should this program end during the ")
                     TEXT("calibration, the driver stays stopped until \"nrvctl start\"; install calguard beside ")
                     TEXT("the program\r\n"),
                 caller, path.empty() ? "calguard" : Narrow(path).c_str(), error);
    return false;
  }
  CloseHandle(started.hThread);
  guard_ = started.hProcess;
  return true;
}

void DriverGuard::Stop() {
  if (guard_ == nullptr) return;
  TerminateProcess(guard_, 0);
  WaitForSingleObject(guard_, kGuardEndBound);
  CloseHandle(guard_);
  guard_ = nullptr;
}

void DriverGuard::Detach() {
  if (guard_ == nullptr) return;
  CloseHandle(guard_);
  guard_ = nullptr;
}
