// The read thread: waits for received characters, reads at most five bytes at a time, and leaves
// when the stop request is raised, setting the exit event as its last act.
#include "read_thread.h"

#include "debug_zones.h"
#include "driver_state.h"

namespace {

bool StopRequested() { return driverState.stopRequested != 0; }

}  // namespace

DWORD WINAPI ReadThread(LPVOID) {
  while (!StopRequested()) {
    DWORD events = 0;
    if (WaitCommEvent(driverState.portHandle, &events, nullptr) && (events & EV_RXCHAR) != 0) {
      // After a read that returned bytes, read again at once: the time-outs make an empty read
      // return within 5 ms, and the stop request is tested after every read.
      for (;;) {
        BYTE buffer[5];
        DWORD received = 0;
        if (!ReadFile(driverState.portHandle, buffer, sizeof buffer, &received, nullptr) || received == 0) break;
        if (StopRequested()) break;
      }
    }
  }
  SetEvent(driverState.threadExitEvent);
  RETAILMSG(1, (TEXT("ReadThread Stop.\r\n")));
  return 1;
}
