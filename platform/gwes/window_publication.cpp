// Window publication: records run/window.PID.NUMBER written whole, the socket run/windows.PID with
// a thread that hands each arriving message to the queue of the window's thread, and lookups that
// ignore records whose process no longer listens (killed before it could clean up).
//
// Every user of the device root may write run/, and devmgr, which posts to these windows, may run
// as root: every entry is reached from run/'s descriptor without following a name, a record is
// used only when it is a well-formed regular file, and a message goes only to a socket owned by
// the user who owns the window's record, through the descriptor of the very file that was checked.
#include "window_publication.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <charconv>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/access_advice.h"
#include "platform/device_root.h"
#include "platform/text.h"
#include "platform/trusted_path.h"
#include "window_handle.h"
#include "window_input.h"
#include "window_state.h"

namespace platform::gwes {
namespace {

// One posted message on the wire: values only, since no pointer means anything in another
// process.
struct Datagram {
  uint32_t magic;
  uint32_t message;
  uint64_t window;
  uint64_t wParam;
  int64_t lParam;
};
constexpr uint32_t kMagic = 0x314D574E;  // "NWM1"
// A pointer event for the process to route to its windows: message holds mouse_event's flags,
// wParam and lParam the screen point.
constexpr uint32_t kInputMagic = 0x3149574E;  // "NWI1"

// Sends one datagram to the process of a published window; with `wait`, waiting a moment for room
// in its queue.
DWORD SendDatagram(HWND hwnd, const Datagram &datagram, bool wait);

// A socket's queue holds only a few datagrams; its process empties it as fast as they come unless
// it is stopped or stuck, so a post waits this long for room before it gives up. Pointer input
// does not wait: it is sent by the driver's read thread, which no window may hold up.
constexpr time_t kSendTimeoutSeconds = 1;
// Records are three short lines; anything larger is not one.
constexpr off_t kMaxRecordSize = 64 * 1024;
// Bad records and sockets are said once each, up to this many in the life of a process.
constexpr size_t kMaxReported = 64;
// The visible windows of one user that pointer input considers; more are a flood, not a desktop.
constexpr size_t kMaxWindowsPerUser = 64;
// A window came to the front at most this far (in ns) ahead of a reader's own clock: the records'
// z is the system's monotonic clock when they were written, which no honest record exceeds.
constexpr uint64_t kFrontStampSlackNs = 1000000000;
// The readings of run/ that pointer input may make at once, and how often one more is allowed:
// plenty for any number of windows coming and going, few enough that a flood of changes to run/
// cannot keep the driver's read thread listing it.
constexpr int kRescanBurst = 16;
constexpr std::chrono::milliseconds kRescanRefill{50};
// Messages from a user who may not send to this process's windows are dropped, said at most this
// often for each such user.
constexpr std::chrono::minutes kDroppedLineInterval{1};

// A descriptor, closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd &operator=(Fd &&other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// run/ itself: O_PATH to reach its entries by name, or readable to list them too.
Fd OpenRun(const std::string &run, bool list) {
  return Fd(open(run.c_str(), (list ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::string SocketName(pid_t process) { return "windows." + std::to_string(process); }

// Whether `name` may be the socket of `process`: its own name, or that name with a dot and up to
// 16 hexadecimal digits, which a process takes when somebody else holds its own name in run/.
bool IsSocketNameOf(std::string_view name, pid_t process) {
  const std::string own = SocketName(process);
  if (name == own) return true;
  if (!name.starts_with(own + ".")) return false;
  const std::string_view suffix = name.substr(own.size() + 1);
  return !suffix.empty() && suffix.size() <= 16 &&
         suffix.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string RecordName(HWND hwnd) {
  return "window." + std::to_string(WindowProcess(hwnd)) + "." + std::to_string(WindowNumber(hwnd));
}

bool MakeAddress(const std::string &path, sockaddr_un *address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The file a descriptor was opened on, by a name that nobody can make lead elsewhere.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Says once, for an entry of run/ that is not used, which one and why (again when the reason
// changes: the entry was replaced).
void ReportIgnored(const char *what, const std::string &run, const std::string &name, const std::string &why) {
  static auto *mutex = new std::mutex;  // never destroyed: a thread may still report during exit
  static auto *said = new std::set<std::string>;
  std::lock_guard lock(*mutex);
  const std::string path = run + "/" + name;
  if (said->size() >= kMaxReported || !said->insert(path + '\n' + why).second) return;
  NKDbgPrintfW(u"%a: ignoring the window %a %a: %a; remove it\n", ProgramName().c_str(), what, path.c_str(),
               why.c_str());
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// Parses "window.PID.NUMBER" with both numbers decimal, not 0 and without leading zeros, so that
// each handle has one name.
bool ParseRecordName(const char *name, pid_t *process, uint32_t *number) {
  static const char kPrefix[] = "window.";
  if (std::strncmp(name, kPrefix, sizeof(kPrefix) - 1) != 0) return false;
  uint64_t values[2] = {0, 0};
  const char *p = name + sizeof(kPrefix) - 1;
  for (int i = 0; i < 2; ++i) {
    const char *start = p;
    if (*p == '0') return false;
    while (*p >= '0' && *p <= '9' && p - start < 10) values[i] = values[i] * 10 + static_cast<uint64_t>(*p++ - '0');
    if (p == start || values[i] > 0xFFFFFFFFu) return false;
    if (*p++ != (i == 0 ? '.' : '\0')) return false;
  }
  if (values[0] > 0x7FFFFFFF) return false;
  *process = static_cast<pid_t>(values[0]);
  *number = static_cast<uint32_t>(values[1]);
  return true;
}

// Record text: a "class=" and a "name=" line in UTF-8, with backslash and newline escaped.
std::string Escape(const std::u16string &text) {
  std::string out;
  for (char c : ToUtf8(text)) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// False for an escape that Escape never writes, or text that is not UTF-8.
bool Unescape(std::string_view text, std::u16string *out) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
      continue;
    }
    if (++i == text.size() || (text[i] != 'n' && text[i] != '\\')) return false;
    bytes += text[i] == 'n' ? '\n' : '\\';
  }
  *out = ToUtf16(bytes);
  return ToUtf8(*out) == bytes;
}

struct Record {
  std::u16string className;
  std::u16string name;
  ScreenState state;
  std::string socket;  // a socket= line's name; empty: the process's own, windows.PID
  uid_t owner = 0;  // who wrote it: the user whose socket takes the window's messages
};

// "state=VISIBLE ENABLED TOPMOST Z LEFT TOP RIGHT BOTTOM", the flags 0 or 1.
std::string StateLine(const ScreenState &state) {
  return "state=" + std::to_string(state.visible) + " " + std::to_string(state.enabled) + " " +
         std::to_string(state.topmost) + " " + std::to_string(state.z) + " " + std::to_string(state.rect.left) + " " +
         std::to_string(state.rect.top) + " " + std::to_string(state.rect.right) + " " +
         std::to_string(state.rect.bottom) + "\n";
}

// One decimal field of a state line, whole and within [low, high].
template <typename Number>
bool ParseField(std::string_view field, Number low, Number high, Number *value) {
  const char *end = field.data() + field.size();
  auto [stop, error] = std::from_chars(field.data(), end, *value);
  return error == std::errc() && stop == end && *value >= low && *value <= high;
}

bool ParseState(std::string_view line, ScreenState *state) {
  std::string_view fields[8];
  size_t count = 0;
  for (size_t at = 0; at <= line.size(); ++count) {
    size_t space = std::min(line.find(' ', at), line.size());
    if (count == std::size(fields)) return false;
    fields[count] = line.substr(at, space - at);
    at = space + 1;
  }
  if (count != std::size(fields)) return false;
  uint64_t flags[3];
  for (int i = 0; i < 3; ++i)
    if (!ParseField<uint64_t>(fields[i], 0, 1, &flags[i])) return false;
  uint64_t z = 0;
  if (!ParseField<uint64_t>(fields[3], 0, UINT64_MAX, &z)) return false;
  LONG edges[4];
  for (int i = 0; i < 4; ++i)
    if (!ParseField<LONG>(fields[4 + i], INT32_MIN, INT32_MAX, &edges[i])) return false;
  state->visible = flags[0] != 0;
  state->enabled = flags[1] != 0;
  state->topmost = flags[2] != 0;
  state->z = z;
  state->rect = RECT{edges[0], edges[1], edges[2], edges[3]};
  return true;
}

// Why `text` is not a record, or nothing when *record now holds it: a "class=" and a "name=" line,
// at most one "state=" line (a window not shown without it) and one "socket=" line, nothing else,
// each line ended.
std::string ParseRecord(const std::string &text, Record *record) {
  bool seen[4] = {false, false, false, false};
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) return "its last line has no end";
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    const std::string at = "line " + std::to_string(number);
    int kind = line.starts_with("class=")    ? 0
               : line.starts_with("name=")   ? 1
               : line.starts_with("state=")  ? 2
               : line.starts_with("socket=") ? 3
                                             : -1;
    if (kind < 0) return at + " is not class=, name=, state= or socket=";
    if (seen[kind]) return at + " repeats " + std::string(line.substr(0, line.find('=') + 1));
    seen[kind] = true;
    line.remove_prefix(line.find('=') + 1);
    if (kind == 0 && !Unescape(line, &record->className)) return at + " has a bad escape or is not UTF-8";
    if (kind == 1 && !Unescape(line, &record->name)) return at + " has a bad escape or is not UTF-8";
    if (kind == 2 && !ParseState(line, &record->state))
      return at + " is not VISIBLE ENABLED TOPMOST Z LEFT TOP RIGHT BOTTOM";
    if (kind == 3) {
      if (!line.starts_with("windows.") || line.find('/') != std::string_view::npos) return at + " names no socket";
      record->socket = line;
    }
  }
  if (!seen[0]) return "it has no class= line";
  if (!seen[1]) return "it has no name= line";
  return {};
}

// The record `name` of run/ (descriptor `runFd`, shown as `run`). Nothing for one that is not
// there, or one that is not a record, which is said once.
std::optional<Record> ReadRecord(int runFd, const std::string &run, const std::string &name) {
  // O_NONBLOCK: a FIFO put in a record's place must not hold the reader up.
  Fd fd(openat(runFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  std::string why;
  struct stat info {};
  std::string text;
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;  // gone since it was listed
    why = errno == ELOOP ? "it is a symbolic link" : std::string("it cannot be opened: ") + std::strerror(errno);
  } else if (fstat(fd.get(), &info) != 0) {
    why = std::string("it cannot be examined: ") + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    why = "it is not a regular file";
  } else if (info.st_size > kMaxRecordSize) {
    why = "it is larger than " + std::to_string(kMaxRecordSize) + " bytes";
  } else {
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd.get(), buffer, sizeof(buffer))) > 0 && text.size() <= static_cast<size_t>(kMaxRecordSize))
      text.append(buffer, static_cast<size_t>(got));
    if (got < 0) why = std::string("it cannot be read: ") + std::strerror(errno);
    else if (text.size() > static_cast<size_t>(kMaxRecordSize))
      why = "it is larger than " + std::to_string(kMaxRecordSize) + " bytes";
  }
  Record record;
  if (why.empty()) why = ParseRecord(text, &record);
  if (!why.empty()) {
    ReportIgnored("record", run, name, why);
    return std::nullopt;
  }
  record.owner = info.st_uid;
  return record;
}

std::optional<Record> ReadRecord(int runFd, const std::string &run, HWND hwnd) {
  return ReadRecord(runFd, run, RecordName(hwnd));
}

// The socket file of `process` in run/, opened without following its name (O_PATH), when it is a
// socket owned by `owner`, the owner of the record that names it; an empty descriptor otherwise,
// said once unless the socket is simply gone.
Fd OpenWindowSocket(int runFd, const std::string &run, pid_t process, const Record &record,
                    const std::string &recordName) {
  const uid_t owner = record.owner;
  const std::string name = record.socket.empty() ? SocketName(process) : record.socket;
  if (!IsSocketNameOf(name, process)) {
    ReportIgnored("record", run, recordName, "its socket= line names another process's socket");
    return Fd();
  }
  Fd fd(openat(runFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return fd;
  struct stat info {};
  std::string why;
  if (fstat(fd.get(), &info) != 0) why = std::string("it cannot be examined: ") + std::strerror(errno);
  else if (S_ISLNK(info.st_mode)) why = "it is a symbolic link, not a socket";
  else if (!S_ISSOCK(info.st_mode)) why = "it is not a socket";
  else if (info.st_uid != owner)
    why = "it belongs to " + UserName(info.st_uid) + ", but the record " + recordName + " to " + UserName(owner);
  if (why.empty()) return fd;
  ReportIgnored("socket", run, name, why);
  return Fd();
}

// The socket and receiving thread of this process for one run/ folder.
struct Endpoint {
  std::string run;
  int runFd = -1;  // run/ itself (O_PATH), which every name below is reached from
  std::string socketName;  // windows.PID, or windows.PID.RANDOM when somebody else holds that
  std::string socketPath;
  int fd = -1;
  std::thread receiver;
};

struct Published {
  std::string recordName;
  const Endpoint *endpoint;
  std::weak_ptr<MessageQueue> queue;
  std::u16string className;
};

// Writes the record whole: to a file of its own made afresh (O_EXCL: never one somebody else put
// there), renamed over the record when it is complete.
DWORD WriteRecord(const Endpoint &endpoint, HWND hwnd, const std::u16string &className, const std::u16string &name,
                  const ScreenState &state = ScreenState{}) {
  std::string text = "class=" + Escape(className) + "\nname=" + Escape(name) + "\n" + StateLine(state);
  if (endpoint.socketName != SocketName(getpid())) text += "socket=" + endpoint.socketName + "\n";
  // The temporary name has a random part: one derived from the record's alone could be taken by
  // anyone who has seen the record, and its rewrites would fail for good. Leftovers of a killed
  // process with this id are removed at the start (RemoveLeftovers).
  const std::string record = RecordName(hwnd);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random) return ErrorFromErrno(errno);
    char suffix[18];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random));
    temporary = "." + record + suffix;
    fd = openat(endpoint.runFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return ErrorFromErrno(errno);
  }
  if (fd < 0) return ErrorFromErrno(EEXIST);
  size_t written = 0;
  // Readable by every process that may use the device root, whatever this one's umask.
  int error = fchmod(fd, SharedFileMode(endpoint.run)) == 0 ? 0 : errno;
  while (error == 0 && written < text.size()) {
    ssize_t done = write(fd, text.data() + written, text.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) {
      error = errno;
      break;
    }
    written += static_cast<size_t>(done);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && renameat(endpoint.runFd, temporary.c_str(), endpoint.runFd, record.c_str()) != 0) error = errno;
  if (error != 0) {
    unlinkat(endpoint.runFd, temporary.c_str(), 0);
    return ErrorFromErrno(error);
  }
  return ERROR_SUCCESS;
}

// Whether the socket file `target` (an O_PATH descriptor) has its process bound to it:
// connecting a datagram socket to a socket file whose process is gone is refused.
bool IsListening(const Fd &target) {
  sockaddr_un address;
  if (!MakeAddress(DescriptorPath(target.get()), &address)) return false;
  Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return fd && connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
}

struct Publication {
  std::mutex mutex;
  std::vector<std::unique_ptr<Endpoint>> endpoints;
  std::map<HWND, Published> windows;
  int stopFd = -1;  // an eventfd that, once written at exit, ends every receiving thread
};

Publication &State() {
  static Publication *state = new Publication;  // receiving threads use it until they are joined at exit
  return *state;
}

void Deliver(const Endpoint &endpoint, const Datagram &datagram) {
  auto hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(datagram.window));
  std::shared_ptr<MessageQueue> queue;
  {
    auto &state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.windows.find(hwnd);
    if (it == state.windows.end() || it->second.endpoint != &endpoint) return;
    queue = it->second.queue.lock();
  }
  if (!queue) return;
  MSG message{hwnd, datagram.message, static_cast<WPARAM>(datagram.wParam), static_cast<LPARAM>(datagram.lParam),
              GetTickCount(), {0, 0}};
  // A full queue drops the message: its thread has stopped taking messages.
  queue->Post(message);
}

bool IsPublishedHere(const Endpoint &endpoint, uint64_t window) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  auto it = state.windows.find(reinterpret_cast<HWND>(static_cast<uintptr_t>(window)));
  return it != state.windows.end() && it->second.endpoint == &endpoint;
}

// Says, at most once a minute for each sender's user, that a message from someone who may not
// post to this process's windows was dropped.
void ReportDropped(const ucred &sender, const std::string &run) {
  static auto *mutex = new std::mutex;  // never destroyed: the receiving thread may report during exit
  static auto *said = new std::map<uid_t, std::chrono::steady_clock::time_point>;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(*mutex);
    auto [entry, fresh] = said->try_emplace(sender.uid, now);
    if (!fresh && now - entry->second < kDroppedLineInterval) return;
    entry->second = now;
  }
  NKDbgPrintfW(u"%a: dropped a message to its windows in %a from %a (pid %d): only the driver's service, root and "
               u"%a may send to them\n",
               ProgramName().c_str(), run.c_str(), UserName(sender.uid).c_str(), static_cast<int>(sender.pid),
               UserName(geteuid()).c_str());
}

