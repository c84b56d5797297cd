// The device manager's two outputs: problems on standard error, and the one line per published
// device on standard output that other programs and tests wait for.
#pragma once

#include <string>

namespace devmgr {

// Writes "devmgr: <text>" and a newline to standard error in one call, so that lines from
// concurrent threads do not mix.
void LogError(const std::string &text);
// Writes "devmgr: <text>" and a newline to standard output at once, unbuffered.
void Announce(const std::string &text);

}  // namespace devmgr
