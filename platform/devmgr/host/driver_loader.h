// Loads the library a driver key names, as the platform's loader does: finds the file, maps it,
// applies the debug-zone mask stored for the module, runs its DllMain and resolves the stream
// entry points by the key's prefix. A library several keys name is mapped and attached once.
#pragma once

#include <memory>
#include <string>

#include "host/builtin_drivers.h"
#include "host/stream_driver.h"

namespace devmgr {

class DriverLibrary {
 public:
  // Null, after reporting on standard error what went wrong and what to do, when the library
  // cannot be found, fails the trust check (platform::OpenTrustedFile) or cannot be mapped, its
  // DllMain refuses, or it lacks PREFIX_Init or PREFIX_Deinit.
  static std::unique_ptr<DriverLibrary> Load(const DriverKey &key);
  // Unload(kNow) unless Unload ran already.
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary &) = delete;
  DriverLibrary &operator=(const DriverLibrary &) = delete;

  const StreamEntryPoints &entryPoints() const { return entryPoints_; }
  // The library's file name, e.g. "libnorvik.so".
  const std::string &fileName() const { return fileName_; }

  enum class Unmap { kNow, kAtExit };
  // Ends this device's use of the library: DllMain(DLL_PROCESS_DETACH) once no other device uses
  // it. kAtExit keeps the code mapped until the process ends, for driver threads that Deinit
  // signalled but that may still be on their way out.
  void Unload(Unmap unmap);

 private:
  DriverLibrary(void *module, std::string fileName) : module_(module), fileName_(std::move(fileName)) {}

  void *module_;
  std::string fileName_;
  StreamEntryPoints entryPoints_;
};

}  // namespace devmgr
