// Fuzzes the driver's control codes: sequences of NRV_IOControl calls on a driver started once in
// this process (on a temporary device root holding the default installation, its port a
// pseudo-terminal), with codes mostly from the driver's own set, null or real buffers of any
// length and content. Each real buffer is a heap block of exactly its stated length, so that
// AddressSanitizer catches any access outside it. Traps when a result, the last error, the bytes
// written or the byte count differ from the control-code table below, kept here apart from the
// driver's.
//
// Input, records until the input ends or kMaxCalls calls were made:
//   C           C < 0xD0: code kCodes[C % 13]; otherwise the code is the 4 bytes that follow
//   F           bit 0: input pointer null, bit 1: output pointer null, bit 2: byte-count pointer
//               null, bit 3 / bit 4: with its pointer null, the input / output length is a 4-byte
//               word instead of one byte
//   LI, LO      the input and output lengths (a byte, or the word bit 3 / bit 4 asks for)
//   data        LI bytes of input (when its pointer is real), then LO bytes the output buffer
//               holds before the call (when its pointer is real); missing bytes are 0
// A settings record's BaudRate word (bytes 20-23) is replaced by a rate the port accepts, chosen
// by its first byte: with a rate it refuses, a later start leaves no read thread, and the stop
// after it waits two seconds for one, which would slow the fuzzer down a thousandfold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "platform/debug_output.h"
#include "stream_interface.h"
#include "test_root.h"

namespace {

const size_t kMaxCalls = 8;
const DWORD kUntouchedError = 0x5EED0001;
const DWORD kUntouchedCount = 0xA5A5A5A5;
const DWORD kInvalidParameter = 87;

// The control codes by value, and what each needs and gives.
enum class Kind { Nothing, SetSettings, GetSettings, PortName, FixedValue, ReadCount, Unknown };

struct Code {
  DWORD value;
  Kind kind;
};

const Code kCodes[] = {
    {0x80000400, Kind::Nothing},      // stop
    {0x80000404, Kind::Nothing},      // start
    {0x80000408, Kind::Nothing},      // reserved
    {0x8000040C, Kind::SetSettings},  // in: 48-byte record
    {0x80000410, Kind::GetSettings},  // out: 48-byte record, word 0 left alone
    {0x80000414, Kind::Nothing},      // reserved
    {0x80000418, Kind::Nothing},      // reserved
    {0x8000041C, Kind::Nothing},      // reserved
    {0x80000420, Kind::Nothing},      // reserved
    {0x80000424, Kind::PortName},     // out: 12 bytes
    {0x80000440, Kind::FixedValue},   // out: 4 bytes, the value 12
    {0x80000444, Kind::Nothing},      // reset the report count
    {0x80000448, Kind::ReadCount},    // out: 4 bytes, no byte count
};
const size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

Kind KindOf(DWORD code) {
  for (const Code &known : kCodes)
    if (known.value == code) return known.kind;
  return Kind::Unknown;
}

const DWORD kPortRates[] = {9600, 19200, 38400, 57600, 115200, 4800, 2400, 1200};

const size_t kRecordSize = 48;
const size_t kBaudRateOffset = 20;

// Words 1-11 of the settings record as the registry holds them: the default installation at
// first, then the words of every settings record the driver accepted. No report reaches the port,
// so nothing else changes them.
DWORD expectedWords[12] = {0, 0, 0, 0, 0, 9600, 0, 5000, 5000, 10, 10, 0};

// A caller's buffer: null, or a heap block of exactly `length` bytes.
struct Buffer {
  std::unique_ptr<BYTE[]> bytes;
  DWORD length = 0;

  BYTE *data() const { return bytes.get(); }
};

Buffer TakeBuffer(FuzzInput &input, bool null, bool wide) {
  Buffer buffer;
  if (null) {
    buffer.length = wide ? input.Word() : input.Byte();
    return buffer;
  }
  buffer.length = input.Byte();
  buffer.bytes.reset(new BYTE[buffer.length]);
  for (DWORD i = 0; i < buffer.length; ++i) buffer.bytes[i] = input.Byte();
  return buffer;
}

std::vector<BYTE> Contents(const Buffer &buffer) {
  if (buffer.data() == nullptr) return {};
  return std::vector<BYTE>(buffer.data(), buffer.data() + buffer.length);
}

[[noreturn]] void Violation(DWORD code, const char *what, unsigned long long expected, unsigned long long actual) {
  std::fprintf(stderr, "ioctl_fuzz: code 0x%08x: %s: expected %llu (0x%llx), got %llu (0x%llx)\n", code, what, expected,
               expected, actual, actual);
  std::abort();
}

size_t Differences(const Buffer &buffer, const std::vector<BYTE> &expected) {
  size_t differences = 0;
  for (size_t i = 0; i < expected.size(); ++i) differences += buffer.data()[i] != expected[i];
  return differences;
}

void PutWord(std::vector<BYTE> &bytes, size_t offset, DWORD word) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<BYTE>(word >> (8 * i));
}

