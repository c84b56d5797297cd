// Temporary device roots and pseudo-terminals for the test suites.
#include "test_root.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/device_root.h"
#include "windows.h"

namespace testing_support {

TempDeviceRoot::TempDeviceRoot() {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/devroot-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  platform::SetDeviceRoot(path_);
  setenv("DEVICE_ROOT", path_.c_str(), 1);
}

TempDeviceRoot::~TempDeviceRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  platform::SetDeviceRoot("");
  unsetenv("DEVICE_ROOT");
}

void TempDeviceRoot::WriteHive(const std::string &body) const {
  WriteFile(registryPath(), "Windows Registry Editor Version 5.00\n\n" + body);
}

std::string TempDeviceRoot::ReadHive() const { return ReadFile(registryPath()); }

bool TempDeviceRoot::StoreString(const std::u16string &key, const std::u16string &name,
                                 const std::u16string &value) const {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG set = RegSetValueExW(opened, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  return RegCloseKey(opened) == ERROR_SUCCESS && set == ERROR_SUCCESS;
}

PseudoTerminal::PseudoTerminal() {
  int slave = -1;
  char name[256];
  if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  struct termios raw {};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  keepSlave_ = slave;
  slavePath_ = name;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // Programs the test starts must not hold the line open: closing it has to hang it up.
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(keepSlave_, F_SETFD, FD_CLOEXEC);
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) close(master_);
  if (keepSlave_ >= 0) close(keepSlave_);
}

void PseudoTerminal::Send(const std::string &bytes) const {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::runtime_error("write to pseudo-terminal failed");
    } else {
      struct pollfd writable {master_, POLLOUT, 0};
      poll(&writable, 1, 1000);  // the line discipline's buffer is full until the reader drains it
    }
  }
}

int PseudoTerminal::Unread() const {
  int unread = 0;
  return ioctl(keepSlave_, FIONREAD, &unread) == 0 ? unread : -1;
}

bool PseudoTerminal::WaitUntilRead() const {
  // The line gives no notice when its queue empties, so the queue itself is watched.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Unread() > 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::string DefaultInstallation() {
  std::string hive = ReadFile(NORVIK_SOURCE_DIR "/config/norvik.reg");
  return hive.substr(hive.find('\n') + 1);
}

std::string DefaultDevice(const std::string &comPath) {
  return DefaultInstallation() + "\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1:\"=\"" + comPath + "\"\n";
}

std::string DeviceLoggingPointer(const std::string &comPath, const std::string &logPath) {
  return DefaultDevice(comPath) + "\n[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"log\"\n\"PointerLog\"=\"" + logPath +
         "\"\n";
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteFile(const std::string &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

}  // namespace testing_support