void Receive(const Endpoint *endpoint, int stopFd) {
  for (;;) {
    pollfd ready[] = {{endpoint->fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready[1].revents != 0 || (ready[0].revents & (POLLERR | POLLNVAL)) != 0) return;
    for (;;) {
      Datagram datagram{};
      iovec part{&datagram, sizeof(datagram)};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof(control);
      ssize_t size = recvmsg(endpoint->fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
      if (size < 0 && errno == EINTR) continue;
      if (size < 0) break;
      // Anyone who can reach run/ can send here: only well-formed messages count, and only from
      // the driver's service (pointer input, the tray's notices), root or this process's own user.
      ucred sender{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
      for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS)
          std::memcpy(&sender, CMSG_DATA(header), sizeof(sender));
      if (!IsTrustedOwner(sender.uid)) {
        ReportDropped(sender, endpoint->run);
        continue;
      }
      if (size != static_cast<ssize_t>(sizeof(datagram))) continue;
      if (datagram.magic == kMagic) Deliver(*endpoint, datagram);
      if (datagram.magic == kInputMagic && IsPublishedHere(*endpoint, datagram.window))
        DeliverPointerInput(reinterpret_cast<HWND>(static_cast<uintptr_t>(datagram.window)), datagram.message,
                            static_cast<int>(static_cast<int64_t>(datagram.wParam)), static_cast<int>(datagram.lParam));
    }
  }
}

// At normal process exit: removes this process's records and sockets and ends the receiving
// threads.
void StopPublication() {
  auto &state = State();
  std::vector<std::unique_ptr<Endpoint>> endpoints;
  {
    std::lock_guard lock(state.mutex);
    for (const auto &[hwnd, published] : state.windows)
      unlinkat(published.endpoint->runFd, published.recordName.c_str(), 0);
    state.windows.clear();
    for (const auto &endpoint : state.endpoints) unlinkat(endpoint->runFd, endpoint->socketName.c_str(), 0);
    endpoints.swap(state.endpoints);
  }
  uint64_t one = 1;
  while (write(state.stopFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
  for (auto &endpoint : endpoints) {
    endpoint->receiver.join();
    close(endpoint->fd);
    close(endpoint->runFd);
  }
}

// Records and a socket file named after this process's id are left from an earlier process that
// had the same id and was killed.
void RemoveLeftovers(int runFd, pid_t self) {
  unlinkat(runFd, SocketName(self).c_str(), 0);
  int listing = openat(runFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *directory = listing >= 0 ? fdopendir(listing) : nullptr;
  if (directory == nullptr) {
    if (listing >= 0) close(listing);
    return;
  }
  std::string prefix = "window." + std::to_string(self) + ".";
  while (dirent *entry = readdir(directory)) {
    std::string_view name = entry->d_name;
    if (name.starts_with(prefix) || (name.starts_with(".") && name.substr(1).starts_with(prefix)))
      unlinkat(runFd, entry->d_name, 0);
  }
  closedir(directory);
}

// Gives the socket just bound at run/NAME the mode files of run/ have. Its name is opened without
// following it and checked to be a socket of this user before the mode is set through the
// descriptor: chmod by name would follow a link put there.
int ShareSocket(const Endpoint &endpoint, const std::string &name) {
  Fd node(openat(endpoint.runFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!node || fstat(node.get(), &info) != 0) return errno;
  if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid()) return EPERM;
  return chmod(DescriptorPath(node.get()).c_str(), SharedFileMode(endpoint.run)) == 0 ? 0 : errno;
}

// The endpoint for `run`, made on first use. The caller holds the state's mutex.
Endpoint *EndpointFor(Publication &state, const std::string &run, DWORD *error) {
  for (const auto &endpoint : state.endpoints)
    if (endpoint->run == run) return endpoint.get();
  pid_t self = getpid();
  auto endpoint = std::make_unique<Endpoint>();
  endpoint->run = run;
  endpoint->socketName = SocketName(self);
  sockaddr_un address;
  if (!MakeAddress(run + "/" + endpoint->socketName, &address)) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  if (state.stopFd < 0) {
    state.stopFd = eventfd(0, EFD_CLOEXEC);
    if (state.stopFd < 0) {
      *error = ErrorFromErrno(errno);
      return nullptr;
    }
    std::atexit(StopPublication);
  }
  endpoint->runFd = OpenRun(run, false).release();
  if (endpoint->runFd < 0) {
    *error = ErrorFromErrno(errno);
    return nullptr;
  }
  auto fail = [&](int cause, bool bound) -> Endpoint * {
    *error = ErrorFromErrno(cause);
    if (bound) unlinkat(endpoint->runFd, endpoint->socketName.c_str(), 0);
    if (endpoint->fd >= 0) close(endpoint->fd);
    close(endpoint->runFd);
    return nullptr;
  };
  RemoveLeftovers(endpoint->runFd, self);
  endpoint->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (endpoint->fd < 0) return fail(errno, false);
  // Each datagram comes with its sender's user and process, as the kernel knows them.
  const int one = 1;
  if (setsockopt(endpoint->fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof(one)) != 0) return fail(errno, false);
  // Anyone may make names in run/, this process's own among them, and only their owner (or
  // run/'s) may remove them: a name somebody else holds is left for one with a random part.
  for (int attempt = 0;; ++attempt) {
    endpoint->socketPath = run + "/" + endpoint->socketName;
    if (!MakeAddress(endpoint->socketPath, &address)) return fail(ENAMETOOLONG, false);
    if (bind(endpoint->fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0) break;
    uint64_t random = 0;
    if (errno != EADDRINUSE || attempt == 8 || getrandom(&random, sizeof random, 0) != sizeof random)
      return fail(errno, false);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random));
    endpoint->socketName = SocketName(self) + suffix;
  }
  // Every process that may use the device root may post to these windows.
  if (int cause = ShareSocket(*endpoint, endpoint->socketName)) return fail(cause, true);
  try {
    endpoint->receiver = std::thread(Receive, endpoint.get(), state.stopFd);
  } catch (const std::system_error &) {
    return fail(ENOMEM, true);
  }
  state.endpoints.push_back(std::move(endpoint));
  return state.endpoints.back().get();
}

// Says once per process, for a user the file system keeps from the device root, that its windows
// cannot be made there, who may make them and how to become one of them.
void ReportRefused(const std::string &run) {
  static bool reported = false;  // under the state's mutex
  if (reported) return;
  reported = true;
  NKDbgPrintfW(u"%a: cannot make its windows in %a: permission denied; %a\n", ProgramName().c_str(), run.c_str(),
               DeviceRootAdvice(DeviceRoot(), "the device root's run/ folder", run).c_str());
}

}  // namespace

DWORD PublishWindow(HWND hwnd, const std::u16string &className, const std::u16string &name,
                    const std::shared_ptr<MessageQueue> &queue) {
  std::string run = RunDirectory();
  if (run.empty()) return ERROR_SUCCESS;
  auto &state = State();
  std::lock_guard lock(state.mutex);
  DWORD error = ERROR_SUCCESS;
  Endpoint *endpoint = EndpointFor(state, run, &error);
  // The socket is bound before the record appears, so a reader that finds the record can post.
  if (endpoint != nullptr) error = WriteRecord(*endpoint, hwnd, className, name);
  if (error == ERROR_ACCESS_DENIED) ReportRefused(run);
  if (error != ERROR_SUCCESS) return error;
  state.windows[hwnd] = Published{RecordName(hwnd), endpoint, queue, className};
  return ERROR_SUCCESS;
}

void RepublishWindow(HWND hwnd, const ScreenState &screenState) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  auto it = state.windows.find(hwnd);
  if (it == state.windows.end()) return;
  WriteRecord(*it->second.endpoint, hwnd, it->second.className, screenState.name, screenState);
}

namespace {

// A published window as pointer input sees it: its state and whose record it is.
struct ScreenWindow {
  HWND hwnd;
  ScreenState state;
  uid_t owner;
};

// The published windows' states, read again only when run/ has changed: records are replaced
// whole by a rename, which changes the folder's time. Readings are rationed (kRescanBurst), so
// that whoever changes run/ without pause does not keep the driver's read thread reading it.
struct ScreenCache {
  std::mutex mutex;
  std::string run;
  timespec changed{};
  std::vector<ScreenWindow> windows;
  int rescans = kRescanBurst;
  std::chrono::steady_clock::time_point refilled{};
};

ScreenCache &Screen() {
  static auto *cache = new ScreenCache;
  return *cache;
}

// The names of the records in a listed run/ (descriptor `runFd`) with the windows they name.
std::vector<std::pair<HWND, std::string>> ListRecords(int runFd) {
  std::vector<std::pair<HWND, std::string>> records;
  int listing = openat(runFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *directory = listing >= 0 ? fdopendir(listing) : nullptr;
  if (directory == nullptr) {
    if (listing >= 0) close(listing);
    return records;
  }
  while (dirent *entry = readdir(directory)) {
    pid_t process;
    uint32_t number;
    if (ParseRecordName(entry->d_name, &process, &number))
      records.emplace_back(MakeWindowHandle(process, number), entry->d_name);
  }
  closedir(directory);
  return records;
}

// Whether a reading of run/ may be made now, taking one from the ration.
bool MayRescan(ScreenCache &cache) {
  const auto now = std::chrono::steady_clock::now();
  if (cache.rescans < kRescanBurst) {
    const auto refills = (now - cache.refilled) / kRescanRefill;
    if (refills > 0) {
      cache.rescans = static_cast<int>(std::min<int64_t>(kRescanBurst, cache.rescans + refills));
      cache.refilled = now;
    }
  }
  if (cache.rescans == 0) return false;
  if (cache.rescans-- == kRescanBurst) cache.refilled = now;
  return true;
}

void RefreshScreen(ScreenCache &cache, const std::string &run) {
  Fd runFd = OpenRun(run, true);
  struct stat folder {};
  if (!runFd || fstat(runFd.get(), &folder) != 0) {
    cache.windows.clear();
    return;
  }
  if (cache.run == run && folder.st_mtim.tv_sec == cache.changed.tv_sec && folder.st_mtim.tv_nsec == cache.changed.tv_nsec)
    return;
  if (cache.run == run && !MayRescan(cache)) return;
  cache.run = run;
  cache.changed = folder.st_mtim;
  cache.windows.clear();
  const uint64_t latest = FrontStamp() + kFrontStampSlackNs;
  std::map<uid_t, size_t> perUser;
  // Only windows whose process listens on a socket of the record's owner take touches: a record
  // left by a process that is gone, or one that somebody wrote with no process behind it, does not.
  std::map<std::tuple<pid_t, uid_t, std::string>, bool> listening;
  for (const auto &[hwnd, name] : ListRecords(runFd.get())) {
    auto record = ReadRecord(runFd.get(), run, name);
    if (!record || !record->state.visible) continue;
    if (record->state.z > latest) {
      ReportIgnored("record", run, name, "it says its window came to the front later than now");
      continue;
    }
    if (perUser[record->owner] >= kMaxWindowsPerUser) {
      ReportIgnored("record", run, name,
                    UserName(record->owner) + " shows more than " + std::to_string(kMaxWindowsPerUser) + " windows");
      continue;
    }
    const std::tuple key(WindowProcess(hwnd), record->owner, record->socket);
    auto known = listening.find(key);
    if (known == listening.end())
      known = listening.emplace(key, IsListening(OpenWindowSocket(runFd.get(), run, std::get<0>(key), *record, name))).first;
    if (!known->second) continue;
    ++perUser[record->owner];
    cache.windows.push_back({hwnd, record->state, record->owner});
  }
}

// Which of two windows at a point is over the other. A user's topmost windows are over that
// user's others; over another user's windows only root's and the driver's service's are (any
// member may make a window topmost, and must not take every touch from the others that way).
// Otherwise the one that came to the front last is.
bool IsOver(const ScreenWindow &a, const ScreenWindow &b) {
  const bool same = a.owner == b.owner;
  const bool aTop = a.state.topmost && (same || IsTrustedOwner(a.owner));
  const bool bTop = b.state.topmost && (same || IsTrustedOwner(b.owner));
  return std::pair(aTop, a.state.z) > std::pair(bTop, b.state.z);
}

}  // namespace

std::optional<PointedWindow> PublishedWindowAt(int x, int y) {
  std::string run = RunDirectory();
  if (run.empty()) return std::nullopt;
  ScreenCache &cache = Screen();
  std::lock_guard lock(cache.mutex);
  RefreshScreen(cache, run);
  for (;;) {
    // Each user's window over the point first, then the one of those over the others.
    std::map<uid_t, std::vector<ScreenWindow>::iterator> perUser;
    for (auto candidate = cache.windows.begin(); candidate != cache.windows.end(); ++candidate) {
      const RECT &rect = candidate->state.rect;
      if (x < rect.left || x >= rect.right || y < rect.top || y >= rect.bottom) continue;
      auto [mine, fresh] = perUser.try_emplace(candidate->owner, candidate);
      if (!fresh && IsOver(*candidate, *mine->second)) mine->second = candidate;
    }
    auto best = cache.windows.end();
    for (const auto &[owner, candidate] : perUser)
      if (best == cache.windows.end() || IsOver(*candidate, *best)) best = candidate;
    if (best == cache.windows.end()) return std::nullopt;
    // A process killed since the folder was read leaves run/ as it was: its window goes now.
    if (WindowProcess(best->hwnd) == getpid() || IsPublishedWindow(best->hwnd))
      return PointedWindow{best->hwnd, best->state.enabled};
    cache.windows.erase(best);
  }
}

DWORD PostPointerInput(HWND hwnd, DWORD flags, int x, int y) {
  if (WindowProcess(hwnd) == getpid()) {
    DeliverPointerInput(hwnd, flags, x, y);
    return ERROR_SUCCESS;
  }
  return SendDatagram(hwnd,
                      Datagram{kInputMagic, flags, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd)),
                               static_cast<uint64_t>(static_cast<int64_t>(x)), static_cast<int64_t>(y)},
                      false);
}

void UnpublishWindow(HWND hwnd) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  auto it = state.windows.find(hwnd);
  if (it == state.windows.end()) return;
  unlinkat(it->second.endpoint->runFd, it->second.recordName.c_str(), 0);
  state.windows.erase(it);
}

