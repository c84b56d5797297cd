// The messages between a device handle and the device manager that publishes the device: one
// request and one reply per call, each a single record on a Unix-domain SOCK_SEQPACKET socket
// under the device root's run/ folder, so a call costs one send and one receive each way.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_ports.h"

namespace platform::device_protocol {

using platform::DevicePort;

// How long a device handle waits for devmgr: to connect, to send a request and for its reply. A
// call takes a few milliseconds; the longest a driver call may legitimately take is a start or a
// stop of the touch driver (up to 2 s for its read thread to end, then the port's open) behind a
// start that devmgr itself makes when a port appears (as long again). Past it the call fails
// with ERROR_TIMEOUT, and devmgr takes a call still inside the driver for one that is stuck.
constexpr std::chrono::seconds kReplyBound{10};

// The largest input, output, read or write buffer one call carries.
constexpr uint32_t kMaxBuffer = 64 * 1024;

// Request operations.
// The first request of a connection (kOpen, kQueryPorts, kQueryHolders) carries the program's
// name as its in buffer (at most kMaxProgramName bytes), which devmgr's lines use for a program
// whose /proc entry it may not read (the service's sandbox hides other users' processes); its user
// and pid come from the kernel.
constexpr uint32_t kOpen = 1;       // code: access, argument: share mode; first request of a connection
constexpr uint32_t kIoControl = 2;  // code: control code; in and out buffers as flagged
constexpr uint32_t kRead = 3;       // argument: byte count
constexpr uint32_t kWrite = 4;      // in buffer: the bytes
constexpr uint32_t kClose = 5;      // answered once the driver's Close has run; the connection ends
// The only request of its connection, sent instead of an Open: the reply's data are the device's
// serial ports (EncodePorts); the connection ends. The driver is not called.
constexpr uint32_t kQueryPorts = 6;
// The only request of its connection too: the reply's data name the programs that hold the
// device's open handles, "alice (calvex, pid 812)" separated by "; ". With code kTakeBack, from
// root only, devmgr first ends those handles (the driver's Close runs for each) and replies once
// they are closed. The driver is not called otherwise.
constexpr uint32_t kQueryHolders = 7;
constexpr uint32_t kTakeBack = 1;
// An Open, from root only, that first ends the handles others hold (as kQueryHolders with
// kTakeBack does) and then opens, with no other program's open between the two: a program that
// opens again the moment its handle is taken back cannot win the device back before root. The
// reply's data name who held it.
constexpr uint32_t kOpenTakingBack = 8;

// A connection past the number devmgr serves at once for a device is answered before any request,
// with a Reply whose result is 0 and whose lastError is ERROR_TOO_MANY_OPEN_FILES, and closed.

constexpr size_t kMaxProgramName = 64;

// Request flags: which of the caller's pointers were not null. A null pointer reaches the driver
// as null, with whatever length the caller gave.
constexpr uint32_t kInPresent = 1;
constexpr uint32_t kOutPresent = 2;
constexpr uint32_t kBytesReturnedPresent = 4;

// Followed by the input bytes (when present), zero padding up to the next multiple of
// kDataAlignment, and the output buffer's current contents (when present): the driver may leave
// parts of the output untouched, and the caller must then see them unchanged. The padding keeps
// both buffers aligned for drivers that read them as structures.
struct Request {
  uint32_t operation;
  uint32_t code;
  uint32_t argument;
  uint32_t flags;
  uint32_t inLength;
  uint32_t outLength;
  uint32_t bytesReturned;  // the caller's current value, when kBytesReturnedPresent
  uint32_t reserved;
};

// Followed by dataLength bytes: the whole output buffer after an IoControl, the bytes read after
// a Read.
struct Reply {
  uint32_t result;         // the entry point's return value
  uint32_t lastError;      // the driver thread's last error after the call (cleared before it)
  uint32_t bytesReturned;  // for IoControl with kBytesReturnedPresent
  uint32_t dataLength;
};

constexpr size_t kDataAlignment = 16;
static_assert(sizeof(Request) % kDataAlignment == 0);

constexpr size_t Padded(size_t length) { return (length + kDataAlignment - 1) / kDataAlignment * kDataAlignment; }

// Where a request's parts lie; false for a record whose size does not match its header or whose
// buffers exceed kMaxBuffer.
struct RequestLayout {
  size_t inOffset;
  size_t inBytes;
  size_t outOffset;
  size_t outBytes;
};
bool DescribeRequest(const Request &request, size_t recordSize, RequestLayout *layout);

constexpr size_t kMaxRequestSize = sizeof(Request) + Padded(kMaxBuffer) + kMaxBuffer;

// The ports of a kQueryPorts reply: one line per port, its fields separated by tabs.
std::string EncodePorts(const std::vector<DevicePort> &ports);
std::vector<DevicePort> DecodePorts(std::string_view text);

// True for a device name of three ASCII letters, a digit and a colon ("NRV1:").
bool IsDeviceName(std::u16string_view name);
// runDirectory/device.NRV1 for "NRV1:" (any letter case); empty when the name is not a device
// name or the path does not fit a Unix socket address.
std::string DeviceSocketPath(const std::string &runDirectory, std::u16string_view name);

// Enlarges the socket's send buffer so that the largest record fits in one message.
void SizeSendBuffer(int fd);
// Sends one record gathered from parts, without SIGPIPE, with the send(2) flags given; 0 or the
// errno value.
int SendRecord(int fd, const iovec *parts, int count, int flags = 0);
// Receives one record scattered into parts, with the recv(2) flags given; its size, 0 at end of
// connection, -1 with errno set on failure (EMSGSIZE for a record larger than the parts).
ssize_t ReceiveRecord(int fd, iovec *parts, int count, int flags = 0);

}  // namespace platform::device_protocol
