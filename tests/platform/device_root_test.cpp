// The device root's run/ folder: made with the root's group and permission bits, shared with the
// group (writable, sticky) only where the root is, and never followed through a link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/device_root.h"
#include "test_root.h"

namespace {

TEST(DeviceRoot, RunFolderFollowsTheRootAndIsSharedOnlyWithAGroupTheRootIsSharedWith) {
  struct Case {
    mode_t root;
    mode_t run;
  };
  const Case cases[] = {
      {02750, 03770},  // made by nrvctl init: members publish their windows there
      {0750, 01770},
      {0700, 0700},    // private
      {0755, 0755},    // readable by all: nobody else writes in it
      {02755, 02755},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.root));
    testing_support::TempDeviceRoot root;
    ASSERT_EQ(chmod(root.path().c_str(), c.root), 0);
    EXPECT_EQ(platform::RunDirectory(), root.path() + "/run");
    struct stat info {};
    ASSERT_EQ(lstat((root.path() + "/run").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, c.run);
  }
}

TEST(DeviceRoot, RunThatIsALinkOrAFileIsRefusedAndLeftAlone) {
  testing_support::TempDeviceRoot root;
  const std::string run = root.path() + "/run";
  ASSERT_EQ(symlink("/tmp", run.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(platform::RunDirectory(), "");
  EXPECT_EQ(platform::RunDirectory(), "");
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("cannot use " + run + ": it is a symbolic link"), std::string::npos) << said;
  EXPECT_EQ(said.find('\n'), said.size() - 1) << "said more than once: " << said;
  struct stat tmp {};
  ASSERT_EQ(stat("/tmp", &tmp), 0);
  EXPECT_EQ(tmp.st_mode & 07777, 01777u);
  unlink(run.c_str());
  testing_support::WriteFile(run, "");
  EXPECT_EQ(platform::RunDirectory(), "");
}

}  // namespace
