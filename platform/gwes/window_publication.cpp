// Window publication: records run/window.PID.NUMBER written whole, the socket run/windows.PID with
// a thread that hands each arriving message to the queue of the window's thread, and lookups that
// ignore records whose process no longer listens (killed before it could clean up).
#include "window_publication.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/access_advice.h"
#include "platform/device_root.h"
#include "platform/text.h"
#include "window_handle.h"
#include "window_input.h"

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

// Sends one datagram to the process of a published window.
DWORD SendDatagram(HWND hwnd, const Datagram &datagram);

// A socket's queue holds only a few datagrams; its process empties it as fast as they come unless
// it is stopped or stuck, so a post waits this long for room before it gives up.
constexpr time_t kSendTimeoutSeconds = 1;
// Records are two short lines; anything larger is not one.
constexpr off_t kMaxRecordSize = 64 * 1024;

std::string SocketPath(const std::string &run, pid_t process) { return run + "/windows." + std::to_string(process); }

std::string RecordName(HWND hwnd) {
  return "window." + std::to_string(WindowProcess(hwnd)) + "." + std::to_string(WindowNumber(hwnd));
}

std::string RecordPath(const std::string &run, HWND hwnd) { return run + "/" + RecordName(hwnd); }

bool MakeAddress(const std::string &path, sockaddr_un *address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
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

// Parses "window.PID.NUMBER" with both numbers decimal and not 0.
bool ParseRecordName(const char *name, pid_t *process, uint32_t *number) {
  static const char kPrefix[] = "window.";
  if (std::strncmp(name, kPrefix, sizeof(kPrefix) - 1) != 0) return false;
  uint64_t values[2] = {0, 0};
  const char *p = name + sizeof(kPrefix) - 1;
  for (int i = 0; i < 2; ++i) {
    const char *start = p;
    while (*p >= '0' && *p <= '9' && p - start < 10) values[i] = values[i] * 10 + static_cast<uint64_t>(*p++ - '0');
    if (p == start || values[i] == 0 || values[i] > 0xFFFFFFFFu) return false;
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

std::u16string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      out += text[i] == 'n' ? '\n' : text[i];
    } else {
      out += text[i];
    }
  }
  return ToUtf16(out);
}

struct Record {
  std::u16string className;
  std::u16string name;
  ScreenState state;
};

// "state=VISIBLE ENABLED TOPMOST Z LEFT TOP RIGHT BOTTOM", the flags 0 or 1.
std::string StateLine(const ScreenState &state) {
  return "state=" + std::to_string(state.visible) + " " + std::to_string(state.enabled) + " " +
         std::to_string(state.topmost) + " " + std::to_string(state.z) + " " + std::to_string(state.rect.left) + " " +
         std::to_string(state.rect.top) + " " + std::to_string(state.rect.right) + " " +
         std::to_string(state.rect.bottom) + "\n";
}

bool ParseState(std::string_view line, ScreenState *state) {
  int visible = 0, enabled = 0, topmost = 0;
  unsigned long long z = 0;
  long left = 0, top = 0, right = 0, bottom = 0;
  std::string text(line);
  if (std::sscanf(text.c_str(), "%d %d %d %llu %ld %ld %ld %ld", &visible, &enabled, &topmost, &z, &left, &top, &right,
                  &bottom) != 8)
    return false;
  state->visible = visible != 0;
  state->enabled = enabled != 0;
  state->topmost = topmost != 0;
  state->z = z;
  state->rect = RECT{static_cast<LONG>(left), static_cast<LONG>(top), static_cast<LONG>(right), static_cast<LONG>(bottom)};
  return true;
}

std::optional<Record> ReadRecord(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0 && text.size() <= static_cast<size_t>(kMaxRecordSize))
    text.append(buffer, static_cast<size_t>(got));
  close(fd);
  if (got < 0 || text.size() > static_cast<size_t>(kMaxRecordSize)) return std::nullopt;
  std::optional<std::u16string> className, name;
  ScreenState state;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) return std::nullopt;  // a record always ends with a newline
    std::string_view line(text.data() + start, end - start);
    if (line.starts_with("class=")) className = Unescape(line.substr(6));
    else if (line.starts_with("name=")) name = Unescape(line.substr(5));
    else if (line.starts_with("state=")) ParseState(line.substr(6), &state);
    start = end + 1;
  }
  if (!className || !name) return std::nullopt;
  return Record{*className, *name, state};
}

