// What a privileged program may act on: folders and files that nobody but root, this user or the
// service's account could have chosen or replaced, by every way one could be planted on the path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "platform/trusted_path.h"
#include "test_root.h"

namespace {

constexpr uid_t kNobody = 65534;

struct TrustCase {
  const char *name;
  std::function<void(const std::string &base)> make;  // makes what the case opens under base
  const char *path;                                    // relative to base
  bool isFile;
  const char *refusal;                                 // a part of the reason, or null when it opens
  bool needsRoot;                                      // gives something away to another user
};

void Folder(const std::string &path, mode_t mode, uid_t owner = geteuid()) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
  ASSERT_EQ(chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0);
}

void File(const std::string &path, mode_t mode, uid_t owner = geteuid()) {
  testing_support::WriteFile(path, "x");
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
  ASSERT_EQ(chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0);
}

TEST(TrustedPath, OpensOnlyWhatNobodyElseCouldHaveReplaced) {
  const TrustCase cases[] = {
      {"our folder", [](auto &b) { Folder(b + "/d", 0755); }, "d", false, nullptr, false},
      {"our folder through a symbolic link",
       [](auto &b) {
         Folder(b + "/d", 0755);
         ASSERT_EQ(symlink((b + "/d").c_str(), (b + "/link").c_str()), 0);
         Folder(b + "/d/e", 0755);
       },
       "link/e", false, "/link is a symbolic link", false},
      {"a folder in a group-writable folder",
       [](auto &b) {
         Folder(b + "/shared", 0775);
         Folder(b + "/shared/d", 0755);
       },
       "shared/d", false, "/shared may be written by others (mode 0775)", false},
      {"our folder in a sticky world-writable folder",
       [](auto &b) {
         Folder(b + "/tmp", 01777);
         Folder(b + "/tmp/d", 0755);
       },
       "tmp/d", false, nullptr, false},
      {"another's folder in a sticky world-writable folder",
       [](auto &b) {
         Folder(b + "/tmp", 01777);
         Folder(b + "/tmp/d", 0755, kNobody);
       },
       "tmp/d", false, "/tmp/d belongs to", true},
      {"our file", [](auto &b) { File(b + "/f", 0644); }, "f", true, nullptr, false},
      {"a file writable by its group", [](auto &b) { File(b + "/f", 0664); }, "f", true,
       "may be written by others (mode 0664): chmod go-w", false},
      {"a file of another user", [](auto &b) { File(b + "/f", 0644, kNobody); }, "f", true, "belongs to", true},
      {"a symbolic link to our file",
       [](auto &b) {
         File(b + "/f", 0644);
         ASSERT_EQ(symlink((b + "/f").c_str(), (b + "/link").c_str()), 0);
       },
       "link", true, "is a symbolic link", false},
      {"our file in a sticky world-writable folder",
       [](auto &b) {
         Folder(b + "/tmp", 01777);
         File(b + "/tmp/f", 0644);
       },
       "tmp/f", true, nullptr, false},
      {"our file in a world-writable folder that is not sticky",
       [](auto &b) {
         Folder(b + "/open", 0777);
         File(b + "/open/f", 0644);
       },
       "open/f", true, "/open may be written by others (mode 0777), who could replace", false},
  };
  for (const TrustCase &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;
    testing_support::TempDeviceRoot base;
    c.make(base.path());
    if (testing::Test::HasFatalFailure()) return;
    std::string why;
    const std::string path = base.path() + "/" + c.path;
    int fd = c.isFile ? platform::OpenTrustedFile(path, &why) : platform::OpenTrustedDirectory(path, &why);
    if (fd >= 0) close(fd);
    if (c.refusal == nullptr) {
      EXPECT_GE(fd, 0) << why;
    } else {
      EXPECT_LT(fd, 0);
      EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
    }
  }
}

}  // namespace
