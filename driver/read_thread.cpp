// The read thread: waits for received characters, reads at most one report's length at a time,
// frames the bytes into reports, and hands each complete report over on this thread: counted,
// decoded, filtered when the touch filter is on, mapped to the pointer space, and passed to
// pointer emulation before the next byte is looked at. It leaves when the
// stop request is raised, setting the exit event as its last act on the driver state.
#include "read_thread.h"

#include "debug_zones.h"
#include "driver_state.h"
#include "pointer_emulation.h"
#include "touch_filter.h"
#include "touch_report.h"

namespace {

bool StopRequested() { return driverState.stopRequested != 0; }

void HandOver(const BYTE packet[5]) {
  ++driverState.reportCount;
  TouchReport report = ReadRawReport(packet);
  if (touchFilterStage.on) touchFilterStage.filter.Filter(report);
  MapToPointer(report);
  EmulatePointer(report, GetTickCount());
}

}  // namespace

void HandleReceivedBytes(ReportAssembler &assembler, const BYTE *bytes, DWORD count) {
  for (DWORD i = 0; i < count; ++i)
    if (assembler.Frame(bytes[i])) HandOver(assembler.packet);
}

DWORD WINAPI ReadThread(LPVOID) {
  ReportAssembler assembler;
  while (!StopRequested()) {
    DWORD events = 0;
    if (!WaitCommEvent(driverState.portHandle, &events, nullptr) || (events & EV_RXCHAR) == 0) continue;
    // After a read that returned bytes, read again at once: an empty read returns within 5 ms,
    // and the stop request is tested after every read.
    for (;;) {
      BYTE buffer[5];
      DWORD received = 0;
      if (!ReadFile(driverState.portHandle, buffer, sizeof buffer, &received, nullptr) || received == 0) break;
      HandleReceivedBytes(assembler, buffer, received);
      if (StopRequested()) break;
    }
  }
  SetEvent(driverState.threadExitEvent);
  RETAILMSG(1, (TEXT("ReadThread Stop.\r\n")));
  return 1;
}
