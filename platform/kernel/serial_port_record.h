// How the serial port code tells the record behind SerialPortUses() what happened.
#pragma once

#include <string>

namespace platform {

void NoteSerialOpened(const std::string &port, const std::string &path);
// reason: why, as the open's caller would be told; mayAppear as in SerialPortUse.
void NoteSerialOpenFailed(const std::string &port, const std::string &path, const std::string &reason,
                          bool mayAppear);
void NoteSerialClosed(const std::string &port);

}  // namespace platform
