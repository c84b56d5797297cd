// The hive file written whole, for nrvctl init, which makes a device root's hive from the
// package's template: the same lock, temporary file and rename as every change of the registry.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

// What a hive written whole is given: its mode, and its owner and group (-1: left as made).
struct HiveFileOwners {
  mode_t mode = 0600;
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
};

// Replaces registry.reg in the folder `root` (a readable descriptor of the device root) with
// `text` under the lock on registry.reg.lock, through a synced temporary file given `owners`
// and renamed over it, so that a running program reads the old hive or the new one. 0, or the
// errno of the step that failed (the hive is then unchanged); nothing is printed.
int WriteHiveFile(int root, const std::string &text, const HiveFileOwners &owners);

}  // namespace platform
