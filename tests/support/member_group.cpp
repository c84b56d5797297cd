// The group norvik for the duration of a test, under an exclusive lock shared by every test
// process that uses it.
#include "member_group.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace testing_support {

MemberGroup::MemberGroup() {
  lock_ = open("/tmp/norvik-tests-member-group.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock_ >= 0) flock(lock_, LOCK_EX);
  made_ = getgrnam("norvik") == nullptr && std::system("groupadd -r norvik >/dev/null 2>&1") == 0;
  exists_ = getgrnam("norvik") != nullptr;
}

MemberGroup::~MemberGroup() {
  if (made_ && std::system("groupdel norvik >/dev/null 2>&1") != 0) exists_ = false;
  if (lock_ >= 0) close(lock_);  // closing releases the lock
}

}  // namespace testing_support
