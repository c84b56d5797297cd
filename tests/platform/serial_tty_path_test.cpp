// Serial port names to ttys: the registry's choice, the default, and the values that name no tty.
#include <gtest/gtest.h>

#include "serial_tty_path.h"
#include "test_root.h"

namespace {

constexpr char kHeader[] = "[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n";

struct Case {
  const char *what;
  const char *hive;
  const char16_t *port;
  DWORD error;
  const char *path;
};

TEST(SerialTtyPath, RegistryValueWinsOverTheDefault) {
  for (const Case &c : {
           Case{"the port's own value", "\"COM1:\"=\"/dev/pts/7\"\n", u"COM1:", 0, "/dev/pts/7"},
           Case{"any letter case in the name", "\"COM1:\"=\"/dev/pts/7\"\n", u"cOm1:", 0, "/dev/pts/7"},
           Case{"another port's value is not this one's", "\"COM2:\"=\"/dev/pts/7\"\n", u"COM1:", 0, "/dev/ttyS0"},
           Case{"COM0: can be configured", "\"COM0:\"=\"/dev/ttyUSB0\"\n", u"COM0:", 0, "/dev/ttyUSB0"},
       }) {
    testing_support::TempDeviceRoot root;
    root.WriteHive(std::string(kHeader) + c.hive);
    std::string path = "unset";
    EXPECT_EQ(platform::SerialTtyPath(c.port, &path), c.error) << c.what;
    EXPECT_EQ(path, c.path) << c.what;
  }
}

TEST(SerialTtyPath, WithoutAValueCom1ToCom9AreTtyS0ToTtyS8AndCom0IsNotFound) {
  for (const char *hive : {"", kHeader}) {
    testing_support::TempDeviceRoot root;
    root.WriteHive(hive);
    for (const Case &c : {
             Case{"COM1:", "", u"COM1:", 0, "/dev/ttyS0"},
             Case{"COM9:", "", u"COM9:", 0, "/dev/ttyS8"},
             Case{"COM0:", "", u"COM0:", ERROR_FILE_NOT_FOUND, "unset"},
         }) {
      std::string path = "unset";
      EXPECT_EQ(platform::SerialTtyPath(c.port, &path), c.error) << c.what << (*hive ? " with the key" : " without it");
      EXPECT_EQ(path, c.path) << c.what;
    }
  }
}

TEST(SerialTtyPath, ValueThatNamesNoTtyIsNotFoundRatherThanTheDefault) {
  for (const Case &c : {
           Case{"empty string", "\"COM1:\"=\"\"\n", u"COM1:", ERROR_FILE_NOT_FOUND, "unset"},
           Case{"a number", "\"COM1:\"=dword:00000001\n", u"COM1:", ERROR_FILE_NOT_FOUND, "unset"},
       }) {
    testing_support::TempDeviceRoot root;
    root.WriteHive(std::string(kHeader) + c.hive);
    std::string path = "unset";
    EXPECT_EQ(platform::SerialTtyPath(c.port, &path), c.error) << c.what;
    EXPECT_EQ(path, c.path) << c.what;
  }
}

}  // namespace