HWND FindPublishedWindow(const std::optional<std::u16string> &className, const std::optional<std::u16string> &name) {
  std::string run = RunDirectory();
  if (run.empty()) return nullptr;
  Fd runFd = OpenRun(run, true);
  if (!runFd) return nullptr;
  pid_t self = getpid();
  std::vector<std::pair<HWND, std::string>> candidates;
  for (auto &record : ListRecords(runFd.get()))
    if (WindowProcess(record.first) != self) candidates.push_back(std::move(record));
  // Oldest process first, and within a process oldest window first, whatever order readdir gives.
  auto order = [](HWND hwnd) { return std::pair(WindowProcess(hwnd), WindowNumber(hwnd)); };
  std::sort(candidates.begin(), candidates.end(),
            [&](const auto &a, const auto &b) { return order(a.first) < order(b.first); });
  // Whether a process listens, for records of one owner: another's record never reaches it.
  std::map<std::tuple<pid_t, uid_t, std::string>, bool> listening;
  for (const auto &[hwnd, recordName] : candidates) {
    auto record = ReadRecord(runFd.get(), run, recordName);
    if (!record) continue;
    if (className && !EqualsIgnoreCase(record->className, *className)) continue;
    if (name && !EqualsIgnoreCase(record->name, *name)) continue;
    const std::tuple key(WindowProcess(hwnd), record->owner, record->socket);
    auto known = listening.find(key);
    if (known == listening.end())
      known = listening
                  .emplace(key, IsListening(OpenWindowSocket(runFd.get(), run, std::get<0>(key), *record, recordName)))
                  .first;
    if (known->second) return hwnd;
  }
  return nullptr;
}

