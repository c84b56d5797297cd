// The devices this process publishes itself, and the hook that hears of its serial opens.
#include "platform/serial_port_owner.h"

#include <atomic>
#include <mutex>
#include <set>

#include "platform/text.h"
#include "serial_port.h"

namespace platform {
namespace {

struct Served {
  std::mutex mutex;
  std::set<std::string> names;  // in capitals
};

Served &TheServed() {
  static auto *served = new Served;  // never destroyed: drivers open ports until the process ends
  return *served;
}

std::string Capitals(std::string_view name) {
  std::string text(name);
  for (char &c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return text;
}

std::atomic<SerialPortOpening> hook{nullptr};

}  // namespace

void ServeDeviceHere(const std::string &device) {
  std::lock_guard lock(TheServed().mutex);
  TheServed().names.insert(Capitals(device));
}

bool IsServedHere(std::u16string_view device) {
  Served &served = TheServed();
  std::lock_guard lock(served.mutex);
  return !served.names.empty() && served.names.count(Capitals(ToUtf8(device))) != 0;
}

void OnSerialPortOpening(SerialPortOpening opening) { hook = opening; }

void NoteSerialPortOpening(const std::string &port) {
  if (SerialPortOpening opening = hook.load()) opening(Capitals(port));
}

HANDLE OpenSerialPortTty(std::u16string_view name, DWORD desiredAccess) { return OpenSerialPort(name, desiredAccess); }

}  // namespace platform
