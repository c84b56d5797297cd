// calguard: watches a program that is calibrating the touch screen. A run starts it, with its own
// process id, before it stops the driver; should that program end before the run has started the
// driver again (killed, crashed), calguard starts it, so the touch never stays dead. The run ends
// calguard itself once the driver runs again.
#include <cstdlib>
#include <string>

#include <windows.h>

#include "device_call.h"
#include "norvik_device.h"
#include "platform/device_ports.h"

int main(int argc, char **argv) {
  char *end = nullptr;
  const unsigned long pid = argc == 2 ? std::strtoul(argv[1], &end, 10) : 0;
  if (pid == 0 || *end != 0) {
    NKDbgPrintfW(TEXT("calguard: usage: calguard PID (the calibrating program's process id); it is started by ")
                     TEXT("libcalibkit.so during a calibration, not by hand\r\n"));
    return 2;
  }
  HANDLE program = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (program != nullptr) {
    WaitForSingleObject(program, INFINITE);
    CloseHandle(program);
  } else if (GetLastError() != ERROR_INVALID_PARAMETER) {
    // Without a handle the program cannot be watched, and starting the driver under a live
    // calibration would take its port away.
    NKDbgPrintfW(TEXT("calguard: cannot watch the calibrating program (pid %u): OpenProcess failed with error %u; ")
                     TEXT("should it end during the calibration, \"nrvctl start\" starts the driver again\r\n"),
                 static_cast<unsigned>(pid), GetLastError());
    return 1;
  }
  // The program is gone (a program that had already ended has no process to open).
  switch (CallDriver("calguard", IOCTL_NRV_START, "IOCTL_NRV_START", nullptr, 0, nullptr, 0)) {
    case DeviceOutcome::kDone: {
      // The driver's start succeeds with or without its port: devmgr says which it was.
      const std::string missing = platform::PortNotHeld(NORVIK_DEVICE_NAME);
      if (missing.empty()) {
        NKDbgPrintfW(TEXT("calguard: the calibrating program (pid %u) ended during a calibration; the driver was ")
                         TEXT("started again\r\n"),
                     static_cast<unsigned>(pid));
        return 0;
      }
      NKDbgPrintfW(TEXT("calguard: the calibrating program (pid %u) ended during a calibration; the driver was ")
                       TEXT("started, but %a\r\n"),
                   static_cast<unsigned>(pid), missing.c_str());
      return 3;
    }
    case DeviceOutcome::kNotPublished:
      NKDbgPrintfW(TEXT("calguard: the calibrating program (pid %u) ended during a calibration, and NRV1: is no ")
                       TEXT("longer published: the driver is not loaded, so there was nothing to start\r\n"),
                   static_cast<unsigned>(pid));
      return 0;
    case DeviceOutcome::kFailed:
      break;
  }
  NKDbgPrintfW(TEXT("calguard: the calibrating program (pid %u) ended during a calibration and the driver could not ")
                   TEXT("be started again (the line above says why); \"nrvctl start\" starts it\r\n"),
               static_cast<unsigned>(pid));
  return 1;
}
