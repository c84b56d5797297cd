// Compiled resource files: the 32-bit .res format that the resource compiler writes, read into a
// list of resources, and loaded as a module that FindResourceW and LoadResource serve.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <platform/dialog_template.h>
#include <windows.h>

namespace platform {

struct ResourceEntry {
  NameOrOrdinal type;
  NameOrOrdinal name;
  WORD memoryFlags = 0;
  WORD language = 0;
  std::vector<BYTE> data;
};

// Parses a whole .res file; false with the reason (and the byte offset) when it is not one.
bool ParseResourceFile(const void *data, size_t size, std::vector<ResourceEntry> *out, std::string *error);

// Loads the .res file at `path` as a module for the resource calls. Returns NULL, with
// ERROR_RESOURCE_DATA_NOT_FOUND as the last error and the reason in `error`, when the file cannot
// be read or is not a resource file. The module stays loaded until the process ends.
HMODULE LoadResourceFile(const std::string &path, std::string *error = nullptr);

// Whether the program's own resources, the module GetModuleHandleW(NULL) names, could be read;
// when not, `error` names the file looked for and says what to do.
bool ProgramResourcesReadable(std::string *error);

}  // namespace platform
