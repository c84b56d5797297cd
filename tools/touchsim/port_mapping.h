// The port's mapping in HKLM\Platform\Serial while touchsim runs: what the port's value holds is
// kept, the value then names touchsim's line, and when touchsim ends the value is put back as it
// was found, type and bytes alike, or removed when there was none (the key too, when touchsim
// made it).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace touchsim {

class PortMapping {
 public:
  enum class Restored {
    kAsFound,  // the registry holds what it held before Map
    kLeft,     // the value no longer named touchsim's line: someone changed it, so it stays
    kFailed,   // the registry refused (it said why on standard error)
  };

  explicit PortMapping(std::string port) : port_(std::move(port)) {}

  // Remembers what the port's value holds, then points it at `path`. False when the registry
  // refused (it said why on standard error); Restore undoes whatever was done all the same.
  bool Map(const std::string &path);
  // Puts back what Map found. Nothing to do, and kAsFound, when Map was not called.
  Restored Restore();

  bool hadValue() const { return hadValue_; }
  // What Map found, for messages: a string in double quotes, or "a value of type N".
  std::string foundText() const;

 private:
  const std::string port_;
  std::u16string mapped_;   // what Map wrote: the line's path
  bool attempted_ = false;
  bool keyExisted_ = false;
  bool hadValue_ = false;
  DWORD foundType_ = REG_NONE;
  std::vector<BYTE> found_;
};

}  // namespace touchsim
