// The listening socket of one device, and the thread per connection that turns each request into
// the driver's entry-point call and sends back its result, the driver thread's last error and the
// buffers as the driver left them.
#include "host/device_host.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/device_protocol.h"
#include "host/log.h"
#include "host/port_lender.h"
#include "platform/access_advice.h"
#include "platform/serial_port_use.h"
#include "platform/text.h"
#include "platform/trusted_path.h"

namespace devmgr {
namespace {

namespace protocol = platform::device_protocol;

constexpr DWORD kReadWriteFailed = 0xFFFFFFFFu;

sockaddr_un AddressOf(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof(address.sun_path)));
  return address;
}

std::string FolderOf(const std::string &path) { return path.substr(0, path.rfind('/')); }

std::string KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISREG(mode)) return "a file";
  return "not a socket";
}

// A socket at a device's path that devmgr may take for one of its own: owned by root, this user,
// the service's account, or whoever owns run/ (a private device root's user).
bool IsOwnSocket(const std::string &socketPath, const struct stat &info) {
  struct stat run {};
  bool runOwner = lstat(FolderOf(socketPath).c_str(), &run) == 0 && S_ISDIR(run.st_mode) && run.st_uid == info.st_uid;
  return S_ISSOCK(info.st_mode) && (runOwner || platform::IsTrustedOwner(info.st_uid));
}


// A name in the device's folder of the same length as the device's own ("device.NRV1"), made of
// a dot and random letters and digits: nobody can make it in advance, and it fits wherever the
// device's path fits. Empty when the system gives no random bytes.
std::string UnguessableNameBeside(const std::string &path) {
  const size_t length = path.size() - path.rfind('/') - 1;
  std::string name = FolderOf(path) + "/.";
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[32];
  if (length < 2 || length - 1 > sizeof random || getrandom(random, length - 1, 0) != static_cast<ssize_t>(length - 1))
    return {};
  for (size_t i = 0; i + 1 < length; ++i) name += kDigits[random[i] % 36];
  return name;
}

// What is at `path` in the way of the socket, once it was replaced: "a file of alice". A socket
// is what a devmgr that was killed leaves, and is replaced without a word.
std::string InTheWay(const struct stat &entry) {
  return S_ISSOCK(entry.st_mode) ? std::string() : KindOf(entry.st_mode) + " of " + platform::UserName(entry.st_uid);
}

// Puts the listening socket bound at `made` in the device's path in one step, whatever is there:
// rename replaces a file, a link or a socket (unlink and rename never follow a link), and a folder
// swaps places with the socket, to lie under the unguessable name the socket had. run/ is open to
// members, so anything there may be anyone's, made while no devmgr listened (a restart, an
// upgrade), and they may make it again at any moment: no step leaves a gap for them. False, with
// *error naming the entry's owner and the fix, when devmgr does not own the folder.
bool MoveIntoPlace(const std::string &device, const std::string &made, const std::string &path, std::string *error) {
  struct stat entry {};
  const bool found = lstat(path.c_str(), &entry) == 0;
  struct stat run {};
  if (found && !S_ISSOCK(entry.st_mode) && (lstat(FolderOf(path).c_str(), &run) != 0 || run.st_uid != geteuid())) {
    *error = path + " is " + InTheWay(entry) + ", not the socket a devmgr left, in a folder devmgr does not own: "
             "remove it (sudo rm -r " + platform::Printable(path) + "), then start devmgr again";
    return false;
  }
  if (rename(made.c_str(), path.c_str()) == 0) {
    if (found && !InTheWay(entry).empty())
      LogError(device + " removed " + path + ", " + InTheWay(entry) + ", which was in the way of its socket");
    return true;
  }
  if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) {
    struct stat folder {};
    if (renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
      const std::string what =
          lstat(made.c_str(), &folder) == 0 ? InTheWay(folder) : std::string("a folder");
      if (rmdir(made.c_str()) == 0)
        LogError(device + " removed " + path + ", " + what + ", which was in the way of its socket");
      else
        LogError(device + " moved " + path + ", " + what + ", which was in the way of its socket, to " + made);
      return true;
    }
  }
  *error = "cannot put the socket in place at " + path + ": " + std::strerror(errno) +
           (found && !S_ISSOCK(entry.st_mode) ? "; remove " + InTheWay(entry) + " there (sudo rm -r " +
                                                    platform::Printable(path) + "), then start devmgr again"
                                              : "; make sure the device root's run/ folder is writable");
  return false;
}

