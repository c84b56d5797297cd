// A file descriptor that is closed when the test code holding it leaves scope, however it leaves.
#pragma once

#include <unistd.h>

namespace testing_support {

struct ScopedDescriptor {
  explicit ScopedDescriptor(int descriptor) : fd(descriptor) {}
  ~ScopedDescriptor() {
    if (fd >= 0) close(fd);
  }
  ScopedDescriptor(const ScopedDescriptor &) = delete;
  ScopedDescriptor &operator=(const ScopedDescriptor &) = delete;
  int fd;
};

}  // namespace testing_support
