// The system group norvik, whose members may calibrate, for tests that run as root: made for the
// test when the machine has none and removed again afterwards, and held under a lock meanwhile,
// so that tests running side by side neither remove it from under each other nor race to make it.
#pragma once

namespace testing_support {

class MemberGroup {
 public:
  MemberGroup();
  ~MemberGroup();
  MemberGroup(const MemberGroup &) = delete;
  MemberGroup &operator=(const MemberGroup &) = delete;

  // Whether the group exists for the test's lifetime.
  bool exists() const { return exists_; }

 private:
  int lock_ = -1;
  bool made_ = false;
  bool exists_ = false;
};

}  // namespace testing_support