// A program's name as its process chose it, with every character that could pass for the lines'
// own structure (a comma, a parenthesis, a semicolon, a quote) or not print written as \xHH.
std::string SafeName(std::string_view name) {
  std::string shown;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || (byte < 0x80 && std::strchr(" ._+-/:@=", c) != nullptr && c != '\0')) {
      shown += c;
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    shown += escaped;
  }
  return shown;
}

// A process's name as the kernel shows it (which the process may still have set itself).
// Empty when /proc does not show it (the service's sandbox hides other users' processes).
std::string ProgramOf(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (pid <= 0 || !std::getline(comm, name)) return {};
  return name;
}

// "alice (calvex, pid 812)" for a name /proc showed, "alice (program "calvex", claimed, pid 812)"
// for one the program sent; the user and the pid come from the kernel.
std::string Who(uid_t uid, const std::string &program, bool claimed, pid_t pid) {
  const std::string name = program.empty() ? "a program"
                           : claimed        ? "program \"" + SafeName(program) + "\", claimed"
                                            : SafeName(program);
  return platform::UserName(uid) + " (" + name + ", pid " + std::to_string(pid) + ")";
}

bool IsKnownOperation(uint32_t operation) {
  return operation >= protocol::kOpen && operation <= protocol::kOpenTakingBack;
}

// The requests that begin a connection, each carrying the program's name.
bool IsFirstRequest(uint32_t operation) {
  return operation == protocol::kOpen || operation == protocol::kQueryPorts ||
         operation == protocol::kQueryHolders || operation == protocol::kOpenTakingBack;
}

// The serial ports the driver opened or tried to while serving this device (tagged `user`).
std::string PortsOf(unsigned user) {
  std::vector<platform::DevicePort> ports;
  for (const platform::SerialPortUse &use : platform::SerialPortUses()) {
    if (use.user != user) continue;
    platform::DevicePort port;
    port.port = use.port;
    port.path = use.path;
    // A loan holds the tty for its borrower while the driver does not.
    const std::string borrowers = use.holders > 0 ? Borrowers(use.port) : std::string();
    port.state = !borrowers.empty() ? platform::DevicePort::State::kLent
                 : use.holders > 0  ? platform::DevicePort::State::kHeld
                 : use.openFailed   ? platform::DevicePort::State::kFailed
                                    : platform::DevicePort::State::kClosed;
    port.mayAppear = use.mayAppear;
    port.reason = borrowers.empty() ? use.reason : borrowers;
    ports.push_back(std::move(port));
  }
  return protocol::EncodePorts(ports);
}

