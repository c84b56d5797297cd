// The processor time a process has used, from /proc, for checks that a process sleeps.
#pragma once

#include <sys/types.h>

#include <chrono>

namespace testing_support {

// User plus system time of the process so far, in milliseconds; -1 when it cannot be read.
double ProcessCpuMilliseconds(pid_t pid);
// The processor time the process uses while this thread sleeps for `period`, the time being
// measured.
double ProcessCpuMillisecondsOver(pid_t pid, std::chrono::milliseconds period);

}  // namespace testing_support
