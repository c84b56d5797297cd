// The usage option every program of the stand-in takes, -h or --help: it is honoured before
// anything else, so the usage is printed even where no device root is set.
#pragma once

namespace platform {

// Whether `arg` asks for the usage.
bool IsHelpOption(const char *arg);
// Whether any argument after the program's name asks for it.
bool WantsHelp(int argc, char **argv);

}  // namespace platform
