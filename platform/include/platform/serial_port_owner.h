// What the process that holds the serial ports (devmgr) needs beside CreateFileW: the devices it
// publishes itself are reached here as what they stand for, never through their own sockets; a
// driver's open of a port first ends what the process lent of it; and the lender opens the tty
// of a port it lends itself, as the serial driver of the device would.
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

namespace platform {

// CreateFileW in this process does not reach `device` ("COM1:") through the socket this process
// publishes it on: a serial port's name then leads to its tty.
void ServeDeviceHere(const std::string &device);
bool IsServedHere(std::u16string_view device);

// Called in this process before CreateFileW opens a serial port's tty, with the port's name
// ("COM1:"): whatever this process lent of that port is taken back first.
using SerialPortOpening = void (*)(const std::string &port);
void OnSerialPortOpening(SerialPortOpening opening);
// Tells the hook that `port` is about to be opened.
void NoteSerialPortOpening(const std::string &port);

// Opens the tty that the port name maps to, as CreateFileW does, without telling the hook.
HANDLE OpenSerialPortTty(std::u16string_view name, DWORD desiredAccess);

}  // namespace platform
