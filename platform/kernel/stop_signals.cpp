// The stop signals: blocked, then read from a signalfd or waited for with sigwait by one thread.
// Stop wakes that thread with a SIGTERM of its own, which the blocked mask keeps for it alone.
#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <system_error>

namespace platform {
namespace {

sigset_t StopSet() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t signals = StopSet();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int OpenStopSignalDescriptor() {
  BlockStopSignals();
  const sigset_t signals = StopSet();
  return signalfd(-1, &signals, SFD_CLOEXEC);
}

bool StopSignalWatcher::Start(std::function<void(int signal)> onStop, std::string *error) {
  Stop();
  stopping_ = false;
  try {
    thread_ = std::thread([this, onStop = std::move(onStop)] {
      const sigset_t signals = StopSet();
      for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0 || stopping_) return;
        onStop(signal);
      }
    });
  } catch (const std::system_error &failure) {
    *error = failure.what();
    return false;
  }
  return true;
}

void StopSignalWatcher::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

}  // namespace platform