// Calls the entry point a request names and fills in the reply and the data to send back with
// it; false when the connection ends after this reply (a refused Open, a Close). The caller sees
// the last error the driver set during this call, and none from earlier calls.
bool Dispatch(const StreamEntryPoints &entries, DWORD deviceContext, const protocol::Request &request,
              const protocol::RequestLayout &layout, unsigned char *buffer, DWORD *openContext,
              protocol::Reply *reply, iovec *data) {
  unsigned char *in = (request.flags & protocol::kInPresent) != 0 ? buffer + layout.inOffset : nullptr;
  unsigned char *out = (request.flags & protocol::kOutPresent) != 0 ? buffer + layout.outOffset : nullptr;
  bool more = true;
  SetLastError(ERROR_SUCCESS);
  switch (request.operation) {
    case protocol::kOpen:
    case protocol::kOpenTakingBack:
      if (entries.Open != nullptr) *openContext = entries.Open(deviceContext, request.code, request.argument);
      else SetLastError(ERROR_NOT_SUPPORTED);
      reply->result = *openContext != 0 ? TRUE : FALSE;
      more = *openContext != 0;
      break;
    case protocol::kIoControl: {
      DWORD bytesReturned = request.bytesReturned;
      PDWORD bytesReturnedPointer = (request.flags & protocol::kBytesReturnedPresent) != 0 ? &bytesReturned : nullptr;
      if (entries.IOControl != nullptr)
        reply->result = static_cast<uint32_t>(entries.IOControl(*openContext, request.code, in, request.inLength, out,
                                                                request.outLength, bytesReturnedPointer));
      else SetLastError(ERROR_NOT_SUPPORTED);
      reply->bytesReturned = bytesReturned;
      reply->dataLength = static_cast<uint32_t>(layout.outBytes);
      *data = {out, layout.outBytes};
      break;
    }
    case protocol::kRead: {
      unsigned char *read = buffer + sizeof(request);
      reply->result = kReadWriteFailed;
      if (entries.Read != nullptr) reply->result = entries.Read(*openContext, read, request.argument);
      else SetLastError(ERROR_NOT_SUPPORTED);
      if (reply->result != kReadWriteFailed) reply->dataLength = std::min(reply->result, request.argument);
      *data = {read, reply->dataLength};
      break;
    }
    case protocol::kWrite:
      reply->result = kReadWriteFailed;
      if (entries.Write != nullptr) reply->result = entries.Write(*openContext, in, request.inLength);
      else SetLastError(ERROR_NOT_SUPPORTED);
      break;
    case protocol::kClose:
      reply->result = entries.Close != nullptr ? static_cast<uint32_t>(entries.Close(*openContext)) : TRUE;
      *openContext = 0;
      more = false;
      break;
  }
  reply->lastError = GetLastError();
  return more;
}

}  // namespace

void RunAsOrdinaryThread() {
  int policy = 0;
  sched_param parameters{};
  if (pthread_getschedparam(pthread_self(), &policy, &parameters) == 0 &&
      (policy == SCHED_FIFO || policy == SCHED_RR)) {
    sched_param ordinary{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
  }
  const id_t self = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, self);
  if (errno == 0 && nice < 0) setpriority(PRIO_PROCESS, self, 0);
}

struct DeviceHost::Connection {
  int fd = -1;
  // The program at the other end, as the kernel gave it at connect, for the lines that name it.
  uid_t uid = static_cast<uid_t>(-1);
  pid_t pid = 0;
  bool programKnown = false;  // read from /proc; else taken from the first request
  // "alice (nrvctl, pid 812)", made when a line or a question first needs it: looking the user's
  // name up costs more than a whole call, and most connections are never named.
  std::string Who() const {
    std::lock_guard lock(nameMutex);
    if (who.empty()) who = devmgr::Who(uid, program, claimed, pid);
    return who;
  }
  void Claim(const std::string &name) {
    std::lock_guard lock(nameMutex);
    program = name;
    claimed = true;
    who.clear();
  }
  std::string program;
  bool claimed = false;
  mutable std::mutex nameMutex;
  mutable std::string who;
  // Set before the last reply goes out (a refused Open, a Close), so that a program that closed
  // its handle may open the device again at once, whatever the bound.
  std::atomic<bool> released{false};
  std::atomic<bool> finished{false};
};

DeviceHost::DeviceHost(std::string deviceName, std::string socketPath, DWORD deviceContext,
                       const StreamEntryPoints &entryPoints, unsigned portUser)
    : deviceName_(std::move(deviceName)),
      socketPath_(std::move(socketPath)),
      deviceContext_(deviceContext),
      entryPoints_(entryPoints),
      portUser_(portUser) {}

DeviceHost::~DeviceHost() {
  StopAccepting();
  EndConnections();
}

