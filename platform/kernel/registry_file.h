// The hive file of the device root: read afresh by every open, and changed only under an
// exclusive advisory lock by writing a complete new file and renaming it over the old one, so
// that readers and a crash at any moment see either the old hive or the new one.
#pragma once

#include <functional>
#include <string>

#include <windows.h>

#include "platform/registry_file.h"
#include "registry_hive.h"

namespace platform {

// The hive's path: ERROR_PATH_NOT_FOUND, reported once on standard error, when no device root
// is set.
LONG HiveFilePath(std::string *path);

// Reads and parses the hive; a missing file is an empty hive. ERROR_BADDB when the file cannot
// be parsed (reported on standard error once per file state, with its path and line),
// ERROR_PATH_NOT_FOUND when the device root does not exist, ERROR_CANTREAD when the file cannot
// be read.
LONG ReadHiveFile(const std::string &path, RegistryHive *hive);

// Under the exclusive lock: reads the hive afresh, lets change() modify it and, when change()
// returns ERROR_SUCCESS and the hive's text differs, replaces the file. The file is never written
// when it cannot be parsed or change() fails. ERROR_CANTWRITE, reported, when the new file
// cannot be written; the hive is then unchanged.
LONG UpdateHiveFile(const std::string &path, const std::function<LONG(RegistryHive &)> &change);

}  // namespace platform