namespace {

// The socket of a published window's process, checked against the window's record; empty when
// the window or its process is gone, or either is not what it should be.
Fd ReachWindow(HWND hwnd) {
  std::string run = RunDirectory();
  if (run.empty()) return Fd();
  Fd runFd = OpenRun(run, false);
  if (!runFd) return Fd();
  auto record = ReadRecord(runFd.get(), run, hwnd);
  if (!record) return Fd();
  return OpenWindowSocket(runFd.get(), run, WindowProcess(hwnd), *record, RecordName(hwnd));
}

}  // namespace

bool IsPublishedWindow(HWND hwnd) { return IsListening(ReachWindow(hwnd)); }

namespace {

DWORD SendDatagram(HWND hwnd, const Datagram &datagram, bool wait) {
  Fd target = ReachWindow(hwnd);
  sockaddr_un address;
  if (!target || !MakeAddress(DescriptorPath(target.get()), &address)) return ERROR_INVALID_WINDOW_HANDLE;
  Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return ErrorFromErrno(errno);
  timeval timeout{kSendTimeoutSeconds, 0};
  if (wait) setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  ssize_t sent;
  do {
    sent = sendto(fd.get(), &datagram, sizeof(datagram), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT),
                  reinterpret_cast<const sockaddr *>(&address), sizeof(address));
  } while (sent < 0 && errno == EINTR);
  switch (sent < 0 ? errno : 0) {
    case 0:
      return ERROR_SUCCESS;
    case ECONNREFUSED:
    case ENOENT:
      return ERROR_INVALID_WINDOW_HANDLE;
    case EAGAIN:
      return ERROR_NOT_ENOUGH_QUOTA;
    default:
      return ErrorFromErrno(errno);
  }
}

}  // namespace

DWORD PostToPublishedWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendDatagram(hwnd,
                      Datagram{kMagic, message, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd)),
                               static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)},
                      true);
}

}  // namespace platform::gwes
