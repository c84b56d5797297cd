// Fuzzes the path every received byte takes through the driver: arbitrary bytes, split into reads
// where the input says, go through the read thread's own per-read routine (framing, counting,
// decoding with the calibration, pointer emulation) under arbitrary settings that may change
// between reads. Traps when the count differs from a reference framing written here from the
// packet layout, when a mode other than 3 does not make exactly one mouse event per report (or
// mode 3 makes any), or when an event has flags or a position the driver never sends.
//
// Input: nine little-endian 32-bit settings words (LLX, LLY, URX, URY, XInplace, YInplace,
// SelDelay, MouseMod, TouSound; missing bytes read as 0), then records until the input ends:
//   S < 0x80   a read of the (S & 0x3F) + 1 bytes that follow (fewer at the end of the input)
//   S >= 0x80  before the next read, settings word (S & 0x7F) % 9 becomes the 4 bytes that follow
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "driver_state.h"
#include "fuzz_input.h"
#include "platform/debug_output.h"
#include "platform/device_root.h"
#include "platform/pointer_output.h"
#include "pointer_state.h"
#include "read_thread.h"

namespace {

const size_t kSettingsWords = 9;

[[noreturn]] void Violation(const char *what, unsigned long long expected, unsigned long long actual) {
  std::fprintf(stderr, "report_path_fuzz: %s: expected %llu, got %llu\n", what, expected, actual);
  std::abort();
}

[[noreturn]] void BadEvent(const char *what, const platform::PointerEvent &event) {
  std::fprintf(stderr, "report_path_fuzz: %s: mouse_event flags=0x%04x dx=%u dy=%u data=%u\n", what, event.flags,
               event.dx, event.dy, event.data);
  std::abort();
}

void SetSettingsWord(size_t index, DWORD word) {
  LiveSettings &settings = driverState.settings;
  switch (index) {
    case 0: settings.LLX = static_cast<LONG>(word); break;
    case 1: settings.LLY = static_cast<LONG>(word); break;
    case 2: settings.URX = static_cast<LONG>(word); break;
    case 3: settings.URY = static_cast<LONG>(word); break;
    case 4: settings.XInplace = static_cast<LONG>(word); break;
    case 5: settings.YInplace = static_cast<LONG>(word); break;
    case 6: settings.SelDelay = word; break;
    case 7: settings.MouseMod = word; break;
    default: settings.TouSound = word; break;
  }
}

// The framing rule, stated over the whole stream: a report is a byte with bit 7 set followed by
// four bytes with bit 7 clear. A byte with bit 7 set inside a report breaks it and is lost with
// it rather than starting the next one. Feeds bytes one at a time and says whether a report has
// just ended, without the driver's byte-index state machine.
class ReferenceFraming {
 public:
  bool Take(BYTE b) {
    pending_.push_back(b);
    if ((pending_.front() & 0x80) == 0) {
      pending_.clear();  // between reports: anything but a header byte is skipped
      return false;
    }
    if (pending_.size() > 1 && (b & 0x80) != 0) {
      pending_.clear();  // the report is broken, and the breaking byte goes with it
      return false;
    }
    if (pending_.size() < 5) return false;
    pending_.clear();
    return true;
  }

 private:
  std::vector<BYTE> pending_;
};

unsigned long long mouseEvents = 0;  // recorded since the input began

// Flags of the events pointer emulation sends: a move, alone or with one left or right button
// transition.
bool KnownFlags(DWORD flags) {
  const DWORD move = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
  return flags == move || flags == (move | MOUSEEVENTF_LEFTDOWN) || flags == (move | MOUSEEVENTF_LEFTUP) ||
         flags == (move | MOUSEEVENTF_RIGHTDOWN) || flags == (move | MOUSEEVENTF_RIGHTUP);
}

void Record(const platform::PointerEvent &event) {
  if (event.kind != platform::PointerEvent::Kind::MouseEvent) return;
  ++mouseEvents;
  if (!KnownFlags(event.flags)) BadEvent("flags other than a move with at most one button transition", event);
  if (event.dx > 65535 || event.dy > 65535) BadEvent("a position outside the pointer space 0..65535", event);
  if (event.data != 0) BadEvent("wheel data in a touch event", event);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // No device root: the tray notice then finds no published window without touching the file
  // system, and nothing reads or writes a registry.
  unsetenv("DEVICE_ROOT");
  platform::SetDeviceRoot("");
  platform::SetDebugOutputSink([](const std::u16string &) {});
  platform::SetPointerSink(Record);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  pointerState = PointerState{};
  driverState.settings.Assign(DriverSettings{});
  for (size_t i = 0; i < kSettingsWords; ++i) SetSettingsWord(i, input.Word());
  driverState.reportCount = 0;
  mouseEvents = 0;

  ReportAssembler assembler;
  ReferenceFraming reference;
  unsigned long long expectedReports = 0;
  unsigned long long expectedEvents = 0;
  while (!input.Empty()) {
    uint8_t record = input.Byte();
    if (record >= 0x80) {
      size_t index = (record & 0x7F) % kSettingsWords;
      SetSettingsWord(index, input.Word());
      continue;
    }
    std::vector<BYTE> bytes = input.Bytes((record & 0x3F) + 1u);
    unsigned long long reports = 0;
    for (BYTE b : bytes) reports += reference.Take(b) ? 1 : 0;
    // Pointer emulation reads the mode for each report, and the mode bits change only between
    // reads here, so a read's reports all share one mode.
    bool emits = (driverState.settings.MouseMod & MOUSEMOD_TOUCH_MODE_MASK) != TOUCH_MODE_NONE;
    HandleReceivedBytes(assembler, bytes.data(), static_cast<DWORD>(bytes.size()));
    expectedReports += reports;
    expectedEvents += emits ? reports : 0;
    if (driverState.reportCount != expectedReports)
      Violation("reports counted by the driver", expectedReports, driverState.reportCount);
    if (mouseEvents != expectedEvents) Violation("mouse events", expectedEvents, mouseEvents);
  }
  return 0;
}
