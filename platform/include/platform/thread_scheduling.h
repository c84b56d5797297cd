// The scheduling of the threads CreateThread makes: the one the process started with, whichever
// thread asks for them, so that a driver's read thread keeps the service's real-time priority
// even when a thread serving one client at an ordinary priority starts it.
#pragma once

namespace platform {

// Starts the thread that makes CreateThread's threads for callers at a lower priority than the
// process started with, when the process may not set that priority itself (a real-time policy
// without CAP_SYS_NICE or RLIMIT_RTPRIO): a new thread inherits its creator's policy with no
// permission needed. Does nothing unless the process started real-time. Call it from the main
// thread, after blocking the signals the process waits for, before anything lowers a thread's
// priority; false, having said why on standard error, when the thread cannot be started.
bool KeepStartSchedulingForNewThreads();

}  // namespace platform
