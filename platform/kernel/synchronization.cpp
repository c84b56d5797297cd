// Events, threads, waits, time and the library-entry call: the kernel's scheduling objects on
// pthreads and condition variables, with Win32 results and error codes.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kernel_object.h"
#include "platform/access_advice.h"
#include "platform/faults.h"
#include "platform/text.h"
#include "platform/thread_scheduling.h"

namespace platform {
namespace {

// Waits on cv until ready() or the time-out; INFINITE waits without limit.
template <class Ready>
bool WaitUntil(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, DWORD milliseconds, Ready ready) {
  if (milliseconds == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

class Event : public KernelObject {
 public:
  Event(bool manualReset, bool signalled, std::string name)
      : manualReset_(manualReset), signalled_(signalled), name_(std::move(name)) {}

  std::string Name() const override { return name_; }

  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock lock(mutex_);
    if (!WaitUntil(cv_, lock, milliseconds, [&] { return signalled_; })) return WAIT_TIMEOUT;
    if (!manualReset_) signalled_ = false;
    return WAIT_OBJECT_0;
  }

  void Set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    if (manualReset_) cv_.notify_all();
    else cv_.notify_one();
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool manualReset_;
  bool signalled_;
  std::string name_;
};

class Thread : public KernelObject {
 public:
  Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter) : start_(start), parameter_(parameter) {}

  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock lock(mutex_);
    return WaitUntil(cv_, lock, milliseconds, [&] { return finished_; }) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

  DWORD ExitCode() {
    std::lock_guard lock(mutex_);
    return finished_ ? exitCode_ : static_cast<DWORD>(STILL_ACTIVE);
  }

  void Run() {
    DWORD code = start_(parameter_);
    std::lock_guard lock(mutex_);
    exitCode_ = code;
    finished_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  LPTHREAD_START_ROUTINE start_;
  LPVOID parameter_;
  bool finished_ = false;
  DWORD exitCode_ = 0;
};

// The scheduling the process started with: what its main thread had when this library was
// loaded, before main runs and before any thread of the process lowers its own. Every thread
// CreateThread makes gets it, whichever thread asks: a driver may start its read thread from a
// thread that serves one client at an ordinary priority, and that thread must still get the
// real-time priority the service gave the process.
struct StartScheduling {
  int policy = SCHED_OTHER;
  sched_param parameters{};
  int nice = 0;
  bool known = false;
};

StartScheduling CaptureStartScheduling() {
  StartScheduling start;
  int policy = 0;
  if (pthread_getschedparam(pthread_self(), &policy, &start.parameters) != 0) return start;
  start.policy = policy & ~SCHED_RESET_ON_FORK;
  errno = 0;
  start.nice = getpriority(PRIO_PROCESS, 0);
  start.known = errno == 0 && (start.policy == SCHED_OTHER || start.policy == SCHED_BATCH ||
                               start.policy == SCHED_IDLE || start.policy == SCHED_FIFO || start.policy == SCHED_RR);
  return start;
}

const StartScheduling startScheduling = CaptureStartScheduling();

bool IsRealTime(int policy) { return policy == SCHED_FIFO || policy == SCHED_RR; }

// Said once per process: a service without the right to its own priority runs every later thread
// at an ordinary one, which shows as lost touches under load and nowhere else.
void ReportSchedulingRefused() {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  const std::string program = ProgramName();
  std::string line;
  if (IsRealTime(startScheduling.policy)) {
    const std::string priority = std::to_string(startScheduling.parameters.sched_priority);
    line = program + ": cannot give a new thread the real-time priority this process started with (" +
           (startScheduling.policy == SCHED_FIFO ? "SCHED_FIFO " : "SCHED_RR ") + priority +
           "): permission denied; it runs as an ordinary thread. Give " + program +
           " CAP_SYS_NICE or a real-time priority limit of at least " + priority + " (LimitRTPRIO=" + priority +
           " in its unit, ulimit -r " + priority + ")\n";
  } else {
    const std::string nice = std::to_string(startScheduling.nice);
    line = program + ": cannot give a new thread the nice value this process started with (" + nice +
           "): permission denied; it runs at its creator's. Give " + program +
           " CAP_SYS_NICE or a nice limit that allows " + nice + " (LimitNICE= in its unit, ulimit -e)\n";
  }
  std::fputs(line.c_str(), stderr);
}

// The scheduling attributes of a new thread: the process's start, set explicitly rather than
// inherited from the creating thread.
void SetStartScheduling(pthread_attr_t *attributes) {
  if (!startScheduling.known) return;
  pthread_attr_setinheritsched(attributes, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(attributes, startScheduling.policy);
  pthread_attr_setschedparam(attributes, &startScheduling.parameters);
}

void *ThreadMain(void *argument);

// Makes threads on behalf of callers that may not give a new thread the start scheduling
// themselves. It runs at that scheduling, so what it makes with PTHREAD_INHERIT_SCHED has it too.
class ThreadStarter {
 public:
  static ThreadStarter &Instance() {
    static ThreadStarter *starter = new ThreadStarter;  // lives as long as the process's threads
    return *starter;
  }

  bool Start(std::string *error) {
    std::lock_guard lock(mutex_);
    if (running_) return true;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setinheritsched(&attributes, PTHREAD_INHERIT_SCHED);
    pthread_t id;
    const int result = pthread_create(&id, &attributes, &ThreadStarter::Loop, this);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
      *error = std::strerror(result);
      return false;
    }
    running_ = true;
    return true;
  }

  // pthread_create run by the starter with `attributes` (inheriting); EPERM when no starter runs.
  int Create(pthread_attr_t *attributes, void *argument, pthread_t *id) {
    std::unique_lock lock(mutex_);
    if (!running_) return EPERM;
    Request request{attributes, argument};
    queue_.push_back(&request);
    wake_.notify_all();
    done_.wait(lock, [&] { return request.done; });
    *id = request.id;
    return request.result;
  }

 private:
  struct Request {
    pthread_attr_t *attributes;
    void *argument;
    pthread_t id{};
    int result = 0;
    bool done = false;
  };

  static void *Loop(void *self) {
    auto *starter = static_cast<ThreadStarter *>(self);
    std::unique_lock lock(starter->mutex_);
    for (;;) {
      starter->wake_.wait(lock, [&] { return !starter->queue_.empty(); });
      Request *request = starter->queue_.front();
      starter->queue_.erase(starter->queue_.begin());
      request->result = pthread_create(&request->id, request->attributes, ThreadMain, request->argument);
      request->done = true;
      starter->done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::vector<Request *> queue_;
  bool running_ = false;
};

void *ThreadMain(void *argument) {
  // The thread owns one reference to its object for as long as it runs, so closing the handle
  // early (as drivers do right after CreateThread) is safe.
  auto *owned = static_cast<std::shared_ptr<Thread> *>(argument);
  std::shared_ptr<Thread> thread = std::move(*owned);
  delete owned;
  // A thread takes its name from its creator, which may be a thread that serves one client: it
  // goes by its program's name, as the main thread does.
  pthread_setname_np(pthread_self(), ProgramName().substr(0, 15).c_str());
  // The nice value is not among the attributes a thread is created with: it comes from the
  // creating thread, which may have lowered its own.
  if (startScheduling.known && !IsRealTime(startScheduling.policy)) {
    pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(self));
    if (errno == 0 && nice != startScheduling.nice &&
        setpriority(PRIO_PROCESS, static_cast<id_t>(self), startScheduling.nice) != 0)
      ReportSchedulingRefused();
  }
  thread->Run();
  return nullptr;
}

}  // namespace

bool KeepStartSchedulingForNewThreads() {
  if (!startScheduling.known || !IsRealTime(startScheduling.policy)) return true;
  std::string error;
  if (ThreadStarter::Instance().Start(&error)) return true;
  std::fputs((ProgramName() + ": cannot start the thread that gives new threads the real-time priority this "
              "process started with: " + error + "; threads started later may run at an ordinary priority. Raise "
              "the limit on threads\n").c_str(), stderr);
  return false;
}

}  // namespace platform

using platform::Event;
using platform::Thread;

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  std::string name = lpName != nullptr ? platform::ToUtf8(lpName) : std::string();
  if (DWORD error = platform::CheckFault("CreateEventW", name)) {
    SetLastError(error);
    return nullptr;
  }
  auto event = std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE, name);
  SetLastError(ERROR_SUCCESS);
  return platform::InsertHandle(event);
}

