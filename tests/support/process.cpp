// Child processes started with posix_spawn (safe in a threaded test program), their output read by
// one thread per child into line buffers that waiters watch through a condition variable, and
// their exit awaited through a pidfd.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char **environ;

namespace testing_support {
namespace {

int RemainingMilliseconds(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

ProcessExit Decode(int status) {
  ProcessExit exit;
  if (WIFEXITED(status)) exit.code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
  return exit;
}

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::optional<std::string>> &changes) {
  std::map<std::string, std::string> merged;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto &[name, value] : changes) {
    if (value) merged[name] = *value;
    else merged.erase(name);
  }
  std::vector<std::string> result;
  for (const auto &[name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                           const std::map<std::string, std::optional<std::string>> &environment) {
  std::vector<std::string> argumentStrings{program};
  argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (auto &argument : argumentStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentStrings = MergedEnvironment(environment);
  std::vector<char *> envp;
  for (auto &entry : environmentStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out[2], err[2], wake[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    throw std::runtime_error("pipe2 failed");
  }
  if (pipe2(wake, O_CLOEXEC) != 0) {
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    throw std::runtime_error("pipe2 failed");
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts with no signal blocked and the usual dispositions, whatever the test did.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int result = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  close(err[1]);
  if (result != 0) {
    for (int fd : {out[0], err[0], wake[0], wake[1]}) close(fd);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(result));
  }
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  reader_ = std::thread(&ChildProcess::ReadOutput, this);
}

ChildProcess::~ChildProcess() {
  if (!exit_) {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ssize_t written = write(wakeWrite_, "x", 1);
  (void)written;
  reader_.join();
  for (int fd : {pidfd_, stdoutFd_, stderrFd_, wakeRead_, wakeWrite_})
    if (fd >= 0) close(fd);
}

void ChildProcess::ReadOutput() {
  Capture *captures[] = {&stdout_, &stderr_};
  pollfd watched[] = {{stdoutFd_, POLLIN, 0}, {stderrFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
  while (watched[0].fd >= 0 || watched[1].fd >= 0) {
    if (poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[2].revents != 0) break;
    for (int i = 0; i < 2; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      char chunk[4096];
      ssize_t n = read(watched[i].fd, chunk, sizeof(chunk));
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      std::lock_guard lock(mutex_);
      Capture &capture = *captures[i];
      if (n > 0) {
        capture.text.append(chunk, static_cast<size_t>(n));
        size_t newline = capture.text.rfind('\n');
        if (newline != std::string::npos) capture.completeLength = newline + 1;
      } else {
        capture.ended = true;
        watched[i].fd = -1;
      }
      changed_.notify_all();
    }
  }
  std::lock_guard lock(mutex_);
  stdout_.ended = true;
  stderr_.ended = true;
  changed_.notify_all();
}

std::optional<std::string> ChildProcess::WaitForLine(Stream stream, std::string_view text,
                                                     std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const Capture &capture = CaptureOf(stream);
  std::optional<std::string> found;
  size_t searched = 0;  // lines before this offset have been looked at
  changed_.wait_for(lock, timeout, [&] {
    while (searched < capture.completeLength) {
      size_t end = capture.text.find('\n', searched);
      std::string_view line(capture.text.data() + searched, end - searched);
      searched = end + 1;
      if (line.find(text) != std::string_view::npos) {
        found = std::string(line);
        return true;
      }
    }
    return capture.ended;
  });
  return found;
}

std::vector<std::string> ChildProcess::Lines(Stream stream) const {
  std::lock_guard lock(mutex_);
  const Capture &capture = CaptureOf(stream);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < capture.completeLength) {
    size_t end = capture.text.find('\n', start);
    lines.push_back(capture.text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string ChildProcess::Output(Stream stream) const {
  std::lock_guard lock(mutex_);
  return CaptureOf(stream).text;
}

bool ChildProcess::Signal(int signal) {
  if (exit_ || kill(pid_, signal) != 0) return false;
  if (signal != SIGSTOP) return true;
  // kill returns once the signal is queued, while threads on another processor may still run for
  // a moment; the stop is reported to the parent only when every thread has stopped. The report is
  // left in place (WNOWAIT), and an exit ends the wait as well.
  siginfo_t info{};
  int result;
  do result = waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WEXITED | WNOWAIT);
  while (result != 0 && errno == EINTR);
  return result == 0 && info.si_code == CLD_STOPPED;
}

std::optional<ProcessExit> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!exit_) {
    int status = 0;
    if (pidfd_ >= 0) {
      pollfd exited{pidfd_, POLLIN, 0};
      int ready;
      while ((ready = poll(&exited, 1, RemainingMilliseconds(deadline))) < 0 && errno == EINTR) {
      }
      if (ready <= 0) return std::nullopt;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    } else {
      // Without pidfds (kernels before 5.3), look again at short intervals until the bound.
      while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (RemainingMilliseconds(deadline) == 0) return std::nullopt;
        poll(nullptr, 0, 5);
      }
    }
    exit_ = Decode(status);
  }
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return stdout_.ended && stderr_.ended; });
  return exit_;
}

}  // namespace testing_support