bool DeviceHost::Publish(std::string *error) {
  // The socket listens under a name of its own before it takes the device's path, so that the path
  // never leads to a socket that refuses connections: a program that finds it can connect.
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("cannot create a socket: ") + std::strerror(errno) + "; raise the limit on open files";
    return false;
  }
  // Whoever may use the device root may connect: the mode comes from run/, and the socket file is
  // made with it by bind (from the socket's own mode, less the umask). Nothing is changed by path
  // afterwards, where whoever may write run/ could have put another file in its place.
  const unsigned mode = platform::SharedFileMode(FolderOf(socketPath_));
  std::string made;
  int failure = 0;
  if (fchmod(fd, mode) != 0) failure = errno;
  // A random name taken meanwhile is tried again with another.
  for (int attempt = 0; failure == 0 && attempt < 16; ++attempt) {
    made = UnguessableNameBeside(socketPath_);
    if (made.empty()) {
      failure = errno != 0 ? errno : EINVAL;
      break;
    }
    sockaddr_un address = AddressOf(made);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0) break;
    failure = errno;
    made.clear();
    if (failure != EADDRINUSE) break;
  }
  if (!made.empty()) failure = 0;
  struct stat bound {};
  if (failure == 0 && (listen(fd, SOMAXCONN) != 0 || lstat(made.c_str(), &bound) != 0)) failure = errno;
  if (failure != 0) {
    *error = "cannot listen on " + socketPath_ + ": " + std::strerror(failure) +
             "; make sure the device root's run/ folder is writable";
    if (!made.empty()) unlink(made.c_str());
    close(fd);
    return false;
  }
  if (!MoveIntoPlace(deviceName_, made, socketPath_, error)) {
    unlink(made.c_str());
    close(fd);
    return false;
  }
  socketDevice_ = bound.st_dev;
  socketInode_ = bound.st_ino;
  listener_ = fd;
  return true;
}

void DeviceHost::AcceptConnection() {
  ReapFinished();
  int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR)
      LogError("cannot accept a connection on " + socketPath_ + ": " + std::strerror(errno) +
               "; the opening program gets no handle; close handles or raise the limit on open files");
    return;
  }
  auto connection = std::make_unique<Connection>();
  connection->fd = fd;
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
    connection->uid = peer.uid;
    connection->pid = peer.pid;
  }
  connection->program = ProgramOf(connection->pid);
  connection->programKnown = !connection->program.empty();
  if (Served() >= kMaxConnections) {
    Refuse(fd, "full", connection->uid,
           std::to_string(kMaxConnections) + " are open, the most devmgr serves at once for one device, held by " +
               Holders() + ". Every program that opens " + deviceName_ +
               " and never closes it holds one: close those handles or end those programs");
    return;
  }
  const bool shared = connection->uid != 0 && connection->uid != geteuid();
  if (shared && ServedFor(connection->uid) >= kConnectionsPerUser) {
    Refuse(fd, "share", connection->uid,
           "it came from " + connection->Who() + ", whose user holds " + std::to_string(kConnectionsPerUser) +
               ", the most one user may hold of the " + std::to_string(kMaxConnections) + " devmgr serves for " +
               "one device: close those handles or end those programs");
    return;
  }
  if (!HandOver(connection.get())) {
    close(fd);
    return;
  }
  connections_.push_back(std::move(connection));
}

// Whether a connection still takes a place: it has not given it back, and its program has not
// closed it (a program that ended a moment ago, whose connection's thread has yet to notice).
bool DeviceHost::TakesAPlace(const Connection &connection) {
  if (connection.released.load()) return false;
  pollfd peer{connection.fd, POLLRDHUP, 0};
  return poll(&peer, 1, 0) <= 0 || (peer.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
}

size_t DeviceHost::Served() const {
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                           [](const auto &connection) { return TakesAPlace(*connection); }));
}

size_t DeviceHost::ServedFor(uid_t user) const {
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(), [&](const auto &connection) {
    return connection->uid == user && TakesAPlace(*connection);
  }));
}

