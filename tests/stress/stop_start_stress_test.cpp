// Stopping and starting the driver a thousand times through its control codes while the real
// touchsim streams reports at full speed into the line it reads: nothing may leak (descriptors,
// threads, kernel handles), every start must find the port again, and the driver must still count.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "kernel_object.h"
#include "norvik_device.h"
#include "norvik_registry.h"
#include "platform/debug_output.h"
#include "platform/pointer_output.h"
#include "platform/text.h"
#include "process.h"
#include "scoped_descriptor.h"
#include "report_assembler.h"
#include "stream_interface.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Stream;

constexpr int kCycles = 1000;
constexpr std::chrono::seconds kBound{20};  // generous: sanitizer builds are many times slower

// Far more reports than the test takes, so the line is never idle; touchsim is stopped at the end.
constexpr const char *kEndlessStream =
    "repeat 10000000\n"
    "  drag 0 0 16383 16383 64\n"
    "  lift\n"
    "end\n";

size_t EntriesIn(const char *directory) {
  size_t count = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(directory)) ++count;
  return count;
}

size_t OpenDescriptors() { return EntriesIn("/proc/self/fd"); }
size_t RunningThreads() { return EntriesIn("/proc/self/task"); }

// A detached thread leaves the task list a moment after its last act, and nothing signals that
// moment, so the list itself is watched, within the bound.
bool WaitForThreadsAtMost(size_t limit) {
  auto deadline = std::chrono::steady_clock::now() + kBound;
  while (RunningThreads() > limit) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

using testing_support::ScopedDescriptor;

// Reads what is left in a line whose sender is frozen, framing it as the driver does; false when
// the line fails. A read of an empty line first moves in what the line still buffers internally,
// so an empty read (0 with the port's settings, EAGAIN without them) means that nothing is left.
bool CountReportsLeftIn(int fd, long *reports) {
  ReportAssembler assembler;
  for (;;) {
    BYTE buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      for (ssize_t i = 0; i < n; ++i) *reports += assembler.Frame(buffer[i]) ? 1 : 0;
    } else if (n == 0 || errno == EAGAIN) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

// Waits until the child has stopped; false when it ended instead. Its state is left to be
// collected as usual.
bool WaitUntilStopped(pid_t pid) {
  siginfo_t info{};
  for (;;) {
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT) == 0)
      return info.si_code == CLD_STOPPED;
    if (errno != EINTR) return false;
  }
}

BOOL Control(DWORD code, DWORD *out = nullptr) {
  return NRV_IOControl(1, code, nullptr, 0, reinterpret_cast<PBYTE>(out), out != nullptr ? sizeof *out : 0, nullptr);
}

// Takes the driver's report count (which the read clears).
DWORD TakeReportCount() {
  DWORD count = 0;
  EXPECT_TRUE(Control(IOCTL_NRV_READ_REPORT_COUNT, &count));
  return count;
}

// The driver loaded in this process as the device manager loads it, with its one handle open, and
// stopped again however the test ends (a second stop touches nothing).
class LoadedDriver {
 public:
  LoadedDriver()
      : context_(NRV_Init(NORVIK_REGISTRY_KEY, nullptr)), open_(NRV_Open(context_, GENERIC_READ | GENERIC_WRITE, 0)) {}
  ~LoadedDriver() { Unload(); }
  LoadedDriver(const LoadedDriver &) = delete;
  LoadedDriver &operator=(const LoadedDriver &) = delete;

  bool loaded() const { return context_ == 1 && open_ == 1; }

  void Unload() {
    NRV_Close(open_);
    NRV_Deinit(context_);
  }

 private:
  DWORD context_;
  DWORD open_;
};

// The driver's debug lines and pointer events, counted as they come, so that the test can wait
// for a number of them.
class DriverOutput {
 public:
  DriverOutput() {
    platform::SetDebugOutputSink([this](const std::u16string &message) {
      std::string line = platform::ToUtf8(message);
      std::lock_guard lock(mutex_);
      if (line == "Tarsel Mouse Found.\r\n") ++portsFound_;
      if (line == "ReadThread Stop.\r\n") ++threadsStopped_;
      changed_.notify_all();
    });
    platform::SetPointerSink([this](const platform::PointerEvent &) {
      std::lock_guard lock(mutex_);
      ++pointerEvents_;
      changed_.notify_all();
    });
  }

  ~DriverOutput() {
    platform::SetPointerSink(nullptr);
    platform::SetDebugOutputSink(nullptr);
  }

  int portsFound() {
    std::lock_guard lock(mutex_);
    return portsFound_;
  }

  long pointerEvents() {
    std::lock_guard lock(mutex_);
    return pointerEvents_;
  }

  bool WaitForThreadsStopped(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return threadsStopped_ >= count; });
  }

  bool WaitForPointerEventsAbove(long count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return pointerEvents_ > count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int portsFound_ = 0;
  int threadsStopped_ = 0;
  long pointerEvents_ = 0;
};

