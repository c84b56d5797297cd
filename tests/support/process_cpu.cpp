// Processor time of a process: the nanoseconds each of its threads has run, from
// /proc/PID/task/*/schedstat, or else the clock ticks of /proc/PID/stat (fields 14 and 15), whose
// 10 ms steps hide the little a sleeping process uses.
#include "process_cpu.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

namespace testing_support {
namespace {

double FromTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t name = text.rfind(')');  // the command name may hold blanks and parentheses
  if (name == std::string::npos || name + 2 >= text.size()) return -1;
  std::istringstream fields(text.substr(name + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

double ProcessCpuMilliseconds(pid_t pid) {
  std::error_code error;
  unsigned long long nanoseconds = 0;
  bool read = false;
  for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ran = 0;
    if (in >> ran) {
      nanoseconds += ran;
      read = true;
    }
  }
  return read ? static_cast<double>(nanoseconds) / 1e6 : FromTicks(pid);
}

double ProcessCpuMillisecondsOver(pid_t pid, std::chrono::milliseconds period) {
  const double before = ProcessCpuMilliseconds(pid);
  std::this_thread::sleep_for(period);
  return ProcessCpuMilliseconds(pid) - before;
}

}  // namespace testing_support
