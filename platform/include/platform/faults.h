// Fault injection: makes a named platform call fail with a chosen error code, on handles of a
// chosen name ("COM1:", "NRV1:") or on any handle, so that every failure path of a caller can be
// reached without test-only code in the caller.
//
// The environment variable PLATFORM_FAULTS arms faults in a process at start, as a comma-separated
// list of CALL[@NAME]=ERROR[*COUNT][/SKIP], for example
//   PLATFORM_FAULTS="SetCommTimeouts@COM1:=31,CreateThread=8*1,SetCommState@COM1:=+500*1/1"
// COUNT limits how many calls fail; without it every matching call fails. ERROR +MS makes the call
// wait MS milliseconds and then act, as a call held up in flight. SKIP lets that many matching
// calls through first.
#pragma once

#include <string>

#include <windows.h>

namespace platform {

// Arms a fault. An empty handleName matches every handle; count < 0 means without limit.
void InjectFault(const std::string &call, const std::string &handleName, DWORD error, int count = -1);
// Removes every armed fault, including those from PLATFORM_FAULTS.
void ClearFaults();
// Parses a PLATFORM_FAULTS list and arms it; false (nothing armed) on a malformed list.
bool ArmFaults(const std::string &list, std::string *error);

// For the platform's own calls: the error code to fail with, or 0 to proceed. A match consumes
// one count.
DWORD CheckFault(const char *call, const std::string &handleName);

}  // namespace platform
