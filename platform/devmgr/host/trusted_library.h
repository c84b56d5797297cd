// Maps a library only from a file nobody but root, devmgr's own user or the service's account can
// have chosen or changed: the descriptor that passed the trust check is what the loader maps, and
// the libraries it finds in its own folder ($ORIGIN) are checked and mapped the same way first.
#pragma once

#include <string>

namespace devmgr {

struct MappedLibrary {
  void *module = nullptr;  // the dlopen handle, or null
  bool refused = false;    // the file, or a library it needs from its folder, failed the trust check
  std::string why;         // when module is null: the trust check's or the loader's reason
};

// `path` is absolute. Refuses what platform::OpenTrustedFile refuses.
MappedLibrary MapTrustedLibrary(const std::string &path);

}  // namespace devmgr
