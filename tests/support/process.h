// Child processes for end-to-end tests: starts a program with arguments and environment, captures
// its standard output and standard error line by line, and waits for a line, or for the exit,
// within a bound, without sleeping.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testing_support {

enum class Stream { kStdout, kStderr };

struct ProcessExit {
  int code = -1;   // the exit status, or -1 when a signal ended the process
  int signal = 0;  // the signal that ended it, or 0
};

class ChildProcess {
 public:
  // Starts `program` with `arguments` (argv[1] onwards) in this process's environment, with each
  // entry of `environment` set, or unset where it holds no value. Standard input is /dev/null.
  // Throws std::runtime_error when the program cannot be started.
  ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
               const std::map<std::string, std::optional<std::string>> &environment = {});
  // Kills the process with SIGKILL when it is still running, and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  pid_t pid() const { return pid_; }

  // The first complete line of the stream containing `text`, waiting up to `timeout` for it to
  // appear; nothing when it did not (the stream ended, or the time ran out).
  std::optional<std::string> WaitForLine(Stream stream, std::string_view text, std::chrono::milliseconds timeout);
  // The complete lines received so far, without their newlines.
  std::vector<std::string> Lines(Stream stream) const;
  // Everything received so far, an unfinished last line included.
  std::string Output(Stream stream) const;

  // Sends a signal; false when the process has already been reaped or the signal failed. SIGSTOP
  // returns once every thread of the process has stopped.
  bool Signal(int signal);
  // Waits up to `timeout` for the process to end and reaps it; once it has, also waits (within
  // what remains of the bound) until both streams are read to their end, so that Output and Lines
  // hold everything it wrote. Nothing when it is still running.
  std::optional<ProcessExit> WaitForExit(std::chrono::milliseconds timeout);

 private:
  struct Capture {
    std::string text;
    size_t completeLength = 0;  // bytes of text that end with a newline
    bool ended = false;
  };

  void ReadOutput();
  const Capture &CaptureOf(Stream stream) const { return stream == Stream::kStdout ? stdout_ : stderr_; }

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  int wakeRead_ = -1;  // the destructor stops the reader through this pipe
  int wakeWrite_ = -1;
  std::optional<ProcessExit> exit_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Capture stdout_;
  Capture stderr_;
  std::thread reader_;
};

}  // namespace testing_support
