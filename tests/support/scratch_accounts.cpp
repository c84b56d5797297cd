// Users and groups made with useradd and groupadd for one test, and the group norvik under an
// exclusive lock shared by every test process that uses it.
#include "scratch_accounts.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace testing_support {
namespace {

bool Run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

ScratchUser::ScratchUser(const std::string &prefix, const std::string &groups)
    : name_(prefix + std::to_string(getpid())) {
  made_ = Run("useradd -M -N -g users" + (groups.empty() ? "" : " -G " + groups) + " -s /usr/sbin/nologin " + name_);
}

ScratchUser::~ScratchUser() {
  if (made_) Run("userdel " + name_);
}

ScratchGroup::ScratchGroup(const std::string &prefix) : name_(prefix + std::to_string(getpid())) {
  made_ = Run("groupadd " + name_);
}

ScratchGroup::~ScratchGroup() {
  if (made_) Run("groupdel " + name_);
}

MemberGroup::MemberGroup() {
  lock_ = open("/tmp/norvik-tests-member-group.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock_ >= 0) flock(lock_, LOCK_EX);
  made_ = getgrnam("norvik") == nullptr && Run("groupadd -r norvik");
  exists_ = getgrnam("norvik") != nullptr;
}

MemberGroup::~MemberGroup() {
  if (made_) Run("groupdel norvik");
  if (lock_ >= 0) close(lock_);  // closing releases the lock
}

}  // namespace testing_support
