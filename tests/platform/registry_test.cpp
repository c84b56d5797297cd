// The registry calls over the hive file: Win32 results and buffer rules, what reaches the file and
// when, and that concurrent writers, killed writers and broken files never cost the hive data.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_root.h"
#include "platform/faults.h"
#include "registry_hive.h"
#include "test_root.h"

namespace {

using testing_support::ReadFile;
using testing_support::WriteFile;

std::vector<BYTE> Bytes(std::initializer_list<int> values) { return std::vector<BYTE>(values.begin(), values.end()); }

std::vector<BYTE> Utf16Bytes(std::u16string_view text, bool terminated = true) {
  std::vector<BYTE> bytes;
  for (char16_t c : text) bytes.insert(bytes.end(), {static_cast<BYTE>(c & 0xFF), static_cast<BYTE>(c >> 8)});
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

HKEY Create(const std::u16string &path, HKEY parent = HKEY_LOCAL_MACHINE) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  return key;
}

HKEY Open(const std::u16string &path, HKEY parent = HKEY_LOCAL_MACHINE) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << "opening key";
  return key;
}

LONG SetDword(HKEY key, const std::u16string &name, DWORD value) {
  return RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// The value's bytes, or nothing with *result set to the failure.
std::vector<BYTE> Query(HKEY key, const std::u16string &name, DWORD *type = nullptr, LONG *result = nullptr) {
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
  std::vector<BYTE> data(size);
  if (status == ERROR_SUCCESS) status = RegQueryValueExW(key, name.c_str(), nullptr, type, data.data(), &size);
  if (result != nullptr) *result = status;
  return status == ERROR_SUCCESS ? data : std::vector<BYTE>();
}

DWORD QueryDword(HKEY key, const std::u16string &name) {
  std::vector<BYTE> data = Query(key, name);
  DWORD value = 0xFFFFFFFF;
  if (data.size() == sizeof value) memcpy(&value, data.data(), sizeof value);
  return value;
}

std::vector<std::u16string> Subkeys(HKEY key) {
  std::vector<std::u16string> names;
  WCHAR name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return names;
    names.emplace_back(name, length);
  }
}

ino_t Inode(const std::string &path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_ino;
}

// Waits for the child to exit and returns its exit status, or -1 when it did not exit normally.
int Reap(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Registry : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }
  testing_support::TempDeviceRoot root_;
};

struct StoredValue {
  std::u16string name;
  DWORD type;
  std::vector<BYTE> data;
};

TEST_F(Registry, EveryTypeRoundTripsThroughTheFileInTheExportFormat) {
  const StoredValue values[] = {
      {u"Dll", REG_SZ, Utf16Bytes(u"norvik.dll")},
      {u"Index", REG_DWORD, Bytes({1, 0, 0, 0})},
      {u"Bin", REG_BINARY, Bytes({1, 2, 0xFF})},
      {u"Multi", REG_MULTI_SZ, Bytes({0x41, 0, 0, 0, 0, 0})},
      {u"", REG_SZ, Utf16Bytes(u"default value")},
      {u"Path", REG_EXPAND_SZ, Utf16Bytes(u"%x%")},
      {u"Big", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {u"Odd", 0x1234, Bytes({9})},
      {u"Raw", REG_SZ, Utf16Bytes(u"a", false)},
      {u"Short", REG_DWORD, Bytes({1, 2})},
      {u"Empty", REG_BINARY, {}},
  };
  HKEY key = Create(u"Drivers\\BuiltIn\\Norvik");
  for (const auto &v : values) {
    ASSERT_EQ(RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())), ERROR_SUCCESS);
  }
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(root_.ReadHive(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n"
            "\"Dll\"=\"norvik.dll\"\n\"Index\"=dword:00000001\n\"Bin\"=hex:01,02,ff\n"
            "\"Multi\"=hex(7):41,00,00,00,00,00\n@=\"default value\"\n\"Path\"=hex(2):25,00,78,00,25,00,00,00\n"
            "\"Big\"=hex(b):01,02,03,04,05,06,07,08\n\"Odd\"=hex(1234):09\n\"Raw\"=hex(1):61,00\n"
            "\"Short\"=hex(4):01,02\n\"Empty\"=hex:\n\n");
  key = Open(u"Drivers\\BuiltIn\\Norvik");
  for (const auto &v : values) {
    DWORD type = 0;
    EXPECT_EQ(Query(key, v.name, &type), v.data) << "value '" << std::string(v.name.begin(), v.name.end()) << "'";
    EXPECT_EQ(type, v.type);
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, UnparsableHiveFailsEveryAccessIsReportedOnceAndIsNeverOverwritten) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n");
  HKEY openedBefore = Create(u"A");
  ASSERT_EQ(SetDword(openedBefore, u"y", 2), ERROR_SUCCESS);
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\nfoo\n");
  const std::string broken = root_.ReadHive();

  testing::internal::CaptureStderr();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"B", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_BADDB);
  EXPECT_EQ(RegFlushKey(openedBefore), ERROR_BADDB);
  EXPECT_EQ(RegCloseKey(openedBefore), ERROR_BADDB);
  std::string report = testing::internal::GetCapturedStderr();

  EXPECT_EQ(root_.ReadHive(), broken);
  std::string expected = "registry: " + root_.registryPath() +
                         ":5: expected [KEY], \"Name\"=value or @=value, found 'foo' (fix or remove the file; it is left untouched)\n";
  EXPECT_EQ(report, expected);
}