TEST(StopStartStress, ThousandCyclesUnderAFullSpeedStreamLeakNothingAndTheDriverStillCounts) {
  testing_support::TempDeviceRoot root;
  root.WriteHive(testing_support::DefaultInstallation());
  const std::string script = root.path() + "/endless.txt";
  testing_support::WriteFile(script, kEndlessStream);
  ChildProcess touchsim(NORVIK_BIN_DIR "/touchsim",
                        {"--root", root.path(), "--port", "COM1:", "--baud", "0", "--drain-ms", "0", script});
  auto mapped = touchsim.WaitForLine(Stream::kStderr, "touchsim: COM1: is ", kBound);
  ASSERT_TRUE(mapped) << touchsim.Output(Stream::kStderr);
  const std::string linePath = mapped->substr(mapped->rfind(' ') + 1);

  DriverOutput output;
  // Descriptors, threads and handles are counted before the driver is loaded and after it is
  // unloaded, when no read thread runs: while a thread starts, the process may hold a descriptor
  // for a moment, which a count taken then would mistake for a leak.
  const size_t descriptorsBefore = OpenDescriptors();
  const size_t threadsBefore = RunningThreads();
  const size_t handlesBefore = platform::OpenHandleCount();
  LoadedDriver driver;
  ASSERT_TRUE(driver.loaded());
  ASSERT_EQ(output.portsFound(), 1) << "the driver did not open the line touchsim created";

  // Each start must handle a report before the next stop, so every stop lands on a thread that
  // is reading the stream.
  int cycles = 0;
  long counted = 0;
  for (; cycles < kCycles; ++cycles) {
    ASSERT_TRUE(Control(IOCTL_NRV_STOP)) << "cycle " << cycles;
    // Stopped, the driver neither counts nor moves the pointer.
    const long eventsWhileStopped = output.pointerEvents();
    if (cycles == kCycles - 1) counted += TakeReportCount();
    ASSERT_TRUE(Control(IOCTL_NRV_START)) << "cycle " << cycles;
    ASSERT_TRUE(output.WaitForPointerEventsAbove(eventsWhileStopped)) << "no report handled after start " << cycles;
  }
  EXPECT_EQ(output.portsFound(), 1 + kCycles) << "a start did not get the port back";

  // Every stopped read thread has made its last report, and only the last one still runs.
  ASSERT_TRUE(output.WaitForThreadsStopped(kCycles));
  ASSERT_TRUE(WaitForThreadsAtMost(threadsBefore + 1))
      << RunningThreads() << " threads, " << threadsBefore << " before the driver was loaded";

  // What was counted since the last start, which handled at least one report.
  const DWORD countedAfterLastStart = TakeReportCount();
  EXPECT_GT(countedAfterLastStart, 0u);
  counted += countedAfterLastStart;

  // touchsim is frozen rather than ended: ending it would close its end of the line, and the
  // line would drop what it still holds. Frozen, it keeps the line, whose remaining reports are
  // then read here after the driver has stopped.
  ASSERT_TRUE(touchsim.Signal(SIGSTOP));
  ASSERT_TRUE(WaitUntilStopped(touchsim.pid()));
  driver.Unload();
  counted += TakeReportCount();
  EXPECT_TRUE(output.WaitForThreadsStopped(kCycles + 1));
  ASSERT_TRUE(WaitForThreadsAtMost(threadsBefore))
      << RunningThreads() << " threads, " << threadsBefore << " before the driver was loaded";
  const size_t descriptorsAfter = OpenDescriptors();
  const size_t threadsAfter = RunningThreads();
  const size_t handlesAfter = platform::OpenHandleCount();
  EXPECT_EQ(descriptorsAfter, descriptorsBefore);
  EXPECT_EQ(threadsAfter, threadsBefore);
  EXPECT_EQ(handlesAfter, handlesBefore);
  ScopedDescriptor line(open(linePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_GE(line.fd, 0) << linePath;
  long leftInLine = 0;
  ASSERT_TRUE(CountReportsLeftIn(line.fd, &leftInLine));

  // Asked to stop while frozen, it finishes at once and says how many reports it sent.
  ASSERT_TRUE(touchsim.Signal(SIGTERM));
  ASSERT_TRUE(touchsim.Signal(SIGCONT));
  auto touchsimExit = touchsim.WaitForExit(kBound);
  ASSERT_TRUE(touchsimExit);
  EXPECT_EQ(touchsimExit->code, 0) << touchsim.Output(Stream::kStderr);
  auto sentLine = touchsim.WaitForLine(Stream::kStdout, "touchsim: sent", kBound);
  ASSERT_TRUE(sentLine) << touchsim.Output(Stream::kStderr);
  unsigned long long sent = 0;
  ASSERT_EQ(std::sscanf(sentLine->c_str(), "touchsim: sent %llu complete reports", &sent), 1) << *sentLine;

  // Each stop (the reading of the rest included) may cut the report being read, since the next
  // reader picks the stream up at the next header, and touchsim counts the report its stop
  // interrupts; nothing else may go missing, and nothing may be counted that was not sent.
  const long stops = kCycles + 1;
  const long lost = static_cast<long>(sent) - counted - leftInLine;
  EXPECT_GE(lost, 0) << "more reports counted than sent";
  EXPECT_LE(lost, stops + 1) << "reports were lost beyond the one each stop may cut";

  std::ostringstream figures;
  figures << "cycles=" << cycles << " reports_sent=" << sent << " reports_counted=" << counted
          << " left_in_line=" << leftInLine << " cut=" << lost << " counted_after_last_start=" << countedAfterLastStart
          << " fds=" << descriptorsBefore << "->" << descriptorsAfter << " threads=" << threadsBefore << "->"
          << threadsAfter << " handles=" << handlesBefore << "->" << handlesAfter;
  RecordProperty("figures", figures.str());
  std::cout << "stop/start stress: " << figures.str() << std::endl;
}

}  // namespace