std::string DeviceHost::Holders() const {
  std::map<uid_t, size_t> held;
  for (const auto &connection : connections_)
    if (TakesAPlace(*connection)) ++held[connection->uid];
  std::string text;
  for (const auto &[user, count] : held)
    text += (text.empty() ? "" : ", ") + platform::UserName(user) + " (" + std::to_string(count) + ")";
  return text;
}

// The refused program's CreateFileW fails at once with ERROR_TOO_MANY_OPEN_FILES: the reply comes
// before its Open request is read, and the connection is closed.
void DeviceHost::Refuse(int fd, const char *kind, uid_t user, const std::string &why) {
  lines_.Say(kind, user, [&](unsigned held) {
    return deviceName_ + " " +
           (held == 0 ? std::string("refused a connection")
                      : "refused " + std::to_string(held + 1) + " connections of " + platform::UserName(user) +
                            " since the last such line") +
           ": " + why;
  });
  protocol::Reply reply{FALSE, ERROR_TOO_MANY_OPEN_FILES, 0, 0};
  iovec answer{&reply, sizeof(reply)};
  protocol::SendRecord(fd, &answer, 1, MSG_DONTWAIT);
  close(fd);
}

bool DeviceHost::HandOver(Connection *connection) {
  std::unique_lock lock(workMutex_);
  pending_.push_back(connection);
  if (idle_ > pending_.size() - 1) {
    workWaiting_.notify_one();
    return true;
  }
  // No thread waits for work: one more, up to one per place (each serves a connection at a time).
  try {
    workers_.emplace_back(&DeviceHost::Work, this);
  } catch (const std::system_error &failure) {
    pending_.pop_back();
    lock.unlock();
    LogError("cannot start a thread for a connection on " + socketPath_ + ": " + failure.what() +
             "; the opening program gets no handle; retry when the system has more resources");
    return false;
  }
  return true;
}

void DeviceHost::Work() {
  pthread_setname_np(pthread_self(), "devmgr serve");
  RunAsOrdinaryThread();
  platform::SetSerialPortUser(portUser_);
  std::unique_lock lock(workMutex_);
  for (;;) {
    ++idle_;
    workWaiting_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
    --idle_;
    if (pending_.empty()) return;  // stopping, with nothing left to serve
    Connection *connection = pending_.front();
    pending_.pop_front();
    lock.unlock();
    Serve(*connection);
    lock.lock();
    workDone_.notify_all();
  }
}

