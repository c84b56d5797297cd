// The serial ports devmgr lends: each port its drivers use is published as a device of its own
// ("COM1:" beside "NRV1:"), whose one handle is devmgr's own handle on the tty, lent to a program
// that calibrates while the driver lets go of the port. The tty is then opened by the service
// alone: the program reads and sets it only through the calls below, and loses it when the
// driver opens the port again (its further calls fail with ERROR_DEVICE_NOT_CONNECTED) or when
// it ends.
#pragma once

#include <functional>
#include <string>

#include "host/stream_driver.h"

namespace devmgr {

// The entry points of every lent port; the device context is LendPort's.
const StreamEntryPoints &LenderEntryPoints();

// Makes `port` ("COM1:") one to lend and gives its device context. borrowers names who holds the
// loan, for the line that says it was taken back.
DWORD LendPort(const std::string &port, std::function<std::string()> borrowers);

// Makes this process open its serial ports itself, taking a loan back before the port is opened
// by anyone else; called before any driver loads.
void StartLending();

// Ends every loan, with a line for each; for devmgr's stop, before the lent ports' connections end.
void TakeBackAllLoans(const std::string &why);

}  // namespace devmgr
