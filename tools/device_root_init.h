// nrvctl's "init": makes a device root for a real serial port from the installed norvik.reg, so
// that devmgr (by hand or as the norvik@ service) runs the driver on it.
#pragma once

#include <string>
#include <vector>

// Makes or, with --force, replaces DIR/registry.reg from the options that follow "init"
// ([--port TTY] [--pointer OUTPUT] [--baud N] [--force]). Prints what went wrong and what to do on
// standard error; returns the program's exit status (0, 1 when the root cannot be made, 2 for a
// wrong argument or a refusal: of the port, of an existing registry, while the driver holds it).
int InitDeviceRootCommand(const std::string &root, const std::vector<std::string> &arguments);
