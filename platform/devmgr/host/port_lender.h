// The serial ports devmgr lends: each port its drivers use is published as a device of its own
// ("COM1:" beside "NRV1:"), an ordinary stream device whose driver is this lender. Its one handle
// is devmgr's own handle on the tty, lent to a program that calibrates while the driver lets go of
// the port: the lender forwards the serial control codes a calibration needs (the line, its
// time-outs, the mask, purging what came in) and refuses the rest, and refuses anything that would
// send to the controller. The tty is then opened by the service alone. A loan ends when the driver
// opens the port again (the program's further calls fail with ERROR_DEVICE_NOT_CONNECTED and its
// connection ends) or when the program ends.
#pragma once

#include <string>

#include "host/stream_driver.h"

namespace devmgr {

class DeviceHost;

// The entry points of every lent port; the device context is LendPort's.
const StreamEntryPoints &LenderEntryPoints();

// Makes `port` ("COM1:") one to lend and gives its device context.
DWORD LendPort(const std::string &port);
// The device that publishes the lent port of `context`: it names the borrowers, and ends their
// connections when a loan is taken back.
void LendThrough(DWORD context, DeviceHost *host);

// Makes this process open its serial ports itself, taking a loan back before a driver opens the
// port; called before any driver loads.
void StartLending();

// Who has `port` on loan now ("alice (calvex, pid 812)"), or empty when it is not lent.
std::string Borrowers(const std::string &port);

// Ends every loan, with a line for each; for devmgr's stop, before the lent ports' connections end.
void TakeBackAllLoans(const std::string &why);

}  // namespace devmgr