void DeviceHost::ReapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished.load()) {
      close((*it)->fd);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void DeviceHost::StopAccepting() {
  if (listener_ < 0) return;
  close(listener_);
  listener_ = -1;
  struct stat info {};
  if (lstat(socketPath_.c_str(), &info) == 0 && info.st_dev == socketDevice_ && info.st_ino == socketInode_)
    unlink(socketPath_.c_str());
}

void DeviceHost::EndConnections() {
  // Shutting a socket down wakes its thread's receive with end of connection; the descriptor
  // stays valid until the connection is finished.
  for (auto &connection : connections_) shutdown(connection->fd, SHUT_RDWR);
  {
    std::unique_lock lock(workMutex_);
    workDone_.wait(lock, [&] {
      return std::all_of(connections_.begin(), connections_.end(),
                         [](const auto &connection) { return connection->finished.load(); });
    });
    stopping_ = true;
  }
  workWaiting_.notify_all();
  for (std::thread &worker : workers_) worker.join();
  workers_.clear();
  for (auto &connection : connections_) close(connection->fd);
  connections_.clear();
}

void DeviceHost::Serve(Connection &connection) {
  // One request at a time, in a buffer aligned for drivers that read their buffers as structures.
  std::vector<std::max_align_t> storage(protocol::kMaxRequestSize / sizeof(std::max_align_t) + 1);
  auto *buffer = reinterpret_cast<unsigned char *>(storage.data());
  int fd = connection.fd;
  protocol::SizeSendBuffer(fd);
  DWORD openContext = 0;  // 0 until the driver's Open succeeded, and again after its Close
  for (;;) {
    // A connection holds one of the device's places: one that has opened nothing gives it back.
    pollfd ready{fd, POLLIN, 0};
    if (openContext == 0 && poll(&ready, 1, static_cast<int>(kIdleLimit.count() * 1000)) == 0) {
      lines_.Say("idle", connection.uid,
                 deviceName_ + " closed a connection of " + connection.Who() + " that opened nothing for " +
                     std::to_string(kIdleLimit.count()) + " s, to give its place to others");
      break;
    }
    iovec whole{buffer, protocol::kMaxRequestSize};
    ssize_t received = protocol::ReceiveRecord(fd, &whole, 1);
    if (received == 0 || (received < 0 && errno != EMSGSIZE)) break;  // the handle's process closed or died
    protocol::Request request{};
    protocol::RequestLayout layout{};
    bool understood = received >= static_cast<ssize_t>(sizeof(request));
    if (understood) std::memcpy(&request, buffer, sizeof(request));
    const bool opening = IsFirstRequest(request.operation);
    understood = understood && IsKnownOperation(request.operation) &&
                 protocol::DescribeRequest(request, static_cast<size_t>(received), &layout) &&
                 opening == (openContext == 0) &&
                 (request.operation != protocol::kRead || request.argument <= protocol::kMaxBuffer);
    if (!understood) {
      lines_.Say("garbled", connection.uid,
                 deviceName_ + " " + connection.Who() + " sent " + socketPath_ + " a request this devmgr does not "
                 "understand; its connection is closed. Rebuild that program against this platform");
      break;
    }
    // Only a request devmgr understood is use of the device, which keeps a stopped driver stopped.
    lastRequest_ = std::chrono::steady_clock::now().time_since_epoch().count();
    // A program /proc did not show names itself in its first request, as the program it says it is.
    if (opening && !connection.programKnown && layout.inBytes > 0) {
      const std::string claimed(reinterpret_cast<const char *>(buffer + layout.inOffset),
                                std::min(layout.inBytes, protocol::kMaxProgramName));
      connection.Claim(claimed);
      connection.programKnown = true;
    }
    protocol::Reply reply{};
    iovec answer[] = {{&reply, sizeof(reply)}, {nullptr, 0}};
    if (request.operation == protocol::kQueryPorts) {
      const std::string ports = PortsOf(portUser_);
      reply = {TRUE, ERROR_SUCCESS, 0, static_cast<uint32_t>(std::min<size_t>(ports.size(), protocol::kMaxBuffer))};
      answer[1] = {const_cast<char *>(ports.data()), reply.dataLength};
      connection.released = true;
      protocol::SendRecord(fd, answer, reply.dataLength != 0 ? 2 : 1);
      break;
    }
    if (request.operation == protocol::kQueryHolders) {
      connection.released = true;
      if (request.code == protocol::kTakeBack && connection.uid != 0) {
        reply = {FALSE, ERROR_ACCESS_DENIED, 0, 0};
      } else {
        const std::string holders = HoldersOfHandles();
        if (request.code == protocol::kTakeBack) TakeBack(connection.Who());
        reply = {TRUE, ERROR_SUCCESS, 0, static_cast<uint32_t>(std::min<size_t>(holders.size(), protocol::kMaxBuffer))};
        answer[1] = {const_cast<char *>(holders.data()), reply.dataLength};
        protocol::SendRecord(fd, answer, reply.dataLength != 0 ? 2 : 1);
        break;
      }
      protocol::SendRecord(fd, answer, 1);
      break;
    }
    if (request.operation == protocol::kOpenTakingBack && connection.uid != 0) {
      reply = {FALSE, ERROR_ACCESS_DENIED, 0, 0};
      connection.released = true;
      protocol::SendRecord(fd, answer, 1);
      break;
    }
    bool more;
    std::string taken;
    {
      // Opens come one at a time: root's take-back and its own open are one step, which no
      // other program's open can come between.
      std::unique_lock opening(opens_, std::defer_lock);
      if (request.operation == protocol::kOpen || request.operation == protocol::kOpenTakingBack) opening.lock();
      if (request.operation == protocol::kOpenTakingBack) taken = TakeBack(connection.Who());
      std::shared_lock calls(driverCalls_);
      InDriver timed(*this);
      more = Dispatch(entryPoints_, deviceContext_, request, layout, buffer, &openContext, &reply, &answer[1]);
      if (request.operation == protocol::kOpenTakingBack && openContext != 0) {
        reply.dataLength = static_cast<uint32_t>(std::min<size_t>(taken.size(), protocol::kMaxBuffer));
        answer[1] = {taken.data(), reply.dataLength};
      }
      if ((request.operation == protocol::kOpen || request.operation == protocol::kOpenTakingBack) && openContext != 0)
        Hold(connection, true);
    }
    if (!more) connection.released = true;
    if (protocol::SendRecord(fd, answer, answer[1].iov_len != 0 ? 2 : 1) != 0 || !more) break;
  }
  // A handle whose process died, or that devmgr is ending, is closed as CloseHandle would have.
  if (openContext != 0 && entryPoints_.Close != nullptr) {
    std::shared_lock calls(driverCalls_);
    InDriver timed(*this);
    entryPoints_.Close(openContext);
  }
  Hold(connection, false);
  // The program sees its connection end now, not when devmgr next reaps its descriptor.
  shutdown(fd, SHUT_RDWR);
  connection.released = true;
  connection.finished = true;
}

void DeviceHost::Hold(Connection &connection, bool holding) {
  std::lock_guard lock(holdersMutex_);
  if (holding) holders_.push_back(&connection);
  else std::erase(holders_, &connection);
  holdersChanged_.notify_all();
}

std::string DeviceHost::HoldersOfHandles() const {
  std::lock_guard lock(holdersMutex_);
  std::string text;
  for (const Connection *holder : holders_) text += (text.empty() ? "" : "; ") + holder->Who();
  return text;
}

void DeviceHost::EndHolders() {
  std::lock_guard lock(holdersMutex_);
  for (Connection *holder : holders_) shutdown(holder->fd, SHUT_RDWR);
}

std::string DeviceHost::TakeBack(const std::string &by) {
  std::unique_lock lock(holdersMutex_);
  if (holders_.empty()) return {};
  std::string taken;
  for (Connection *holder : holders_) {
    taken += (taken.empty() ? "" : "; ") + holder->Who();
    // Its thread's next receive ends, and it closes the handle in the driver.
    shutdown(holder->fd, SHUT_RDWR);
  }
  LogError(deviceName_ + " took the device back for " + by + " from " + taken);
  // A holder inside a driver call closes once the call returns, which the reply bound limits.
  holdersChanged_.wait_for(lock, protocol::kReplyBound, [&] { return holders_.empty(); });
  return taken;
}

DeviceHost::InDriver::InDriver(DeviceHost &host) : host_(host) {
  std::lock_guard lock(host_.callsInDriverMutex_);
  entry_ = host_.callsInDriver_.insert(host_.callsInDriver_.end(), std::chrono::steady_clock::now());
}

DeviceHost::InDriver::~InDriver() {
  std::lock_guard lock(host_.callsInDriverMutex_);
  host_.callsInDriver_.erase(entry_);
}

std::chrono::steady_clock::duration DeviceHost::LongestCallInDriver() const {
  std::lock_guard lock(callsInDriverMutex_);
  if (callsInDriver_.empty()) return {};
  return std::chrono::steady_clock::now() - callsInDriver_.front();
}

bool IsServedElsewhere(const std::string &socketPath) {
  // A socket that no devmgr of this root could have made is not taken for one: Publish replaces it.
  struct stat info {};
  if (lstat(socketPath.c_str(), &info) != 0 || !IsOwnSocket(socketPath, info)) return false;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address = AddressOf(socketPath);
  bool live = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
  close(fd);
  return live;
}

}  // namespace devmgr
