// The processor time a process has used, from /proc, for checks that a process sleeps.
#pragma once

#include <sys/types.h>

namespace testing_support {

// User plus system time of the process so far, in milliseconds; -1 when it cannot be read.
double ProcessCpuMilliseconds(pid_t pid);

}  // namespace testing_support