DWORD WordAt(const BYTE *bytes, size_t offset) {
  DWORD word = 0;
  for (int i = 0; i < 4; ++i) word |= static_cast<DWORD>(bytes[offset + i]) << (8 * i);
  return word;
}

// What a call must give: its result, the last error after a failure (kUntouchedError: not set),
// the output buffer's bytes and the byte count. Settings the driver accepts are remembered.
struct Expected {
  BOOL result = TRUE;
  DWORD error = kUntouchedError;
  std::vector<BYTE> out;
  DWORD count = kUntouchedCount;
};

Expected Expect(Kind kind, const Buffer &in, const Buffer &out) {
  Expected expected;
  expected.out = Contents(out);
  auto refuse = [&] {
    expected.result = FALSE;
    expected.error = kInvalidParameter;
  };
  switch (kind) {
    case Kind::Nothing: break;
    case Kind::SetSettings:
      if (in.data() == nullptr || in.length < kRecordSize) {
        refuse();
        break;
      }
      for (size_t word = 1; word < 12; ++word) expectedWords[word] = WordAt(in.data(), word * 4);
      break;
    case Kind::GetSettings:
      if (out.data() == nullptr || out.length < kRecordSize) {
        refuse();
        break;
      }
      for (size_t word = 1; word < 12; ++word) PutWord(expected.out, word * 4, expectedWords[word]);
      expected.count = kRecordSize;
      break;
    case Kind::PortName: {
      if (out.data() == nullptr || out.length < 12) {
        refuse();
        break;
      }
      const char16_t name[6] = u"COM1:";
      for (size_t i = 0; i < 6; ++i) {
        expected.out[2 * i] = static_cast<BYTE>(name[i] & 0xFF);
        expected.out[2 * i + 1] = static_cast<BYTE>(name[i] >> 8);
      }
      expected.count = 12;
      break;
    }
    case Kind::FixedValue:
      if (out.data() == nullptr || out.length < 4) {
        refuse();
        break;
      }
      PutWord(expected.out, 0, 12);
      expected.count = 4;
      break;
    case Kind::ReadCount:
      // The count is returned without a byte count; no report ever reaches the port.
      if (out.data() == nullptr || out.length < 4) {
        refuse();
        break;
      }
      PutWord(expected.out, 0, 0);
      break;
    case Kind::Unknown: expected.result = FALSE; break;
  }
  return expected;
}

DWORD openContext = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Owned until exit, when the driver is stopped before its device root goes.
  static testing_support::TempDeviceRoot root;
  static testing_support::PseudoTerminal line;
  root.WriteHive(testing_support::DefaultDevice(line.slavePath()));
  platform::SetDebugOutputSink([](const std::u16string &) {});
  if (NRV_Init(u"Drivers\\Active\\01", nullptr) != 1 || (openContext = NRV_Open(1, 0, 0)) == 0) {
    std::fprintf(stderr, "ioctl_fuzz: the driver did not start on %s\n", root.path().c_str());
    std::abort();
  }
  std::atexit([] {
    NRV_Close(openContext);
    NRV_Deinit(1);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  for (size_t call = 0; call < kMaxCalls && !input.Empty(); ++call) {
    uint8_t choice = input.Byte();
    DWORD code = choice < 0xD0 ? kCodes[choice % kCodeCount].value : input.Word();
    uint8_t flags = input.Byte();
    Buffer in = TakeBuffer(input, (flags & 0x01) != 0, (flags & 0x08) != 0);
    Buffer out = TakeBuffer(input, (flags & 0x02) != 0, (flags & 0x10) != 0);
    std::unique_ptr<DWORD> count((flags & 0x04) != 0 ? nullptr : new DWORD(kUntouchedCount));
    Kind kind = KindOf(code);
    if (kind == Kind::SetSettings && in.data() != nullptr && in.length >= kBaudRateOffset + 4) {
      DWORD rate = kPortRates[in.data()[kBaudRateOffset] % (sizeof kPortRates / sizeof kPortRates[0])];
      for (int i = 0; i < 4; ++i) in.data()[kBaudRateOffset + i] = static_cast<BYTE>(rate >> (8 * i));
    }
    const std::vector<BYTE> inBefore = Contents(in);
    Expected expected = Expect(kind, in, out);

    SetLastError(kUntouchedError);
    BOOL result = NRV_IOControl(openContext, code, in.data(), in.length, out.data(), out.length, count.get());
    DWORD error = GetLastError();

    if (result != expected.result) Violation(code, "result", expected.result, result);
    if (!result && error != expected.error) Violation(code, "last error", expected.error, error);
    if (Contents(in) != inBefore)
      Violation(code, "bytes of the input buffer that changed", 0, Differences(in, inBefore));
    if (Contents(out) != expected.out)
      Violation(code, "output bytes that differ from what the call gives", 0, Differences(out, expected.out));
    if (count && *count != expected.count) Violation(code, "byte count", expected.count, *count);
  }
  return 0;
}
