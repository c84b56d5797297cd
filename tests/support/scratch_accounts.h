// Accounts for tests that run as root: users and groups made for one test and removed again when
// it ends, even when it fails, and the system group norvik, whose members may calibrate.
#pragma once

#include <string>

namespace testing_support {

// A user without a home or a shell, of primary group users and in `groups` (comma-separated)
// when given, named `prefix` and this process's id.
class ScratchUser {
 public:
  explicit ScratchUser(const std::string &prefix, const std::string &groups = "");
  ~ScratchUser();
  ScratchUser(const ScratchUser &) = delete;
  ScratchUser &operator=(const ScratchUser &) = delete;

  bool made() const { return made_; }
  const std::string &name() const { return name_; }

 private:
  std::string name_;
  bool made_ = false;
};

// A group named `prefix` and this process's id.
class ScratchGroup {
 public:
  explicit ScratchGroup(const std::string &prefix);
  ~ScratchGroup();
  ScratchGroup(const ScratchGroup &) = delete;
  ScratchGroup &operator=(const ScratchGroup &) = delete;

  bool made() const { return made_; }
  const std::string &name() const { return name_; }

 private:
  std::string name_;
  bool made_ = false;
};

// The group norvik: made for the test when the machine has none and removed again afterwards,
// and held under a lock meanwhile, so that tests running side by side neither remove it from
// under each other nor race to make it.
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
