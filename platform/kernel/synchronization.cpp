// Events, threads, waits, time and the library-entry call: the kernel's scheduling objects on
// pthreads and condition variables, with Win32 results and error codes.
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#include <sys/syscall.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kernel_object.h"
#include "platform/faults.h"
#include "platform/text.h"

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

void *ThreadMain(void *argument) {
  // The thread owns one reference to its object for as long as it runs, so closing the handle
  // early (as drivers do right after CreateThread) is safe.
  auto *owned = static_cast<std::shared_ptr<Thread> *>(argument);
  std::shared_ptr<Thread> thread = std::move(*owned);
  delete owned;
  thread->Run();
  return nullptr;
}

}  // namespace
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
  auto *owned = new std::shared_ptr<Thread>(thread);
  pthread_t id;
  int result = pthread_create(&id, &attributes, platform::ThreadMain, owned);
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
