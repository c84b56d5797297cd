// Finding a driver's library file and mapping it once it passed the trust check, the table of mapped libraries behind DllMain's attach and
// detach, the debug-zone mask from HKLM\Platform\DebugZones, and entry-point resolution.
#include "host/driver_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "host/log.h"
#include "host/trusted_library.h"
#include "platform/install_layout.h"
#include "platform/text.h"

namespace devmgr {
namespace {

namespace fs = std::filesystem;

// Every mapped driver library and the number of devices using it. Only the main thread loads
// and unloads drivers.
struct Module {
  PFN_DllMain dllMain;
  int users;
};

std::map<void *, Module> &Modules() {
  static std::map<void *, Module> modules;
  return modules;
}

// The project's library folder, in the build tree or where it is installed.
fs::path LibraryFolder() { return fs::path(platform::LibraryFolder()).lexically_normal(); }

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08x", value);
  return text;
}

bool Exists(const fs::path &path) {
  struct stat entry {};
  return lstat(path.c_str(), &entry) == 0;
}

// The file a "Dll" value names: an absolute path, or one relative to the library folder. A name
// ending in ".dll" that is not there also matches lib<lower-case stem>.so beside it, so that a
// device's registry file works unchanged. False with the names tried when nothing exists; whether
// what exists may be loaded is for the trust check to say.
bool FindLibrary(const std::string &dll, fs::path *found, std::string *tried) {
  fs::path named(dll);
  if (named.is_relative()) named = LibraryFolder() / named;
  if (Exists(named)) {
    *found = named;
    return true;
  }
  *tried = named.string();
  std::u16string extension = platform::ToUtf16(named.extension().string());
  if (platform::EqualsIgnoreCase(extension, u".dll") && !named.stem().empty()) {
    std::string stem = platform::ToUtf8(platform::ToLowerAscii(platform::ToUtf16(named.stem().string())));
    fs::path shared = named.parent_path() / ("lib" + stem + ".so");
    if (Exists(shared)) {
      *found = shared;
      return true;
    }
    *tried += " or " + shared.string();
  }
  return false;
}

// Stands for the platform debugger's zone control: a module's mask can be preset per module name.
void ApplyDebugZones(void *module) {
  auto *settings = static_cast<DBGPARAM *>(dlsym(module, "dpCurSettings"));
  if (settings == nullptr) return;
  size_t length = 0;
  while (length < std::size(settings->lpszName) && settings->lpszName[length] != 0) ++length;
  if (length == 0) return;
  std::u16string name(settings->lpszName, length);
  HKEY zones = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform\\DebugZones", 0, KEY_READ, &zones) != ERROR_SUCCESS) return;
  DWORD type = REG_NONE;
  DWORD mask = 0;
  DWORD size = sizeof(mask);
  LONG status = RegQueryValueExW(zones, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&mask), &size);
  RegCloseKey(zones);
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(mask)) {
    std::string module8 = platform::ToUtf8(name);
    LogError("HKEY_LOCAL_MACHINE\\Platform\\DebugZones: \"" + module8 + "\" is not a dword, so the zone mask of " +
             module8 + " stays 0x" + Hex(settings->ulZoneMask) + "; write it as \"" + module8 + "\"=dword:XXXXXXXX");
    return;
  }
  settings->ulZoneMask = mask;
}

// DllMain(DLL_PROCESS_ATTACH) when the library is new to this process; false, with the library
// unmapped again, when DllMain refuses.
bool Attach(void *module, const std::string &where) {
  auto &modules = Modules();
  auto found = modules.find(module);
  if (found != modules.end()) {
    ++found->second.users;
    return true;
  }
  ApplyDebugZones(module);
  auto dllMain = reinterpret_cast<PFN_DllMain>(dlsym(module, "DllMain"));
  if (dllMain != nullptr && !dllMain(module, DLL_PROCESS_ATTACH, nullptr)) {
    LogError(where + ": DllMain returned FALSE for DLL_PROCESS_ATTACH, so the library is unloaded and the driver "
                     "not loaded; see the driver's debug output for why it refused");
    dlclose(module);
    return false;
  }
  modules.emplace(module, Module{dllMain, 1});
  return true;
}

}  // namespace

std::unique_ptr<DriverLibrary> DriverLibrary::Load(const DriverKey &key) {
  std::string where = key.path() + " (" + key.dll + ")";
  fs::path file;
  std::string tried;
  if (!FindLibrary(key.dll, &file, &tried)) {
    LogError(where + ": library not found: " + tried + "; build it, or correct the key's \"Dll\" value");
    return nullptr;
  }
  // devmgr runs with privileges the library's code then has: it must come from a file nobody
  // else can have chosen or changed.
  MappedLibrary mapped = MapTrustedLibrary(file.string());
  if (mapped.refused) {
    LogError(where + ": refused to load " + file.string() + ": " + mapped.why +
             "; install the driver library where only root may change it (as the package does in /usr/lib/norvik) "
             "and name it in the key's \"Dll\" value");
    return nullptr;
  }
  void *module = mapped.module;
  if (module == nullptr) {
    LogError(where + ": cannot load " + file.string() + ": " + mapped.why +
             "; rebuild the library, or correct the key's \"Dll\" value");
    return nullptr;
  }
  if (!Attach(module, where)) return nullptr;
  std::unique_ptr<DriverLibrary> library(new DriverLibrary(module, file.filename().string()));
  auto resolve = [&](const char *entry) { return dlsym(module, (key.prefix + "_" + entry).c_str()); };
  StreamEntryPoints &entries = library->entryPoints_;
  entries.Init = reinterpret_cast<PFN_Init>(resolve("Init"));
  entries.Deinit = reinterpret_cast<PFN_Deinit>(resolve("Deinit"));
  entries.Open = reinterpret_cast<PFN_Open>(resolve("Open"));
  entries.Close = reinterpret_cast<PFN_Close>(resolve("Close"));
  entries.Read = reinterpret_cast<PFN_Read>(resolve("Read"));
  entries.Write = reinterpret_cast<PFN_Write>(resolve("Write"));
  entries.Seek = reinterpret_cast<PFN_Seek>(resolve("Seek"));
  entries.IOControl = reinterpret_cast<PFN_IOControl>(resolve("IOControl"));
  entries.PowerUp = reinterpret_cast<PFN_PowerUp>(resolve("PowerUp"));
  entries.PowerDown = reinterpret_cast<PFN_PowerDown>(resolve("PowerDown"));
  if (entries.Init == nullptr || entries.Deinit == nullptr) {
    const char *missing = entries.Init == nullptr ? "_Init" : "_Deinit";
    LogError(where + ": the library exports no " + key.prefix + missing + "; correct the key's \"Prefix\" to the "
             "letters that begin the driver's entry points, or export the entry point");
    return nullptr;
  }
  return library;
}

DriverLibrary::~DriverLibrary() { Unload(Unmap::kNow); }

void DriverLibrary::Unload(Unmap unmap) {
  if (module_ == nullptr) return;
  auto &modules = Modules();
  auto found = modules.find(module_);
  if (found != modules.end() && --found->second.users == 0) {
    PFN_DllMain dllMain = found->second.dllMain;
    modules.erase(found);
    if (dllMain != nullptr) dllMain(module_, DLL_PROCESS_DETACH, nullptr);
  }
  if (unmap == Unmap::kNow) dlclose(module_);
  module_ = nullptr;
}

}  // namespace devmgr
