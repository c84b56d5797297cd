// Record layout checks, device socket names and the send and receive of one record, shared by
// device handles and the device manager.
#include "platform/device_protocol.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>

namespace platform::device_protocol {

bool DescribeRequest(const Request &request, size_t recordSize, RequestLayout *layout) {
  if (request.inLength > kMaxBuffer || request.outLength > kMaxBuffer) return false;
  size_t inBytes = (request.flags & kInPresent) != 0 ? request.inLength : 0;
  size_t outBytes = (request.flags & kOutPresent) != 0 ? request.outLength : 0;
  size_t outOffset = Padded(sizeof(Request) + inBytes);
  size_t expected = outBytes != 0 ? outOffset + outBytes : sizeof(Request) + inBytes;
  if (recordSize != expected) return false;
  *layout = {sizeof(Request), inBytes, outOffset, outBytes};
  return true;
}

namespace {

std::string Field(std::string text) {
  for (char &c : text)
    if (c == '\t' || c == '\n') c = ' ';
  return text;
}

const char *StateName(DevicePort::State state) {
  switch (state) {
    case DevicePort::State::kHeld: return "held";
    case DevicePort::State::kFailed: return "failed";
    case DevicePort::State::kLent: return "lent";
    case DevicePort::State::kClosed: break;
  }
  return "closed";
}

}  // namespace

std::string EncodePorts(const std::vector<DevicePort> &ports) {
  std::string text;
  for (const DevicePort &port : ports)
    text += Field(port.port) + '\t' + Field(port.path) + '\t' + StateName(port.state) + '\t' +
            (port.mayAppear ? "1" : "0") + '\t' + Field(port.reason) + '\n';
  return text;
}

std::vector<DevicePort> DecodePorts(std::string_view text) {
  std::vector<DevicePort> ports;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::vector<std::string> fields;
    for (size_t tab; fields.size() < 4 && (tab = line.find('\t')) != std::string_view::npos;) {
      fields.emplace_back(line.substr(0, tab));
      line.remove_prefix(tab + 1);
    }
    if (fields.size() != 4) continue;  // not a line this platform writes
    DevicePort port;
    port.port = fields[0];
    port.path = fields[1];
    port.state = fields[2] == "held"     ? DevicePort::State::kHeld
                 : fields[2] == "failed" ? DevicePort::State::kFailed
                 : fields[2] == "lent"   ? DevicePort::State::kLent
                                         : DevicePort::State::kClosed;
    port.mayAppear = fields[3] == "1";
    port.reason = std::string(line);
    ports.push_back(std::move(port));
  }
  return ports;
}

bool IsDeviceName(std::u16string_view name) {
  auto letter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
  return name.size() == 5 && letter(name[0]) && letter(name[1]) && letter(name[2]) && name[3] >= u'0' &&
         name[3] <= u'9' && name[4] == u':';
}

std::string DeviceSocketPath(const std::string &runDirectory, std::u16string_view name) {
  if (runDirectory.empty() || !IsDeviceName(name)) return {};
  std::string path = runDirectory + "/device.";
  for (size_t i = 0; i < 4; ++i) {
    char c = static_cast<char>(name[i]);
    path += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  }
  if (path.size() >= sizeof(sockaddr_un::sun_path)) return {};
  return path;
}

void SizeSendBuffer(int fd) {
  // The kernel doubles the figure; a Unix record must fit in the send buffer whole.
  int size = static_cast<int>(kMaxRequestSize);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

int SendRecord(int fd, const iovec *parts, int count, int flags) {
  msghdr message{};
  message.msg_iov = const_cast<iovec *>(parts);
  message.msg_iovlen = static_cast<size_t>(count);
  for (;;) {
    if (sendmsg(fd, &message, MSG_NOSIGNAL | flags) >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

ssize_t ReceiveRecord(int fd, iovec *parts, int count, int flags) {
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<size_t>(count);
  for (;;) {
    ssize_t received = recvmsg(fd, &message, flags);
    if (received >= 0) {
      if ((message.msg_flags & MSG_TRUNC) != 0) {
        errno = EMSGSIZE;
        return -1;
      }
      return received;
    }
    if (errno != EINTR) return -1;
  }
}

}  // namespace platform::device_protocol
