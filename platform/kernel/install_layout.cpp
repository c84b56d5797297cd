// Where the project's libraries and data are, found from the running program's own path, so that
// an installed tree works from whatever prefix it was installed to.
#include "platform/install_layout.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

bool IsDirectory(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string program(path, static_cast<size_t>(length));
  const size_t slash = program.rfind('/');
  return slash == std::string::npos ? std::string(".") : program.substr(0, slash == 0 ? 1 : slash);
}

std::string LibraryFolder() {
  // The build tree keeps its libraries in lib/ next to bin/; an installed tree in a private
  // folder that only this project uses, so that its libraries never shadow the system's.
  const std::string installed = ProgramFolder() + "/" NORVIK_RELATIVE_LIBRARY_FOLDER;
  if (IsDirectory(installed)) return installed;
  return ProgramFolder() + "/../lib";
}

std::string DataFolder() { return ProgramFolder() + "/" NORVIK_RELATIVE_DATA_FOLDER; }

}  // namespace platform
