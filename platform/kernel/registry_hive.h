// The registry hive in memory and its text form, the registry-export format that starts with
// "Windows Registry Editor Version 5.00": parsing with line-numbered errors, and writing so that
// every value's type and bytes read back exactly. Pure: no files, no process state.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <windows.h>

namespace platform {

struct RegistryValue {
  std::u16string name;  // empty: the key's default value, written "@"
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  bool operator==(const RegistryValue &) const = default;
};

struct RegistryKey {
  // Below HKEY_LOCAL_MACHINE, names joined by '\'; empty for HKEY_LOCAL_MACHINE itself.
  std::u16string path;
  std::vector<RegistryValue> values;  // in file order

  bool operator==(const RegistryKey &) const = default;

  // The value of that name in any letter case, or null.
  const RegistryValue *FindValue(std::u16string_view name) const;
  // Replaces the type and data of the value of that name (which keeps the spelling it has), or
  // appends the value when the key has none of that name.
  void SetValue(RegistryValue value);
  // False when the key has no value of that name.
  bool DeleteValue(std::u16string_view name);
};

// The keys written in a hive, in file order. A written key implies every key above it, so
// "A\B\C" alone makes "A" and "A\B" exist too. Paths given to these calls are well formed
// (non-empty names joined by single backslashes) and compare in any ASCII letter case.
class RegistryHive {
 public:
  const std::vector<RegistryKey> &keys() const { return keys_; }

  // The written key at that path, or null. The pointer lives until the next CreateKey.
  const RegistryKey *FindKey(std::u16string_view path) const;
  RegistryKey *FindKey(std::u16string_view path);
  // True for HKEY_LOCAL_MACHINE itself, for written keys and for the keys they imply.
  bool KeyExists(std::u16string_view path) const;
  // The path with every name that already exists spelled as the hive first spelled it.
  std::u16string Spelling(std::u16string_view path) const;
  // The written key at that path, appended (spelled as Spelling) when missing. The reference
  // lives until the next CreateKey.
  RegistryKey &CreateKey(std::u16string_view path);
  // Names of the immediate subkeys, written or implied, in the order they first appear.
  std::vector<std::u16string> SubkeyNames(std::u16string_view path) const;

  bool operator==(const RegistryHive &other) const { return keys_ == other.keys_; }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // One name in the tree of keys, written or implied. The tree is a flat array, so that its
  // size and the cost of tearing it down stay linear however deep a path goes.
  struct Node {
    std::u16string name;                                 // as first spelled
    std::vector<size_t> children;                        // in order of first appearance
    std::unordered_map<std::u16string, size_t> byName;   // lowered name -> node
    size_t key = kNone;                                  // keys_ index, when the key is written
  };

  size_t FindNode(std::u16string_view path) const;

  std::vector<RegistryKey> keys_;
  std::vector<Node> nodes_ = std::vector<Node>(1);  // nodes_[0] is HKEY_LOCAL_MACHINE
};

struct HiveParseError {
  size_t line = 0;  // 1-based
  std::string message;
};

// Parses the bytes of a hive file: UTF-8 with or without a byte-order mark, or UTF-16LE with one.
// A file holding nothing but blank lines and comments is an empty hive. False, with the line and
// what is wrong there, for anything that is not the format.
bool ParseHive(std::string_view bytes, RegistryHive *hive, HiveParseError *error);

// The hive as UTF-8 text in the same format.
std::string SerializeHive(const RegistryHive &hive);

// True when a key or value name can be written to the text form and read back unchanged: no
// control characters other than tab, no unpaired surrogates.
bool IsStorableName(std::u16string_view name);

}  // namespace platform
