// Finds the /dev/serial/by-id link of a tty, so that init can point the administrator to a name
// that stays with the adapter when a replug gives its tty another number.
#include "stable_serial_name.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

// The file a path finally names, links followed; empty when it leads nowhere.
std::string Resolved(const std::string &path) {
  char *real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string resolved = real;
  std::free(real);
  return resolved;
}

}  // namespace

std::string StableSerialName(const std::string &port, const std::string &folder) {
  struct stat info {};
  if (lstat(port.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return {};
  const std::string tty = Resolved(port);
  DIR *listing = tty.empty() ? nullptr : opendir(folder.c_str());
  if (listing == nullptr) return {};
  std::vector<std::string> names;
  while (const dirent *entry = readdir(listing)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    const std::string link = folder + "/" + name;
    if (Resolved(link) == tty) return link;
  }
  return {};
}