TEST_F(Registry, HiveThatIsNoRegularFileIsNeitherReadNorEchoed) {
  const std::string other = root_.path() + ".other";
  WriteFile(other, "Windows Registry Editor Version 5.00\n\nsecret line\n");
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } removeOther{other};
  struct Case {
    const char *name;
    std::function<void()> make;
    std::string expectedReport;
  };
  const Case cases[] = {
      {"a symbolic link", [&] { ASSERT_EQ(symlink(other.c_str(), root_.registryPath().c_str()), 0); },
       "it is a symbolic link, which the registry does not follow"},
      {"a fifo", [&] { ASSERT_EQ(mkfifo(root_.registryPath().c_str(), 0600), 0); }, "it is not a regular file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(root_.registryPath().c_str());
    c.make();
    testing::internal::CaptureStderr();
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &key), ERROR_CANTREAD);
    EXPECT_NE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("registry: cannot read " + root_.registryPath() + ": "), std::string::npos) << report;
    EXPECT_NE(report.find(c.expectedReport), std::string::npos) << report;
    EXPECT_EQ(report.find("secret"), std::string::npos) << report;
  }
  EXPECT_EQ(ReadFile(other), "Windows Registry Editor Version 5.00\n\nsecret line\n");
}

// A member of a shared root's group may read its hive but not change it: the line says how its
// settings are changed, and the call fails with ERROR_ACCESS_DENIED.
TEST_F(Registry, UserWhoMayOnlyReadTheHiveIsToldToChangeItThroughTheDriver) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\A]\n");
  ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
  HKEY key = Create(u"A");
  ASSERT_EQ(SetDword(key, u"x", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  struct stat lock {};
  ASSERT_EQ(stat((root_.registryPath() + ".lock").c_str(), &lock), 0);
  EXPECT_EQ(lock.st_mode & 07777, 0600u) << "a lock others may take lets them stall every change";
  int errors[2];
  ASSERT_EQ(pipe(errors), 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(errors[1], STDERR_FILENO);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    _exit(SetDword(key, u"x", 2) == ERROR_SUCCESS && RegFlushKey(key) == ERROR_ACCESS_DENIED ? 0 : 1);
  }
  close(errors[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = read(errors[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
  close(errors[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
  EXPECT_NE(report.find("registry: cannot write " + root_.registryPath() +
                        ".lock: Permission denied (the settings of this device root are changed only through its "
                        "driver (nrvctl set, calvex's Touch Settings, a calibration) or as root; the hive is unchanged)"),
            std::string::npos)
      << report;
  EXPECT_NE(root_.ReadHive().find("\"x\"=dword:00000001"), std::string::npos) << root_.ReadHive();
  RegCloseKey(key);
}

TEST_F(Registry, FailedFlushKeepsTheChangesForARetry) {
  HKEY key = Create(u"Fault\\Key");
  ASSERT_EQ(SetDword(key, u"x", 7), ERROR_SUCCESS);
  platform::InjectFault("RegFlushKey", "fault\\key", ERROR_GEN_FAILURE);
  EXPECT_EQ(RegFlushKey(key), ERROR_GEN_FAILURE);
  EXPECT_EQ(root_.ReadHive(), "");
  platform::ClearFaults();
  EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  platform::InjectFault("RegOpenKeyExW", "Fault\\Key", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"FAULT\\KEY", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  key = Create(u"Fault\\Key");
  EXPECT_EQ(QueryDword(key, u"x"), 7u);
  RegCloseKey(key);
}

struct QueryCase {
  const char *what;
  bool reserved, withData, withSize;
  DWORD capacity;
  LONG result;
  DWORD size;  // *lpcbData afterwards
  bool copied;
};

TEST_F(Registry, QueryFollowsTheWin32BufferRules) {
  const QueryCase cases[] = {
      {"larger buffer", false, true, true, 8, ERROR_SUCCESS, 6, true},
      {"exact buffer", false, true, true, 6, ERROR_SUCCESS, 6, true},
      {"buffer one byte short", false, true, true, 5, ERROR_MORE_DATA, 6, false},
      {"size only", false, false, true, 0, ERROR_SUCCESS, 6, false},
      {"data without a size", false, true, false, 8, ERROR_INVALID_PARAMETER, 8, false},
      {"reserved pointer", true, true, true, 8, ERROR_INVALID_PARAMETER, 8, false},
  };
  HKEY key = Create(u"Q");
  const std::vector<BYTE> stored = Bytes({1, 2, 3, 4, 5, 6});
  ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, stored.data(), 6), ERROR_SUCCESS);
  for (const auto &c : cases) {
    std::vector<BYTE> buffer(8, 0xEE);
    DWORD size = c.capacity, type = 0xDEAD, reserved = 0;
    LONG result = RegQueryValueExW(key, u"v", c.reserved ? &reserved : nullptr, &type,
                                   c.withData ? buffer.data() : nullptr, c.withSize ? &size : nullptr);
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_EQ(size, c.size) << c.what;
    EXPECT_EQ(type, c.result == ERROR_INVALID_PARAMETER ? 0xDEADu : DWORD{REG_BINARY}) << c.what;
    std::vector<BYTE> expected(8, 0xEE);
    if (c.copied) std::copy(stored.begin(), stored.end(), expected.begin());
    EXPECT_EQ(buffer, expected) << c.what;
  }
  LONG result = 0;
  Query(key, u"missing", nullptr, &result);
  EXPECT_EQ(result, ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(Registry, EnumeratesSubkeysInFileOrderWithTheWin32LengthRules) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\E\\Zeta]\n[HKEY_LOCAL_MACHINE\\E\\Alpha\\Deep]\n[HKEY_LOCAL_MACHINE\\E\\Zeta\\Z]\n");
  HKEY key = Open(u"E");
  EXPECT_EQ(Subkeys(key), (std::vector<std::u16string>{u"Zeta", u"Alpha"}));
  WCHAR name[8];
  std::fill(std::begin(name), std::end(name), u'#');
  DWORD length = 4;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(name[0], u'#');
  length = 5;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::u16string(name), u"Zeta");
  EXPECT_EQ(RegEnumKeyExW(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(Registry, KeysAboveAWrittenKeyExistAndNamesMatchInAnyCase) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n\"Dll\"=\"a\"\n[HKLM\\DRIVERS\\Serial]\n");
  HKEY drivers = Open(u"drivers");
  EXPECT_EQ(Subkeys(drivers), (std::vector<std::u16string>{u"BuiltIn", u"Serial"}));
  EXPECT_EQ(Subkeys(HKEY_LOCAL_MACHINE), std::vector<std::u16string>{u"Drivers"});
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExW(drivers, u"BuiltIn\\Other", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);

  HKEY norvik = Open(u"BUILTIN\\norvik", drivers);
  EXPECT_EQ(Query(norvik, u"DLL"), Utf16Bytes(u"a"));
  ASSERT_EQ(SetDword(norvik, u"dll", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(norvik), ERROR_SUCCESS);
  DWORD disposition = 0;
  HKEY created = nullptr;
  ASSERT_EQ(RegCreateKeyExW(drivers, u"BUILTIN", 0, nullptr, 0, 0, nullptr, &created, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
  RegCloseKey(created);
  ASSERT_EQ(RegCreateKeyExW(drivers, u"builtin\\Second\\", 0, nullptr, 0, 0, nullptr, &created, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
  EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);
  RegCloseKey(drivers);
  EXPECT_EQ(root_.ReadHive(),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Norvik]\n\"Dll\"=dword:00000001\n\n"
            "[HKEY_LOCAL_MACHINE\\Drivers\\Serial]\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Second]\n\n");
}

TEST_F(Registry, DeletingAKeyTakesItsValuesAndEveryKeyBelowAndQueryInfoCountsWhatIsLeft) {
  root_.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"/dev/pts/3\"\n"
                  "[HKEY_LOCAL_MACHINE\\Platform\\Serial\\Deep\\Deeper]\n\"x\"=dword:00000001\n"
                  "[HKEY_LOCAL_MACHINE\\Platform\\SerialPorts]\n\"Long name\"=\"abc\"\n");
  HKEY platform = Open(u"Platform");
  DWORD subkeys = 99, longestSubkey = 99, values = 99, longestName = 99, longestData = 99;
  ASSERT_EQ(RegQueryInfoKeyW(platform, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values,
                             &longestName, &longestData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 2u);
  EXPECT_EQ(longestSubkey, 11u);  // "SerialPorts", in characters
  EXPECT_EQ(values, 0u);
  RegCloseKey(platform);
  HKEY ports = Open(u"Platform\\SerialPorts");
  ASSERT_EQ(RegQueryInfoKeyW(ports, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &longestName,
                             &longestData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 1u);
  EXPECT_EQ(longestName, 9u);
  EXPECT_EQ(longestData, 8u);  // "abc" and its terminator in UTF-16
  RegCloseKey(ports);

  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"platform\\SERIAL"), ERROR_SUCCESS);
  EXPECT_EQ(root_.ReadHive(), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Platform\\SerialPorts]\n"
                              "\"Long name\"=\"abc\"\n\n")
      << "a key below the deleted one, or its sibling of a longer name, was handled wrongly";
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Platform\\Serial"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_INVALID_PARAMETER) << "HKEY_LOCAL_MACHINE itself";
}

TEST_F(Registry, AKeySeesItsSnapshotAndOwnChangesWhichReachTheFileTogether) {
  HKEY writer = Create(u"Snap");
  ASSERT_EQ(SetDword(writer, u"x", 1), ERROR_SUCCESS);
  HKEY reader = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Snap", 0, KEY_READ, &reader), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegFlushKey(writer), ERROR_SUCCESS);
  reader = Open(u"Snap");
  ASSERT_EQ(SetDword(writer, u"x", 2), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(writer, u"y", 3), ERROR_SUCCESS);
  EXPECT_EQ(QueryDword(writer, u"x"), 2u);
  EXPECT_EQ(root_.ReadHive().find("\"y\""), std::string::npos);
  ASSERT_EQ(RegFlushKey(writer), ERROR_SUCCESS);
  EXPECT_EQ(QueryDword(reader, u"x"), 1u);

  // A flush with nothing pending leaves the file alone; the reader's own change does not undo
  // the writer's.
  ino_t inode = Inode(root_.registryPath());
  EXPECT_EQ(RegFlushKey(writer), ERROR_SUCCESS);
  EXPECT_EQ(Inode(root_.registryPath()), inode);
  ASSERT_EQ(RegDeleteValueW(writer, u"y"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(writer, u"y"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(SetDword(reader, u"z", 4), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
  HKEY fresh = Open(u"Snap");
  EXPECT_EQ(QueryDword(fresh, u"x"), 2u);
  EXPECT_EQ(QueryDword(fresh, u"z"), 4u);
  LONG result = 0;
  Query(fresh, u"y", nullptr, &result);
  EXPECT_EQ(result, ERROR_FILE_NOT_FOUND);
  RegCloseKey(fresh);
}

TEST_F(Registry, RejectsBadHandlesAndArgumentsWithWin32Codes) {
  HKEY key = nullptr;
  DWORD one = 1;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"A", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueExW(HKEY_CLASSES_ROOT, u"v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A\\\\B", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_INVALID_PARAMETER);
  key = Create(u"A");
  EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, nullptr, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExW(key, u"line\nbreak", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetDword(key, u"v", 1), ERROR_INVALID_HANDLE);

  // HKEY_LOCAL_MACHINE itself has no open key to hold changes: they are written at once.
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Top", 5), ERROR_SUCCESS);
  EXPECT_NE(root_.ReadHive().find("[HKEY_LOCAL_MACHINE]\n\"Top\"=dword:00000005\n"), std::string::npos);
  EXPECT_EQ(QueryDword(HKEY_LOCAL_MACHINE, u"top"), 5u);
}

TEST_F(Registry, WithoutADeviceRootEveryAccessFailsAndSaysWhatToDo) {
  HKEY opened = Create(u"A");
  ASSERT_EQ(SetDword(opened, u"v", 1), ERROR_SUCCESS);
  platform::SetDeviceRoot("");
  unsetenv("DEVICE_ROOT");
  testing::internal::CaptureStderr();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &key), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(RegFlushKey(opened), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "registry: no device root: pass --root DIR or set DEVICE_ROOT\n");
  platform::SetDeviceRoot(root_.path());
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
}

// A device root named through a symbolic link is written as the folder it leads to.
TEST_F(Registry, RootNamedThroughASymbolicLinkIsWrittenLikeAnyOther) {
  ASSERT_EQ(mkdir((root_.path() + "/real").c_str(), 0700), 0);
  ASSERT_EQ(symlink("real", (root_.path() + "/link").c_str()), 0);
  platform::SetDeviceRoot(root_.path() + "/link");
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Top", 5), ERROR_SUCCESS);
  EXPECT_EQ(QueryDword(HKEY_LOCAL_MACHINE, u"Top"), 5u);
  platform::SetDeviceRoot(root_.path());
}

TEST_F(Registry, ReadsAUtf16HiveAndWritesItBackAsUtf8) {
  std::vector<BYTE> bytes = Utf16Bytes(u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\U]\r\n\"s\"=\"\u00E9\"\r\n", false);
  WriteFile(root_.registryPath(), std::string(bytes.begin(), bytes.end()));
  HKEY key = Open(u"U");
  EXPECT_EQ(Query(key, u"s"), Utf16Bytes(u"\u00E9"));
  ASSERT_EQ(SetDword(key, u"d", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(root_.ReadHive(),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\U]\n\"s\"=\"\xC3\xA9\"\n\"d\"=dword:00000001\n\n");
}

// Sets Writer<id>_<n> = n through a fresh key for each n; 0 when every step succeeded.
int WriteRounds(int id, int rounds) {
  for (int n = 0; n < rounds; ++n) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Shared", 0, nullptr, 0, 0, nullptr, &key, nullptr) != ERROR_SUCCESS) return 1;
    std::string name = "Writer" + std::to_string(id) + "_" + std::to_string(n);
    if (SetDword(key, std::u16string(name.begin(), name.end()), static_cast<DWORD>(n)) != ERROR_SUCCESS) return 2;
    if (RegCloseKey(key) != ERROR_SUCCESS) return 3;
  }
  return 0;
}

void ExpectEveryRound(int writers, int rounds) {
  HKEY key = Open(u"Shared");
  for (int id = 0; id < writers; ++id) {
    for (int n = 0; n < rounds; ++n) {
      std::string name = "Writer" + std::to_string(id) + "_" + std::to_string(n);
      ASSERT_EQ(QueryDword(key, std::u16string(name.begin(), name.end())), static_cast<DWORD>(n)) << name << " was lost";
    }
  }
  RegCloseKey(key);
}

TEST_F(Registry, ConcurrentProcessesLoseNoneOfEachOthersValues) {
  constexpr int kRounds = 100;
  pid_t first = fork();
  if (first == 0) _exit(WriteRounds(0, kRounds));
  pid_t second = fork();
  if (second == 0) _exit(WriteRounds(1, kRounds));
  EXPECT_EQ(Reap(first), 0);
  EXPECT_EQ(Reap(second), 0);
  ExpectEveryRound(2, kRounds);
}

TEST_F(Registry, ConcurrentThreadsWithTheirOwnKeysLoseNoneOfEachOthersValues) {
  constexpr int kRounds = 50;
  int results[2] = {-1, -1};
  std::thread first([&] { results[0] = WriteRounds(0, kRounds); });
  std::thread second([&] { results[1] = WriteRounds(1, kRounds); });
  first.join();
  second.join();
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  ExpectEveryRound(2, kRounds);
}

TEST_F(Registry, WriterKilledAtAnyMomentLeavesAWholeHive) {
  constexpr int kKills = 25;
  for (int round = 0; round < kKills; ++round) {
    const DWORD start = static_cast<DWORD>(round) * 1000000;
    int notices[2];
    ASSERT_EQ(pipe(notices), 0);
    pid_t child = fork();
    if (child == 0) {
      close(notices[0]);
      for (DWORD n = start;; ++n) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Kill", 0, nullptr, 0, 0, nullptr, &key, nullptr) != ERROR_SUCCESS ||
            SetDword(key, u"A", n) != ERROR_SUCCESS || SetDword(key, u"B", n) != ERROR_SUCCESS ||
            RegCloseKey(key) != ERROR_SUCCESS || write(notices[1], "+", 1) != 1) {
          _exit(1);
        }
      }
    }
    close(notices[1]);
    // Let the child complete a varying number of flushes, then kill it in the middle of the next.
    int flushes = 1 + round % 4;
    for (int seen = 0; seen < flushes; ++seen) {
      struct pollfd readable {notices[0], POLLIN, 0};
      char notice;
      ASSERT_EQ(poll(&readable, 1, 10000), 1) << "the writer stopped flushing";
      ASSERT_EQ(read(notices[0], &notice, 1), 1) << "the writer failed";
    }
    kill(child, SIGKILL);
    Reap(child);
    close(notices[0]);

    platform::RegistryHive hive;
    platform::HiveParseError error;
    ASSERT_TRUE(platform::ParseHive(root_.ReadHive(), &hive, &error)) << "line " << error.line << ": " << error.message;
    ASSERT_NE(hive.FindKey(u"Kill"), nullptr) << "the hive lost its content";
    HKEY key = Open(u"Kill");
    DWORD a = QueryDword(key, u"A");
    EXPECT_EQ(a, QueryDword(key, u"B")) << "a flush landed in part";
    EXPECT_GE(a, start + flushes - 1) << "a completed flush was lost";
    RegCloseKey(key);
  }
  // Temporary files left by killed writers go at the next write.
  WriteFile(root_.registryPath() + ".tmp-1-0", "partial");
  HKEY key = Create(u"Kill");
  ASSERT_EQ(SetDword(key, u"C", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  for (const auto &entry : std::filesystem::directory_iterator(root_.path())) {
    EXPECT_EQ(entry.path().filename().string().find("registry.reg.tmp-"), std::string::npos) << entry.path();
  }
}

}  // namespace
