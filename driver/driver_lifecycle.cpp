// Start and stop. The read thread is known only through stopRequested and threadExitEvent; the
// stop handshake wakes it by changing the port's event mask and waits for its exit event.
#include "driver_lifecycle.h"

#include "debug_zones.h"
#include "driver_state.h"
#include "pointer_emulation.h"
#include "read_thread.h"
#include "serial_link.h"
#include "settings_store.h"
#include "touch_filter.h"

namespace {

const DWORD kThreadExitWaitMs = 2000;

// Waits for the read thread's exit event, closes the event and the port and forgets them.
// waitWithoutThread: also wait the full time when no thread was started.
void ReleaseDriver(bool waitWithoutThread) {
  driverState.stopRequested = 1;
  if (driverState.portHandle != nullptr) SetCommMask(driverState.portHandle, 0);
  if (driverState.threadExitEvent != nullptr) {
    if (driverState.readThreadStarted || waitWithoutThread) {
      DWORD result = WaitForSingleObject(driverState.threadExitEvent, kThreadExitWaitMs);
      // A thread that is still running would use the event and the port after they are closed:
      // they are closed only once it has ended.
      if (result != WAIT_OBJECT_0 && driverState.readThreadStarted)
        WaitForSingleObject(driverState.threadExitEvent, INFINITE);
    }
    driverState.readThreadStarted = false;
    DEBUGMSG(ZONE_INIT, (TEXT("THREAD EXIT...\r\n")));
    CloseHandle(driverState.threadExitEvent);
    driverState.threadExitEvent = nullptr;
  }
  if (driverState.portHandle != nullptr) {
    CloseHandle(driverState.portHandle);
    driverState.portHandle = nullptr;
  }
}

}  // namespace

BOOL StartDriver() {
  TRACE_FUNCTION("+NRV_Init");
  // A start while started would otherwise leak the port, the event and the running thread.
  if (driverState.threadExitEvent != nullptr || driverState.portHandle != nullptr) ReleaseDriver(false);

  driverState.portHandle = nullptr;
  driverState.threadExitEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  driverState.stopRequested = 0;
  // The read thread has ended (or never ran), so the stage is not in use while it is replaced.
  ConfigureTouchFilter(LoadFilterSetting());
  ConfigureLongPress(LoadLongPressSetting());

  if (DetectSerialPort()) {
    RETAILMSG(1, (TEXT("Tarsel Mouse Found.\r\n")));
    // Without its exit event the thread could not be stopped safely, so it is not started.
    HANDLE thread = driverState.threadExitEvent != nullptr ? CreateThread(nullptr, 0, ReadThread, nullptr, 0, nullptr)
                                                           : nullptr;
    if (thread == nullptr) {
      RETAILMSG(1, (TEXT("Fatal Error!  Failed to create SerMouse Read thread.\r\n")));
      return FALSE;
    }
    driverState.readThreadStarted = true;
    CloseHandle(thread);
  } else {
    RETAILMSG(1, (TEXT("Tarsel Mouse  NOT Found.\r\n")));
  }

  TRACE_FUNCTION("-NRV_Init");
  return TRUE;
}

BOOL StopDriver() {
  ReleaseDriver(true);
  return TRUE;
}
