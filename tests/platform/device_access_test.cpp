// Who may reach a device root shared by a group: a user made for the test runs nrvctl and calvex
// against devmgr running as root, first outside the root's group (each program says which group
// to join and how), then inside it (each works); and the hive keeps its group when it is replaced.
// Needs root (and useradd and setpriv for the users); skipped otherwise.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"
#include "scratch_accounts.h"
#include "test_root.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Stream;

constexpr std::chrono::milliseconds kBound{20000};

struct AccessCase {
  const char *program;
  std::vector<std::string> arguments;
  bool inGroup;
};

TEST(DeviceAccess, OnlyTheRootsGroupReachesTheDriverAndOthersAreToldHowToJoinIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a user and start devmgr as root";
  if (access("/usr/sbin/useradd", X_OK) != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs useradd and setpriv";
  testing_support::ScratchGroup scratchGroup("nrvg");
  testing_support::ScratchUser user("nrvu");
  ASSERT_TRUE(scratchGroup.made() && user.made()) << "groupadd or useradd failed";
  const group *entry = getgrnam(scratchGroup.name().c_str());
  ASSERT_NE(entry, nullptr);

  // The modes of a device root made for the service: the group reads, only devmgr writes.
  testing_support::TempDeviceRoot root;
  testing_support::PseudoTerminal pty;
  root.WriteHive(testing_support::DefaultDevice(pty.slavePath()));
  // The script lies outside the root, where anyone may read it.
  const std::string script = root.path() + ".script";
  testing_support::WriteFile(script, "click 1015\nclick 1\nclick 1016\n");
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } removeScript{script};
  // devmgr makes run/, where the group may publish its windows.
  ASSERT_EQ(chown(root.path().c_str(), 0, entry->gr_gid), 0);
  ASSERT_EQ(chmod(root.path().c_str(), 02750), 0);
  ASSERT_EQ(chown(root.registryPath().c_str(), 0, entry->gr_gid), 0);
  ASSERT_EQ(chmod(root.registryPath().c_str(), 0640), 0);

  ChildProcess devmgr(NORVIK_BIN_DIR "/devmgr", {"--root", root.path()});
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStderr, "Tarsel Mouse Found.", kBound))
      << devmgr.Output(Stream::kStderr);
  ASSERT_TRUE(devmgr.WaitForLine(Stream::kStdout, "NRV1: published", kBound));

  const std::string advice = "belongs to group " + scratchGroup.name() + ": add yourself with `adduser $USER " +
                             scratchGroup.name() + "` and log in again";
  const AccessCase cases[] = {
      {"nrvctl", {"settings"}, false},
      {"calvex", {"--headless", "--script", script}, false},
      {"nrvctl", {"settings"}, true},
      {"calvex", {"--headless", "--script", script}, true},
  };
  for (const AccessCase &c : cases) {
    SCOPED_TRACE(std::string(c.program) + (c.inGroup ? " in the group" : " outside the group"));
    std::vector<std::string> arguments{"--reuid", user.name(), "--regid", "users"};
    if (c.inGroup) {
      arguments.insert(arguments.end(), {"--groups", scratchGroup.name()});
    } else {
      arguments.push_back("--clear-groups");
    }
    arguments.insert(arguments.end(), {"--", NORVIK_BIN_DIR "/" + std::string(c.program), "--root", root.path()});
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    ChildProcess program("/usr/bin/setpriv", arguments);
    auto exit = program.WaitForExit(kBound);
    ASSERT_TRUE(exit);
    const std::string errors = program.Output(Stream::kStderr);
    if (c.inGroup) {
      EXPECT_EQ(exit->code, 0) << errors;
      EXPECT_EQ(errors.find("ermission denied"), std::string::npos) << errors;
    } else {
      EXPECT_NE(exit->code, 0) << errors;
      EXPECT_NE(errors.find("the device root " + root.path() + " " + advice), std::string::npos) << errors;
    }
  }
}

// A change of the hive replaces the file; the new one must keep the group and mode that let the
// group use it, also where the root is not setgid to hand its group down, and, changed by root,
// the owner (the service's account) that writes it from then on.
TEST(DeviceAccess, ReplacedHiveKeepsItsOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the hive another owner and group";
  const group *entry = getgrnam("nogroup");
  if (entry == nullptr) GTEST_SKIP() << "no group nogroup";
  const passwd *owner = getpwnam("nobody");
  if (owner == nullptr) GTEST_SKIP() << "no user nobody";
  testing_support::TempDeviceRoot root;
  root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n");
  ASSERT_EQ(chown(root.registryPath().c_str(), owner->pw_uid, entry->gr_gid), 0);
  ASSERT_EQ(chmod(root.registryPath().c_str(), 0640), 0);
  ASSERT_TRUE(root.StoreString(u"Platform\\Input", u"Pointer", u"log"));
  struct stat info {};
  ASSERT_EQ(stat(root.registryPath().c_str(), &info), 0);
  EXPECT_NE(root.ReadHive().find("\"Pointer\"=\"log\""), std::string::npos) << root.ReadHive();
  EXPECT_EQ(info.st_uid, owner->pw_uid) << "root took the hive from its owner";
  EXPECT_EQ(info.st_gid, entry->gr_gid);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

}  // namespace
