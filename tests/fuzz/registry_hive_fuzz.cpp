// Fuzzes the hive's text form: any bytes go to the parser, which must not crash. A hive that
// parses must write out as text that parses back to the same hive (same keys in the same order
// and spelling, same subkeys listed, same values with the same types and bytes), and that hive
// must write out as the very same text. Every key read must be found again by its path, and every
// key above it must exist. A refused file must name a line within it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "registry_hive.h"

namespace {

using platform::RegistryHive;

[[noreturn]] void Violation(const std::string &what) {
  std::fprintf(stderr, "registry_hive_fuzz: %s\n", what.c_str());
  std::abort();
}

std::string Utf8(const std::u16string &text) { return platform::ToUtf8(text); }

// Compares two hives key by key, naming the first difference.
void RequireSameHive(const RegistryHive &expected, const RegistryHive &actual) {
  if (expected.keys().size() != actual.keys().size())
    Violation("the reparsed hive has " + std::to_string(actual.keys().size()) + " keys instead of " +
              std::to_string(expected.keys().size()));
  for (size_t k = 0; k < expected.keys().size(); ++k) {
    const auto &want = expected.keys()[k];
    const auto &got = actual.keys()[k];
    if (want.path != got.path)
      Violation("key " + std::to_string(k) + " reads back as '" + Utf8(got.path) + "' instead of '" + Utf8(want.path) +
                "'");
    if (expected.SubkeyNames(want.path) != actual.SubkeyNames(want.path))
      Violation("key '" + Utf8(want.path) + "' lists other subkeys after the round trip");
    if (want.values.size() != got.values.size())
      Violation("key '" + Utf8(want.path) + "' reads back with " + std::to_string(got.values.size()) +
                " values instead of " + std::to_string(want.values.size()));
    for (size_t v = 0; v < want.values.size(); ++v) {
      const auto &a = want.values[v];
      const auto &b = got.values[v];
      if (a.name != b.name) Violation("value '" + Utf8(a.name) + "' reads back named '" + Utf8(b.name) + "'");
      if (a.type != b.type)
        Violation("value '" + Utf8(a.name) + "' reads back with type " + std::to_string(b.type) + " instead of " +
                  std::to_string(a.type));
      if (a.data != b.data) Violation("value '" + Utf8(a.name) + "' reads back with other bytes");
    }
  }
  if (!(expected == actual)) Violation("the hives differ though every key and value compares equal");
}

// Each written key is found by its path in another letter case, spelled as written, and implies
// the keys above it.
void RequireKeysFound(const RegistryHive &hive) {
  for (const auto &key : hive.keys()) {
    std::u16string upper = key.path;
    for (char16_t &c : upper)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (hive.FindKey(upper) != &key) Violation("key '" + Utf8(key.path) + "' is not found by its path");
    if (hive.Spelling(upper) != key.path)
      Violation("key '" + Utf8(key.path) + "' is spelled '" + Utf8(hive.Spelling(upper)) + "'");
    for (size_t end = key.path.find(u'\\'); end != std::u16string::npos; end = key.path.find(u'\\', end + 1))
      if (!hive.KeyExists(key.path.substr(0, end)))
        Violation("key '" + Utf8(key.path) + "' does not imply '" + Utf8(key.path.substr(0, end)) + "'");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char *>(data), size);
  RegistryHive hive;
  platform::HiveParseError error;
  if (!platform::ParseHive(bytes, &hive, &error)) {
    // Every newline holds a 0x0A byte, in UTF-8 and in UTF-16 alike, so this is at least the
    // number of lines; the last may lack its newline.
    size_t lines = 1;
    for (char c : bytes) lines += c == '\n';
    if (error.line < 1 || error.line > lines)
      Violation("an error on line " + std::to_string(error.line) + " of a file of " + std::to_string(lines) + " lines");
    if (error.message.empty()) Violation("an error without a message on line " + std::to_string(error.line));
    return 0;
  }

  RequireKeysFound(hive);
  std::string text = platform::SerializeHive(hive);
  RegistryHive reparsed;
  if (!platform::ParseHive(text, &reparsed, &error))
    Violation("the written hive does not parse: line " + std::to_string(error.line) + ": " + error.message + "\n" +
              text);
  RequireSameHive(hive, reparsed);
  if (platform::SerializeHive(reparsed) != text) Violation("writing the reparsed hive gives other text:\n" + text);
  return 0;
}
