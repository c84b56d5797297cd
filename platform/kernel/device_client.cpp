// Device handles: CreateFileW on a published device name connects to the device manager's socket
// for it, and DeviceIoControl, ReadFile, WriteFile and CloseHandle on the handle each become one
// request and one reply, carried out by the driver's entry points inside the device manager.
#include "device_client.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/device_protocol.h"
#include "kernel_object.h"
#include "serial_port.h"
#include "platform/access_advice.h"
#include "platform/device_ports.h"
#include "platform/device_root.h"
#include "platform/faults.h"
#include "platform/text.h"
#include "platform/trusted_path.h"

namespace platform {
namespace {

namespace protocol = device_protocol;

const unsigned char kPadding[protocol::kDataAlignment] = {};

constexpr DWORD kReadWriteFailed = 0xFFFFFFFFu;

std::string DisplayName(std::u16string_view name) {
  std::string text = ToUtf8(name);
  for (char &c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return text;
}

std::string SocketPathFor(std::u16string_view name) {
  std::string root = DeviceRoot();
  return root.empty() ? std::string() : protocol::DeviceSocketPath(root + "/run", name);
}

class DeviceHandle : public KernelObject {
 public:
  DeviceHandle(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~DeviceHandle() override {
    if (fd_ >= 0) close(fd_);
  }

  std::string Name() const override { return name_; }

  // The driver's Open; false with the last error set when it, or devmgr, refused or could not be
  // asked. With `takenFrom`, root's Open that takes the device back from whoever holds it first,
  // *takenFrom naming them.
  bool Open(DWORD access, DWORD share, std::string *takenFrom = nullptr) {
    const std::string program = ProgramName().substr(0, protocol::kMaxProgramName);
    protocol::Request request{takenFrom != nullptr ? protocol::kOpenTakingBack : protocol::kOpen,
                              access, share, protocol::kInPresent, static_cast<uint32_t>(program.size()), 0, 0, 0};
    iovec parts[] = {{&request, sizeof(request)}, {const_cast<char *>(program.data()), program.size()}};
    protocol::Reply reply{};
    std::vector<char> taken(takenFrom != nullptr ? protocol::kMaxBuffer : 0);
    std::lock_guard lock(mutex_);
    if (!Exchange(parts, program.empty() ? 1 : 2, &reply, taken.data(), taken.size()) && !RefusalQueued(&reply))
      return false;
    if (reply.result == 0) {
      SetLastError(reply.lastError != 0 ? reply.lastError : ERROR_OPEN_FAILED);
      return false;
    }
    if (takenFrom != nullptr) takenFrom->assign(taken.data(), reply.dataLength);
    SetLastError(ERROR_SUCCESS);
    return true;
  }

  BOOL IoControl(DWORD code, void *in, DWORD inSize, void *out, DWORD outSize, DWORD *bytesReturned) override {
    if (inSize > protocol::kMaxBuffer || outSize > protocol::kMaxBuffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (DWORD error = CheckFault("DeviceIoControl", name_)) {
      SetLastError(error);
      return FALSE;
    }
    uint32_t flags = (in != nullptr ? protocol::kInPresent : 0) | (out != nullptr ? protocol::kOutPresent : 0) |
                     (bytesReturned != nullptr ? protocol::kBytesReturnedPresent : 0);
    protocol::Request request{protocol::kIoControl, code, 0, flags, inSize, outSize,
                              bytesReturned != nullptr ? *bytesReturned : 0, 0};
    size_t inBytes = in != nullptr ? inSize : 0;
    size_t outBytes = out != nullptr ? outSize : 0;
    iovec parts[4];
    int count = 0;
    parts[count++] = {&request, sizeof(request)};
    if (inBytes != 0) parts[count++] = {in, inBytes};
    if (outBytes != 0) {
      size_t padding = protocol::Padded(sizeof(request) + inBytes) - (sizeof(request) + inBytes);
      if (padding != 0) parts[count++] = {const_cast<unsigned char *>(kPadding), padding};
      parts[count++] = {out, outBytes};
    }
    protocol::Reply reply{};
    std::lock_guard lock(mutex_);
    // The reply's output lands straight in the caller's buffer: it is the buffer as the driver
    // left it, including the bytes it did not write.
    if (!Exchange(parts, count, &reply, out, outBytes)) return FALSE;
    if (reply.dataLength != outBytes) return Disconnected();
    if (bytesReturned != nullptr) *bytesReturned = reply.bytesReturned;
    SetLastError(reply.lastError);
    return static_cast<BOOL>(reply.result);
  }

  BOOL Read(void *buffer, DWORD size, DWORD *done) override {
    if (size > protocol::kMaxBuffer || (buffer == nullptr && size != 0)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (DWORD error = CheckFault("ReadFile", name_)) {
      SetLastError(error);
      return FALSE;
    }
    protocol::Request request{protocol::kRead, 0, size, 0, 0, 0, 0, 0};
    iovec parts[] = {{&request, sizeof(request)}};
    protocol::Reply reply{};
    std::lock_guard lock(mutex_);
    if (!Exchange(parts, 1, &reply, buffer, size)) return FALSE;
    return StreamResult(reply, reply.dataLength, done);
  }

  BOOL Write(const void *buffer, DWORD size, DWORD *done) override {
    if (size > protocol::kMaxBuffer || (buffer == nullptr && size != 0)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (DWORD error = CheckFault("WriteFile", name_)) {
      SetLastError(error);
      return FALSE;
    }
    protocol::Request request{protocol::kWrite, 0, 0, protocol::kInPresent, size, 0, 0, 0};
    iovec parts[] = {{&request, sizeof(request)}, {const_cast<void *>(buffer), size}};
    protocol::Reply reply{};
    std::lock_guard lock(mutex_);
    if (!Exchange(parts, size != 0 ? 2 : 1, &reply, nullptr, 0)) return FALSE;
    return StreamResult(reply, reply.result < size ? reply.result : size, done);
  }

  // Waits until the driver's Close has run, so that the device is free again when CloseHandle
  // returns. A device manager that is gone has closed it already.
  void OnClose() override {
    DWORD savedError = GetLastError();
    protocol::Request request{protocol::kClose, 0, 0, 0, 0, 0, 0, 0};
    iovec parts[] = {{&request, sizeof(request)}};
    protocol::Reply reply{};
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (!unanswered_) Exchange(parts, 1, &reply, nullptr, 0);
    closed_ = true;
    close(fd_);
    fd_ = -1;
    SetLastError(savedError);
  }

 private:
  // Sends one request and receives its reply, any data going to `data`. The caller holds
  // mutex_: requests and replies on one connection pair up in order. False, with the last error
  // set, when the device manager cannot be reached.
  bool Exchange(const iovec *parts, int count, protocol::Reply *reply, void *data, size_t capacity) {
    if (closed_) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    if (unanswered_) return Disconnected();
    if (int error = protocol::SendRecord(fd_, parts, count)) {
      if (error == EAGAIN) return NotAnswered();
      bool tooLarge = error == EMSGSIZE || error == ENOBUFS || error == ENOMEM;
      SetLastError(tooLarge ? ERROR_NOT_ENOUGH_MEMORY : ERROR_DEVICE_NOT_CONNECTED);
      return false;
    }
    iovec response[] = {{reply, sizeof(*reply)}, {data, capacity}};
    ssize_t received = protocol::ReceiveRecord(fd_, response, capacity != 0 ? 2 : 1);
    if (received < 0 && errno == EAGAIN) return NotAnswered();
    if (received < static_cast<ssize_t>(sizeof(*reply)) || reply->dataLength > capacity ||
        static_cast<size_t>(received) != sizeof(*reply) + reply->dataLength)
      return Disconnected();
    return true;
  }

  // devmgr refuses a connection past its bound with a reply sent before it reads the request, and
  // closes it: the request's send may then find the connection gone, or the receive find it
  // reset (reported once, before the records still queued), while the refusal waits to be read.
  bool RefusalQueued(protocol::Reply *reply) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      iovec part{reply, sizeof(*reply)};
      ssize_t received = protocol::ReceiveRecord(fd_, &part, 1, MSG_DONTWAIT);
      if (received == static_cast<ssize_t>(sizeof(*reply))) return reply->result == 0 && reply->dataLength == 0;
      if (received >= 0 || errno != ECONNRESET) return false;
    }
    return false;
  }

  // devmgr did not answer within the bound. A reply that came later would be taken for the next
  // call's, so the handle reaches the driver no more; ending the connection lets devmgr, should it
  // resume, close the handle in the driver.
  bool NotAnswered() {
    unanswered_ = true;
    shutdown(fd_, SHUT_RDWR);
    SetLastError(ERROR_TIMEOUT);
    return false;
  }

  static bool Disconnected() {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }

  // XXX_Read and XXX_Write return the byte count, or -1 for failure.
  static BOOL StreamResult(const protocol::Reply &reply, DWORD count, DWORD *done) {
    if (reply.result == kReadWriteFailed) {
      SetLastError(reply.lastError != 0 ? reply.lastError : ERROR_GEN_FAILURE);
      return FALSE;
    }
    *done = count;
    SetLastError(reply.lastError);
    return TRUE;
  }

  std::mutex mutex_;
  int fd_;
  bool closed_ = false;
  bool unanswered_ = false;  // a call timed out: the connection is shut down
  std::string name_;
};

// Says once per process, for a user the file system keeps from the device, who may reach it and
// how to become one of them.
void ReportUnreachable(const std::string &display, const std::string &socketPath) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  NKDbgPrintfW(u"%a: %a cannot be reached: permission denied; %a\n", ProgramName().c_str(), display.c_str(),
               DeviceRootAdvice(DeviceRoot(), "the device's socket", socketPath).c_str());
}


// Whether `user` may be the device manager behind a socket under `run`: root, this user, the
// service's account, or run/'s owner (a private device root's user).
bool MayServeDevices(uid_t user, const std::string &run) {
  struct stat folder {};
  if (lstat(run.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) && folder.st_uid == user) return true;
  return IsTrustedOwner(user);
}

// Says why a device's socket was not connected to, once per process for each reason, so that a
// program that retries does not repeat itself.
void ReportForeignSocket(const std::string &display, const std::string &why) {
  static std::mutex mutex;
  static std::set<std::string> said;
  {
    std::lock_guard lock(mutex);
    if (!said.insert(display + why).second) return;
  }
  NKDbgPrintfW(u"%a: %a refused: %a; remove it and restart devmgr\n", ProgramName().c_str(), display.c_str(),
               why.c_str());
}

// Why the socket file at `path` is not one a device manager made, or empty when it is. Whoever may
// write run/ could otherwise lead this program, perhaps run by root, to a socket of theirs, or
// through a symbolic link to any other.
std::string ForeignSocket(const std::string &path, const struct stat &info) {
  const std::string run = path.substr(0, path.rfind('/'));
  if (S_ISLNK(info.st_mode)) return path + " is a symbolic link, not the device manager's socket";
  if (!S_ISSOCK(info.st_mode)) return path + " is not a socket";
  if (!MayServeDevices(info.st_uid, run))
    return path + " belongs to " + UserName(info.st_uid) + ", not to root, this user, " + kServiceUser +
           " or the owner of " + run + " as a device manager's socket does";
  return {};
}

DWORD ConnectError(int error) {
  switch (error) {
    case ECONNREFUSED:  // a socket file left behind by a device manager that was killed
    case ENOENT:
      return ERROR_DEV_NOT_EXIST;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EAGAIN:  // the listening devmgr accepted nothing within the bound
      return ERROR_TIMEOUT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// Connects to the socket of the device `name` after checking that a device manager made it;
// -1 with the last error set when it cannot.
int ConnectToDevice(std::u16string_view name, const std::string &display) {
  std::string path = SocketPathFor(name);
  if (path.empty()) {
    SetLastError(ERROR_DEV_NOT_EXIST);
    return -1;
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    DWORD error = ConnectError(errno);
    if (error == ERROR_ACCESS_DENIED) ReportUnreachable(display, path);
    SetLastError(error);
    return -1;
  }
  if (std::string why = ForeignSocket(path, info); !why.empty()) {
    ReportForeignSocket(display, why);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  // A devmgr that is stopped or hung still has its socket queue connections and requests; these
  // bounds (the connect's is the send's) keep its callers from waiting for it forever.
  const timeval bound{static_cast<time_t>(protocol::kReplyBound.count()), 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    DWORD error = ConnectError(errno);
    close(fd);
    if (error == ERROR_ACCESS_DENIED) ReportUnreachable(display, path);
    SetLastError(error);
    return -1;
  }
  // The file checked above may have been replaced before the connect where run/ is not sticky:
  // the program that listens must pass the same test as the file's owner.
  ucred peer {};
  socklen_t peerSize = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 ||
      !MayServeDevices(peer.uid, path.substr(0, path.rfind('/')))) {
    close(fd);
    ReportForeignSocket(display, "the program listening on " + path + " runs as " + UserName(peer.uid) +
                                     ", not as root, this user, " + kServiceUser + " or the owner of its folder");
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  device_protocol::SizeSendBuffer(fd);
  return fd;
}

}  // namespace

bool IsPublishedDevice(std::u16string_view name) {
  std::string path = SocketPathFor(name);
  struct stat info {};
  if (path.empty()) return false;
  // A socket this user may not even look at is still there: opening it says who may reach it.
  if (stat(path.c_str(), &info) != 0) return errno == EACCES;
  return S_ISSOCK(info.st_mode);
}

HANDLE OpenPublishedDevice(std::u16string_view name, DWORD desiredAccess, DWORD shareMode) {
  std::string display = DisplayName(name);
  if (DWORD error = CheckFault("CreateFileW", display)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = ConnectToDevice(name, display);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  auto device = std::make_shared<DeviceHandle>(fd, display);
  if (!device->Open(desiredAccess, shareMode)) {
    // The driver refused the open (its one handle is held), or a lent port is had by another
    // program or by its driver: the debug output says by whom, for the messages that send the user
    // there. For a busy driver at most every 5 s, since callers retry a busy device every few ms.
    const DWORD error = GetLastError();
    const bool port = IsSerialPortName(name);
    static std::mutex askedMutex;
    static std::chrono::steady_clock::time_point asked{};
    bool ask = port && error == ERROR_ACCESS_DENIED;
    if (error == ERROR_OPEN_FAILED) {
      std::lock_guard lock(askedMutex);
      const auto now = std::chrono::steady_clock::now();
      ask = asked == std::chrono::steady_clock::time_point{} || now - asked >= std::chrono::seconds(5);
      if (ask) asked = now;
    }
    std::string holders;
    if (ask && QueryDeviceHolders(name, false, &holders)) {
      if (port && holders.empty())
        NKDbgPrintfW(u"%a: %a its driver holds the port, which is lent only while the driver is stopped\n",
                     ProgramName().c_str(), display.c_str());
      else if (port)
        NKDbgPrintfW(u"%a: %a the port is lent to %a\n", ProgramName().c_str(), display.c_str(), holders.c_str());
      else if (!holders.empty())
        NKDbgPrintfW(u"%a: %a the driver's handle is held by %a\n", ProgramName().c_str(), display.c_str(),
                     holders.c_str());
    }
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return InsertHandle(device);
}

namespace {

// One question to the device's devmgr on a connection of its own; the reply's data in *text.
bool AskDevmgr(std::u16string_view device, uint32_t operation, uint32_t code, std::string *answer) {
  const int fd = ConnectToDevice(device, DisplayName(device));
  if (fd < 0) return false;
  const std::string program = ProgramName().substr(0, protocol::kMaxProgramName);
  protocol::Request request{operation, code, 0, protocol::kInPresent, static_cast<uint32_t>(program.size()), 0, 0, 0};
  iovec parts[] = {{&request, sizeof(request)}, {const_cast<char *>(program.data()), program.size()}};
  protocol::Reply reply{};
  std::vector<char> text(protocol::kMaxBuffer);
  iovec response[] = {{&reply, sizeof(reply)}, {text.data(), text.size()}};
  const int sendError = protocol::SendRecord(fd, parts, program.empty() ? 1 : 2);
  const ssize_t received = sendError == 0 ? protocol::ReceiveRecord(fd, response, 2) : -1;
  const bool timedOut = sendError == EAGAIN || (sendError == 0 && received < 0 && errno == EAGAIN);
  close(fd);
  if (received < static_cast<ssize_t>(sizeof(reply)) || reply.result == 0 ||
      static_cast<size_t>(received) != sizeof(reply) + reply.dataLength) {
    SetLastError(timedOut ? ERROR_TIMEOUT
                 : received >= static_cast<ssize_t>(sizeof(reply)) && reply.lastError != 0 ? reply.lastError
                                                                                           : ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  answer->assign(text.data(), reply.dataLength);
  return true;
}

}  // namespace

bool QueryDevicePorts(std::u16string_view device, std::vector<DevicePort> *ports) {
  std::string text;
  if (!AskDevmgr(device, protocol::kQueryPorts, 0, &text)) return false;
  *ports = protocol::DecodePorts(text);
  return true;
}

bool QueryDeviceHolders(std::u16string_view device, bool takeBack, std::string *holders) {
  return AskDevmgr(device, protocol::kQueryHolders, takeBack ? protocol::kTakeBack : 0, holders);
}

void *OpenDeviceTakingBack(std::u16string_view device, unsigned long desiredAccess, std::string *takenFrom) {
  takenFrom->clear();
  const std::string display = DisplayName(device);
  if (DWORD error = CheckFault("CreateFileW", display)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = ConnectToDevice(device, display);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  auto handle = std::make_shared<DeviceHandle>(fd, display);
  if (!handle->Open(static_cast<DWORD>(desiredAccess), 0, takenFrom)) return INVALID_HANDLE_VALUE;
  return InsertHandle(handle);
}

std::string PortNotHeld(std::u16string_view device) {
  std::vector<DevicePort> ports;
  if (!QueryDevicePorts(device, &ports))
    return "whether the driver holds its port cannot be asked (error " + std::to_string(GetLastError()) +
           "): see devmgr's log";
  for (const DevicePort &port : ports) {
    if (port.state == DevicePort::State::kHeld) continue;
    const std::string where = "the port " + port.port + (port.path.empty() ? "" : " (" + port.path + ")");
    if (port.state == DevicePort::State::kClosed)
      return where + " was opened and closed again by the driver (its settings do not suit the line: see the "
             "driver's debug output)";
    if (port.state == DevicePort::State::kLent)
      return where + " is lent to " + port.reason + ", who calibrates; the driver takes it back when it starts";
    return where + " cannot be opened: " + port.reason +
           (port.mayAppear ? "; devmgr starts the driver again when the port appears or changes"
                           : "; once that is corrected, start the driver again (nrvctl start)");
  }
  return {};
}

}  // namespace platform
