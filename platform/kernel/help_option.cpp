// The usage option, -h or --help.
#include "platform/help_option.h"

#include <cstring>

namespace platform {

bool IsHelpOption(const char *arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

bool WantsHelp(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    if (IsHelpOption(argv[i])) return true;
  return false;
}

}  // namespace platform