extern "C" BOOL WINAPI EventModify(HANDLE hEvent, DWORD func) {
  auto event = platform::LookupHandleAs<Event>(hEvent);
  if (!event) return FALSE;
  switch (func) {
    case EVENT_SET: event->Set(); return TRUE;
    case EVENT_RESET: event->Reset(); return TRUE;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
  }
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_SET); }

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_RESET); }

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  platform::ObjectPtr object = platform::LookupHandle(hHandle);
  if (!object) return WAIT_FAILED;
  return object->Wait(dwMilliseconds);
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (DWORD error = platform::CheckFault("CreateThread", "")) {
    SetLastError(error);
    return nullptr;
  }
  if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>(lpStartAddress, lpParameter);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (dwStackSize != 0) pthread_attr_setstacksize(&attributes, dwStackSize < 65536 ? 65536 : dwStackSize);
  platform::SetStartScheduling(&attributes);
  auto *owned = new std::shared_ptr<Thread>(thread);
  pthread_t id;
  int result = pthread_create(&id, &attributes, platform::ThreadMain, owned);
  if (result == EPERM) {
    pthread_attr_setinheritsched(&attributes, PTHREAD_INHERIT_SCHED);
    result = platform::ThreadStarter::Instance().Create(&attributes, owned, &id);
  }
  if (result == EPERM) {
    platform::ReportSchedulingRefused();
    result = pthread_create(&id, &attributes, platform::ThreadMain, owned);
  }
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete owned;
    SetLastError(result == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = 0;
  return platform::InsertHandle(thread);
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = platform::LookupHandleAs<Thread>(hThread);
  if (!thread || lpExitCode == nullptr) {
    if (thread) SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  struct timespec delay {
    static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L
  };
  while (nanosleep(&delay, &delay) != 0) {
  }
}

extern "C" DWORD WINAPI GetTickCount(void) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

extern "C" BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  // Libraries on this platform get no per-thread attach calls in the first place.
  (void)hLibModule;
  return TRUE;
}
