// The stable name of a serial tty: the link udev keeps in /dev/serial/by-id for a USB serial
// adapter, which names the adapter itself rather than the number the kernel gave its tty.
#pragma once

#include <string>

// The link in `folder` (nrvctl gives /dev/serial/by-id) that leads to the same tty as `port`, as
// folder/NAME: the first in sorted order when several do (two names of one adapter). Empty when
// none does, when the folder cannot be read, or when `port` is itself a symbolic link: then it is
// a name already chosen (a by-id or by-path link, or one a udev rule made) and is kept.
std::string StableSerialName(const std::string &port, const std::string &folder);
