// Processes: CreateProcessW, OpenProcess, TerminateProcess, GetCurrentProcessId and the program's
// own path, with the device's semantics. A process handle is a pidfd, signalled when the process
// ends; a child that has ended is reaped by the wait that sees it end, or when its last handle goes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kernel_object.h"
#include "platform/device_root.h"
#include "platform/faults.h"
#include "platform/text.h"

extern char **environ;

namespace platform {
namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

class Process : public KernelObject {
 public:
  Process(int pidfd, bool child) : pidfd_(pidfd), child_(child) {}
  ~Process() override {
    Reap();
    close(pidfd_);
  }

  DWORD Wait(DWORD milliseconds) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      int wait = -1;
      if (milliseconds != INFINITE) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        wait = left > 0 ? static_cast<int>(left) : 0;
      }
      struct pollfd ready {pidfd_, POLLIN, 0};
      int result = poll(&ready, 1, wait);
      if (result > 0) {
        Reap();
        return WAIT_OBJECT_0;
      }
      if (result == 0) return WAIT_TIMEOUT;
      if (errno != EINTR) {
        SetLastError(ERROR_GEN_FAILURE);
        return WAIT_FAILED;
      }
    }
  }

  BOOL Terminate() {
    if (syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0) == 0) return TRUE;
    // A process that has already ended cannot be terminated.
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }

 private:
  // A child of this process that has ended stays a zombie until it is collected.
  void Reap() {
    std::lock_guard lock(mutex_);
    if (!child_ || reaped_) return;
    siginfo_t info{};
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED | WNOHANG) == 0 &&
        info.si_pid != 0)
      reaped_ = true;
  }

  int pidfd_;
  bool child_;
  std::mutex mutex_;
  bool reaped_ = false;
};

// The arguments of a command line: separated by blanks, a double-quoted stretch kept whole.
std::vector<std::string> SplitCommandLine(const std::string &line) {
  std::vector<std::string> arguments;
  std::string current;
  bool quoted = false, inArgument = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inArgument = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inArgument) arguments.push_back(current);
      current.clear();
      inArgument = false;
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(current);
  return arguments;
}

DWORD SpawnError(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace
}  // namespace platform

extern "C" BOOL WINAPI CreateProcessW(LPCWSTR pszImageName, LPCWSTR pszCmdLine, LPSECURITY_ATTRIBUTES psaProcess,
                                      LPSECURITY_ATTRIBUTES psaThread, BOOL fInheritHandles, DWORD fdwCreate,
                                      LPVOID pvEnvironment, LPWSTR pszCurDir, LPSTARTUPINFOW psiStartInfo,
                                      LPPROCESS_INFORMATION pProcInfo) {
  if (pszImageName == nullptr || pszImageName[0] == 0 || psaProcess != nullptr || psaThread != nullptr ||
      fInheritHandles != FALSE || fdwCreate != 0 || pvEnvironment != nullptr || pszCurDir != nullptr ||
      psiStartInfo != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string image = platform::ToUtf8(pszImageName);
  if (DWORD error = platform::CheckFault("CreateProcessW", image)) {
    SetLastError(error);
    return FALSE;
  }
  std::vector<std::string> arguments{image};
  if (pszCmdLine != nullptr)
    for (std::string &argument : platform::SplitCommandLine(platform::ToUtf8(pszCmdLine)))
      arguments.push_back(std::move(argument));
  std::vector<char *> argv;
  for (std::string &argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // The child runs on this process's device root, however this process was given it.
  std::vector<std::string> environment;
  const std::string root = platform::DeviceRoot();
  for (char **entry = environ; *entry != nullptr; ++entry)
    if (root.empty() || std::strncmp(*entry, "DEVICE_ROOT=", 12) != 0) environment.emplace_back(*entry);
  if (!root.empty()) environment.push_back("DEVICE_ROOT=" + root);
  std::vector<char *> envp;
  for (std::string &entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // No handle is inherited, and the child is a session of its own: on the device no terminal ties
  // processes together, so a signal meant for this one (Ctrl-C, a hang-up) does not end it too.
  // It starts as a new program does, with no signal blocked or ignored, whatever this one blocks.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int result = posix_spawn(&pid, image.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    SetLastError(platform::SpawnError(result));
    return FALSE;
  }
  int pidfd = platform::PidfdOpen(pid);
  if (pidfd < 0) {
    // Only a child already collected behind our back (SIGCHLD ignored) has no pidfd.
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  auto process = std::make_shared<platform::Process>(pidfd, true);
  SetLastError(ERROR_SUCCESS);
  if (pProcInfo != nullptr) {
    // The primary thread ends with its process; its id is the process id, as Linux numbers it.
    pProcInfo->hProcess = platform::InsertHandle(process);
    pProcInfo->hThread = platform::InsertHandle(process);
    pProcInfo->dwProcessId = static_cast<DWORD>(pid);
    pProcInfo->dwThreadId = static_cast<DWORD>(pid);
  }
  return TRUE;
}

extern "C" HANDLE WINAPI OpenProcess(DWORD, BOOL bInheritHandle, DWORD dwProcessId) {
  if (bInheritHandle != FALSE || dwProcessId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int pidfd = platform::PidfdOpen(static_cast<pid_t>(dwProcessId));
  if (pidfd < 0) {
    // No process has that id (any more).
    SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ERROR_GEN_FAILURE);
    return nullptr;
  }
  // Only a child of this process can be collected by its waits.
  siginfo_t info{};
  const bool child = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                            WEXITED | WNOHANG | WNOWAIT) == 0;
  SetLastError(ERROR_SUCCESS);
  return platform::InsertHandle(std::make_shared<platform::Process>(pidfd, child));
}

extern "C" BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT) {
  auto process = platform::LookupHandleAs<platform::Process>(hProcess);
  if (!process) return FALSE;
  return process->Terminate();
}

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (hModule != nullptr) {
    // Only the program's own file has a name here.
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  const std::u16string name = platform::ToUtf16(std::string_view(path, static_cast<size_t>(length)));
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // A buffer too small takes what fits, terminated, and the call returns its size.
  if (name.size() >= nSize) {
    std::memcpy(lpFilename, name.data(), (nSize - 1) * sizeof(char16_t));
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, name.data(), name.size() * sizeof(char16_t));
  lpFilename[name.size()] = 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(name.size());
}