DWORD WriteRecord(const std::string &run, HWND hwnd, const std::u16string &className, const std::u16string &name,
                  const ScreenState &state = ScreenState{}) {
  std::string text = "class=" + Escape(className) + "\nname=" + Escape(name) + "\n" + StateLine(state);
  std::string temporary = run + "/." + RecordName(hwnd);
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return ErrorFromErrno(errno);
  size_t written = 0;
  // Readable by every process that may use the device root, whatever this one's umask.
  int error = fchmod(fd, SharedFileMode(run)) == 0 ? 0 : errno;
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
  if (error == 0 && rename(temporary.c_str(), RecordPath(run, hwnd).c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    return ErrorFromErrno(error);
  }
  return ERROR_SUCCESS;
}

// Whether a process has its window socket bound: connecting a datagram socket to a socket file
// whose process is gone is refused.
bool IsListening(const std::string &run, pid_t process) {
  sockaddr_un address;
  if (!MakeAddress(SocketPath(run, process), &address)) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool listening = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
  close(fd);
  return listening;
}

bool RecordExists(const std::string &run, HWND hwnd) {
  struct stat info {};
  return lstat(RecordPath(run, hwnd).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The socket and receiving thread of this process for one run/ folder.
struct Endpoint {
  std::string run;
  std::string socketPath;
  int fd = -1;
  std::thread receiver;
};

struct Published {
  std::string recordPath;
  const Endpoint *endpoint;
  std::weak_ptr<MessageQueue> queue;
  std::u16string className;
};

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
      ssize_t size = recv(endpoint->fd, &datagram, sizeof(datagram), MSG_DONTWAIT | MSG_TRUNC);
      if (size < 0 && errno == EINTR) continue;
      if (size < 0) break;
      // Anyone who can reach run/ can send here: only well-formed messages count.
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
    for (const auto &[hwnd, published] : state.windows) unlink(published.recordPath.c_str());
    state.windows.clear();
    for (const auto &endpoint : state.endpoints) unlink(endpoint->socketPath.c_str());
    endpoints.swap(state.endpoints);
  }
  uint64_t one = 1;
  while (write(state.stopFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
  for (auto &endpoint : endpoints) {
    endpoint->receiver.join();
    close(endpoint->fd);
  }
}

// Records and a socket file named after this process's id are left from an earlier process that
// had the same id and was killed.
void RemoveLeftovers(const std::string &run, pid_t self) {
  std::string socketPath = SocketPath(run, self);
  unlink(socketPath.c_str());
  DIR *directory = opendir(run.c_str());
  if (directory == nullptr) return;
  std::string prefix = "window." + std::to_string(self) + ".";
  while (dirent *entry = readdir(directory)) {
    std::string_view name = entry->d_name;
    if (name.starts_with(prefix) || (name.starts_with(".") && name.substr(1).starts_with(prefix)))
      unlinkat(dirfd(directory), entry->d_name, 0);
  }
  closedir(directory);
}

// The endpoint for `run`, made on first use. The caller holds the state's mutex.
Endpoint *EndpointFor(Publication &state, const std::string &run, DWORD *error) {
  for (const auto &endpoint : state.endpoints)
    if (endpoint->run == run) return endpoint.get();
  pid_t self = getpid();
  auto endpoint = std::make_unique<Endpoint>();
  endpoint->run = run;
  endpoint->socketPath = SocketPath(run, self);
  sockaddr_un address;
  if (!MakeAddress(endpoint->socketPath, &address)) {
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
  RemoveLeftovers(run, self);
  endpoint->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (endpoint->fd < 0) {
    *error = ErrorFromErrno(errno);
    return nullptr;
  }
  if (bind(endpoint->fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    *error = ErrorFromErrno(errno);
    close(endpoint->fd);
    return nullptr;
  }
  // Every process that may use the device root may post to these windows.
  if (chmod(endpoint->socketPath.c_str(), SharedFileMode(run)) != 0) {
    *error = ErrorFromErrno(errno);
    close(endpoint->fd);
    unlink(endpoint->socketPath.c_str());
    return nullptr;
  }
  try {
    endpoint->receiver = std::thread(Receive, endpoint.get(), state.stopFd);
  } catch (const std::system_error &) {
    close(endpoint->fd);
    unlink(endpoint->socketPath.c_str());
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
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
  if (endpoint != nullptr) error = WriteRecord(run, hwnd, className, name);
  if (error == ERROR_ACCESS_DENIED) ReportRefused(run);
  if (error != ERROR_SUCCESS) return error;
  state.windows[hwnd] = Published{RecordPath(run, hwnd), endpoint, queue, className};
  return ERROR_SUCCESS;
}

void RepublishWindow(HWND hwnd, const ScreenState &screenState) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  auto it = state.windows.find(hwnd);
  if (it == state.windows.end()) return;
  WriteRecord(it->second.endpoint->run, hwnd, it->second.className, screenState.name, screenState);
}

namespace {

// The published windows' states, read again only when run/ has changed: records are replaced
// whole by a rename, which changes the folder's time.
struct ScreenCache {
  std::mutex mutex;
  std::string run;
  timespec changed{};
  std::vector<std::pair<HWND, ScreenState>> windows;
};

ScreenCache &Screen() {
  static auto *cache = new ScreenCache;
  return *cache;
}

void RefreshScreen(ScreenCache &cache, const std::string &run) {
  struct stat folder {};
  if (stat(run.c_str(), &folder) != 0) {
    cache.windows.clear();
    return;
  }
  if (cache.run == run && folder.st_mtim.tv_sec == cache.changed.tv_sec && folder.st_mtim.tv_nsec == cache.changed.tv_nsec)
    return;
  cache.run = run;
  cache.changed = folder.st_mtim;
  cache.windows.clear();
  DIR *directory = opendir(run.c_str());
  if (directory == nullptr) return;
  while (dirent *entry = readdir(directory)) {
    pid_t process;
    uint32_t number;
    if (!ParseRecordName(entry->d_name, &process, &number)) continue;
    HWND hwnd = MakeWindowHandle(process, number);
    if (auto record = ReadRecord(RecordPath(run, hwnd)); record && record->state.visible)
      cache.windows.emplace_back(hwnd, record->state);
  }
  closedir(directory);
}

}  // namespace

std::optional<PointedWindow> PublishedWindowAt(int x, int y) {
  std::string run = RunDirectory();
  if (run.empty()) return std::nullopt;
  ScreenCache &cache = Screen();
  std::lock_guard lock(cache.mutex);
  RefreshScreen(cache, run);
  const std::pair<HWND, ScreenState> *best = nullptr;
  for (const auto &candidate : cache.windows) {
    const ScreenState &state = candidate.second;
    if (x < state.rect.left || x >= state.rect.right || y < state.rect.top || y >= state.rect.bottom) continue;
    if (best == nullptr || std::pair(state.topmost, state.z) > std::pair(best->second.topmost, best->second.z))
      best = &candidate;
  }
  if (best == nullptr) return std::nullopt;
  return PointedWindow{best->first, best->second.enabled};
}

DWORD PostPointerInput(HWND hwnd, DWORD flags, int x, int y) {
  if (WindowProcess(hwnd) == getpid()) {
    DeliverPointerInput(hwnd, flags, x, y);
    return ERROR_SUCCESS;
  }
  return SendDatagram(hwnd, Datagram{kInputMagic, flags, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd)),
                                     static_cast<uint64_t>(static_cast<int64_t>(x)), static_cast<int64_t>(y)});
}

void UnpublishWindow(HWND hwnd) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  auto it = state.windows.find(hwnd);
  if (it == state.windows.end()) return;
  unlink(it->second.recordPath.c_str());
  state.windows.erase(it);
}

HWND FindPublishedWindow(const std::optional<std::u16string> &className, const std::optional<std::u16string> &name) {
  std::string run = RunDirectory();
  if (run.empty()) return nullptr;
  DIR *directory = opendir(run.c_str());
  if (directory == nullptr) return nullptr;
  pid_t self = getpid();
  std::vector<std::pair<pid_t, uint32_t>> candidates;
  while (dirent *entry = readdir(directory)) {
    pid_t process;
    uint32_t number;
    if (ParseRecordName(entry->d_name, &process, &number) && process != self) candidates.emplace_back(process, number);
  }
  closedir(directory);
  // Oldest process first, and within a process oldest window first, whatever order readdir gives.
  std::sort(candidates.begin(), candidates.end());
  std::map<pid_t, bool> listening;
  for (const auto &[process, number] : candidates) {
    HWND hwnd = MakeWindowHandle(process, number);
    auto record = ReadRecord(RecordPath(run, hwnd));
    if (!record) continue;
    if (className && !EqualsIgnoreCase(record->className, *className)) continue;
    if (name && !EqualsIgnoreCase(record->name, *name)) continue;
    auto known = listening.find(process);
    if (known == listening.end()) known = listening.emplace(process, IsListening(run, process)).first;
    if (known->second) return hwnd;
  }
  return nullptr;
}

bool IsPublishedWindow(HWND hwnd) {
  std::string run = RunDirectory();
  return !run.empty() && RecordExists(run, hwnd) && IsListening(run, WindowProcess(hwnd));
}

namespace {

DWORD SendDatagram(HWND hwnd, const Datagram &datagram) {
  std::string run = RunDirectory();
  sockaddr_un address;
  if (run.empty() || !RecordExists(run, hwnd) || !MakeAddress(SocketPath(run, WindowProcess(hwnd)), &address))
    return ERROR_INVALID_WINDOW_HANDLE;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ErrorFromErrno(errno);
  timeval timeout{kSendTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  ssize_t sent;
  do {
    sent = sendto(fd, &datagram, sizeof(datagram), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address),
                  sizeof(address));
  } while (sent < 0 && errno == EINTR);
  int error = sent < 0 ? errno : 0;
  close(fd);
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ECONNREFUSED:
    case ENOENT:
      return ERROR_INVALID_WINDOW_HANDLE;
    case EAGAIN:
      return ERROR_NOT_ENOUGH_QUOTA;
    default:
      return ErrorFromErrno(error);
  }
}

}  // namespace

DWORD PostToPublishedWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendDatagram(hwnd, Datagram{kMagic, message, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd)),
                                     static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)});
}

}  // namespace platform::gwes
