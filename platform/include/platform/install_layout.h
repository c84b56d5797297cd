// Where the project's files are, found from the running program: its libraries (drivers among
// them) and its data (norvik.reg, calvex.res, gesture scripts). The same rules hold in a build
// tree and in an installed tree under any prefix.
#pragma once

#include <string>

namespace platform {

// The folder that holds the running program.
std::string ProgramFolder();
// The project's private library folder: <bindir>/../lib/norvik when installed, else the build
// tree's lib/ beside bin/.
std::string LibraryFolder();
// The project's data folder: <bindir>/../share/norvik, in a build tree and when installed.
std::string DataFolder();

}  // namespace platform
