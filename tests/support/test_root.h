// Test fixtures shared by the suites: a temporary device root that is the process's device root
// for the test's lifetime, pseudo-terminals to stand for serial lines, and helpers to write a
// registry hive by hand.
#pragma once

#include <string>

namespace testing_support {

// Makes a fresh directory under $TMPDIR (or /tmp), sets it as this process's device root and as
// DEVICE_ROOT for child processes, and removes it again on destruction.
class TempDeviceRoot {
 public:
  TempDeviceRoot();
  ~TempDeviceRoot();
  TempDeviceRoot(const TempDeviceRoot &) = delete;
  TempDeviceRoot &operator=(const TempDeviceRoot &) = delete;

  const std::string &path() const { return path_; }
  std::string registryPath() const { return path_ + "/registry.reg"; }
  // Writes registry.reg with the header line followed by body.
  void WriteHive(const std::string &body) const;
  std::string ReadHive() const;
  // Sets one string value under HKEY_LOCAL_MACHINE as a program does, under the hive's lock and
  // changing nothing else, so that the programs of the device root lose none of their changes to
  // it; false when the registry refused.
  bool StoreString(const std::u16string &key, const std::u16string &name, const std::u16string &value) const;

 private:
  std::string path_;
};

// A pseudo-terminal pair: the master stands for the controller's end of the line, the slave's
// path is what a "COMn:" port is mapped to. The master is non-blocking.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal &) = delete;
  PseudoTerminal &operator=(const PseudoTerminal &) = delete;

  int master() const { return master_; }
  const std::string &slavePath() const { return slavePath_; }
  // Writes all bytes to the master (the controller sending).
  void Send(const std::string &bytes) const;
  // Bytes in the line's input queue that no port has read yet. Bytes just sent may take a moment
  // to reach the queue, so an empty queue does not prove that they were read.
  int Unread() const;
  // Waits until the input queue is empty; false when it was not within 10 s.
  bool WaitUntilRead() const;

 private:
  int master_ = -1;
  int keepSlave_ = -1;  // keeps the line up while no port has it open
  std::string slavePath_;
};

// The driver's key as config/norvik.reg installs it, without the file's header line.
std::string DefaultInstallation();
// That key, with "COM1:" mapped to the tty `comPath`: a whole device, ready for WriteHive.
std::string DefaultDevice(const std::string &comPath);
// DefaultDevice with the pointer output "log" writing to `logPath`, for tests that count taps.
std::string DeviceLoggingPointer(const std::string &comPath, const std::string &logPath);

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &contents);

}  // namespace testing_support
