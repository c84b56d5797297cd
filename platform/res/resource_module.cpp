// Resource modules and the resource calls: a module is a loaded .res file; the program's own is
// "<program path>.res" (in an installed tree, "<name>.res" in the data folder), read once on
// first use. FindResourceW, LoadResource, LockResource and
// SizeofResource serve them with the platform's results and last-error codes.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include <platform/install_layout.h>
#include <platform/text.h>

#include "resource_file.h"

namespace platform {
namespace {

struct ResourceModule {
  std::string path;
  bool usable = false;  // false when the file could not be read; every lookup then fails
  std::string error;    // why it could not be read
  std::vector<ResourceEntry> entries;
};

struct FoundResource {
  const ResourceEntry *entry = nullptr;
};

// A module handle is the address of its ResourceModule, a resource handle that of its FoundResource.
// Modules and the handles given out for their resources live until the process ends, so a
// handle never dangles; the lock guards the lists, and loaded modules are never changed.
std::mutex gLock;
std::deque<std::unique_ptr<ResourceModule>> gModules;
std::deque<std::unique_ptr<FoundResource>> gFound;
ResourceModule *gProgram = nullptr;

bool ReadModule(const std::string &path, ResourceModule *module, std::string *error) {
  module->path = path;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + "; build the resources (target calvex_resources) so that the .res file lies "
             "beside the program, or, for an installed program, reinstall the package, which keeps it in " +
             DataFolder();
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path + "; check the file's permissions and rebuild it";
    return false;
  }
  std::string reason;
  if (!ParseResourceFile(bytes.data(), bytes.size(), &module->entries, &reason)) {
    *error = path + " is not a resource file (" + reason + "); rebuild it (target calvex_resources), or reinstall the package";
    return false;
  }
  module->usable = true;
  return true;
}

ResourceModule *FindModule(HMODULE handle) {
  for (const auto &module : gModules) {
    if (reinterpret_cast<HMODULE>(module.get()) == handle) return module.get();
  }
  return nullptr;
}

const FoundResource *FindHandle(HRSRC handle) {
  for (const auto &found : gFound) {
    if (reinterpret_cast<HRSRC>(found.get()) == handle) return found.get();
  }
  return nullptr;
}

std::string ProgramPath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string("/proc/self/exe");
}

// The build tree keeps a program's resources beside it; an installed tree keeps programs in bin
// and their data in the project's data folder.
std::string ProgramResourcePath() {
  const std::string beside = ProgramPath() + ".res";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  const std::string program = ProgramPath();
  const std::string installed = DataFolder() + "/" + program.substr(program.rfind('/') + 1) + ".res";
  return access(installed.c_str(), F_OK) == 0 ? installed : beside;
}

// The program's module, read on first use; `report` tells the user at once when it cannot be.
ResourceModule *ProgramModule(bool report = true) {
  if (gProgram == nullptr) {
    auto module = std::make_unique<ResourceModule>();
    if (!ReadModule(ProgramResourcePath(), module.get(), &module->error) && report) {
      std::fprintf(stderr, "resources: %s\n", module->error.c_str());
    }
    gProgram = module.get();
    gModules.push_back(std::move(module));
  }
  return gProgram;
}

// Win32 compares string names without regard to case, and "#n" names the ordinal n.
bool Matches(const NameOrOrdinal &stored, LPCWSTR wanted) {
  if (IS_INTRESOURCE(wanted)) {
    return stored.isOrdinal && stored.ordinal == static_cast<WORD>(reinterpret_cast<ULONG_PTR>(wanted));
  }
  const std::u16string_view text(wanted, WideLength(wanted));
  if (text.size() > 1 && text[0] == u'#') {
    unsigned long value = 0;
    for (char16_t c : text.substr(1)) {
      if (c < u'0' || c > u'9' || value > 0xFFFF) return false;
      value = value * 10 + (c - u'0');
    }
    return stored.isOrdinal && value <= 0xFFFF && stored.ordinal == value;
  }
  return !stored.isOrdinal && EqualsIgnoreCase(stored.name, text);
}

}  // namespace

HMODULE LoadResourceFile(const std::string &path, std::string *error) {
  auto module = std::make_unique<ResourceModule>();
  std::string reason;
  if (!ReadModule(path, module.get(), &reason)) {
    if (error != nullptr) *error = reason;
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(gLock);
  gModules.push_back(std::move(module));
  return reinterpret_cast<HMODULE>(gModules.back().get());
}

bool ProgramResourcesReadable(std::string *error) {
  std::lock_guard<std::mutex> hold(gLock);
  const ResourceModule *module = ProgramModule(false);
  if (!module->usable && error != nullptr) *error = module->error;
  return module->usable;
}

}  // namespace platform

using platform::FoundResource;
using platform::ResourceModule;

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName != nullptr) {
    // Only the program itself is a module here; libraries carry no resources.
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(platform::gLock);
  return reinterpret_cast<HMODULE>(platform::ProgramModule());
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
  if (lpName == nullptr || lpType == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(platform::gLock);
  ResourceModule *module = hModule == nullptr ? platform::ProgramModule() : platform::FindModule(hModule);
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!module->usable) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  bool typeFound = false;
  for (const auto &entry : module->entries) {
    if (!platform::Matches(entry.type, lpType)) continue;
    typeFound = true;
    if (!platform::Matches(entry.name, lpName)) continue;
    for (const auto &found : platform::gFound) {
      if (found->entry == &entry) return reinterpret_cast<HRSRC>(found.get());
    }
    auto found = std::make_unique<FoundResource>();
    found->entry = &entry;
    platform::gFound.push_back(std::move(found));
    return reinterpret_cast<HRSRC>(platform::gFound.back().get());
  }
  SetLastError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
  std::lock_guard<std::mutex> hold(platform::gLock);
  const FoundResource *found = platform::FindHandle(hResInfo);
  if (found == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Empty data still yields a handle, as a resource that exists always does.
  static const BYTE kEmpty = 0;
  const BYTE *data = found->entry->data.empty() ? &kEmpty : found->entry->data.data();
  return const_cast<BYTE *>(data);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
  std::lock_guard<std::mutex> hold(platform::gLock);
  const FoundResource *found = platform::FindHandle(hResInfo);
  if (found == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(found->entry->data.size());
}

}  // extern "C"
