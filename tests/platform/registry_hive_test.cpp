// The hive's text form: what parses to what, what is rejected and on which line, how each value
// is written, and that whatever is written reads back to the same hive.
#include "registry_hive.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace platform {
namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

std::vector<BYTE> Bytes(std::initializer_list<int> values) { return std::vector<BYTE>(values.begin(), values.end()); }

std::vector<BYTE> Utf16Bytes(std::u16string_view text, bool terminated = true) {
  std::vector<BYTE> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

RegistryHive Parse(const std::string &text) {
  RegistryHive hive;
  HiveParseError error;
  EXPECT_TRUE(ParseHive(text, &hive, &error)) << "line " << error.line << ": " << error.message;
  return hive;
}

struct RejectedCase {
  const char *what;
  std::string text;
  size_t line;
  const char *message;  // a part of the message
};

TEST(RegistryHiveParse, RejectsWhatIsNotTheFormatNamingTheLine) {
  const RejectedCase cases[] = {
      {"unknown line", kHeader + "[HKEY_LOCAL_MACHINE\\A]\nfoo\n", 4, "expected [KEY], \"Name\"=value or @=value, found 'foo'"},
      {"bad escape", kHeader + "[HKLM\\A]\n\"x\"=\"a\\nb\"\n", 4, "bad escape '\\n'"},
      {"odd hex digits", kHeader + "[HKLM\\A]\n\"x\"=hex:01,2\n", 4, "hex byte '2' is not two hex digits"},
      {"three hex digits", kHeader + "[HKLM\\A]\n\"x\"=hex:01,\\\n  234\n", 5, "hex byte '234'"},
      {"value before a key", kHeader + "\"x\"=\"y\"\n", 3, "before any [KEY]"},
      {"key deletion", kHeader + "[-HKEY_LOCAL_MACHINE\\A]\n", 3, "[-KEY] deletes a key"},
      {"value deletion", kHeader + "[HKLM\\A]\n\"x\"=-\n", 4, "deletes a value"},
      {"no header", "[HKLM\\A]\n", 1, "expected the first line"},
      {"old header", "REGEDIT4\n\n[HKLM\\A]\n", 1, "REGEDIT4 files are not read"},
      {"other root", kHeader + "[HKEY_CURRENT_USER\\A]\n", 3, "not under HKEY_LOCAL_MACHINE"},
      {"empty key name", kHeader + "[HKLM\\A\\\\B]\n", 3, "empty name between backslashes"},
      {"trailing backslash in key", kHeader + "[HKLM\\A\\]\n", 3, "empty name"},
      {"unclosed key", kHeader + "[HKLM\\A\n", 3, "must end with ']'"},
      {"unclosed string", kHeader + "[HKLM\\A]\n\"x\"=\"abc\\\"\n", 4, "missing its closing quote"},
      {"long dword", kHeader + "[HKLM\\A]\n\"x\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {"hex dword", kHeader + "[HKLM\\A]\n\"x\"=dword:xyz\n", 4, "1 to 8 hex digits"},
      {"bad type", kHeader + "[HKLM\\A]\n\"x\"=hex(q):00\n", 4, "hex(N): needs a type number"},
      {"continuation past the end", kHeader + "[HKLM\\A]\n\"x\"=hex:00,\\\n", 4, "past the end of the file"},
      {"continuation onto a blank line", kHeader + "[HKLM\\A]\n\"x\"=hex:00,\\\n\n", 5, "onto an empty line"},
      {"trailing comma", kHeader + "[HKLM\\A]\n\"x\"=hex:00,\n", 4, "ends with ','"},
      {"unknown data", kHeader + "[HKLM\\A]\n\"x\"=qword:1\n", 4, "unknown value data"},
      {"text after a string", kHeader + "[HKLM\\A]\n\"x\"=\"y\" z\n", 4, "unexpected text after the string"},
      {"no equals sign", kHeader + "[HKLM\\A]\n\"x\" \"y\"\n", 4, "expected '='"},
      {"invalid UTF-8", kHeader + "[HKLM\\A]\n\"x\"=\"\xC3\x28\"\n", 4, "not valid UTF-8"},
      {"control character", kHeader + "[HKLM\\A]\n\"x\"=\"a\x01\"\n", 4, "control character"},
      {"big-endian UTF-16", std::string("\xFE\xFF\0W", 4), 1, "big-endian"},
      {"odd-sized UTF-16", std::string("\xFF\xFEW\0i", 5), 1, "middle of a character"},
  };
  for (const auto &c : cases) {
    RegistryHive hive;
    HiveParseError error;
    EXPECT_FALSE(ParseHive(c.text, &hive, &error)) << c.what;
    EXPECT_EQ(error.line, c.line) << c.what << ": " << error.message;
    EXPECT_NE(error.message.find(c.message), std::string::npos) << c.what << ": " << error.message;
  }
}

struct AcceptedCase {
  const char *what;
  std::string text;
  std::u16string key;
  RegistryValue value;
};

TEST(RegistryHiveParse, ReadsEveryValueFormToItsTypeAndBytes) {
  const AcceptedCase cases[] = {
      {"escaped string", kHeader + "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"a\\\\b\\\"c\"\n", u"A", {u"x", REG_SZ, Utf16Bytes(u"a\\b\"c")}},
      {"non-ASCII string", kHeader + "[HKLM\\A]\n\"\xC3\xA9\"=\"\xE2\x82\xAC\xF0\x9D\x84\x9E\"\n", u"A", {u"\u00E9", REG_SZ, Utf16Bytes(u"\u20AC\U0001D11E")}},
      {"short dword", kHeader + "[HKLM\\A]\n\"x\"=dword:1\n", u"A", {u"x", REG_DWORD, Bytes({1, 0, 0, 0})}},
      {"upper-case dword", kHeader + "[HKLM\\A]\n\"x\"=DWORD:ABCDEF01\n", u"A", {u"x", REG_DWORD, Bytes({1, 0xEF, 0xCD, 0xAB})}},
      {"empty binary", kHeader + "[HKLM\\A]\n\"x\"=hex:\n", u"A", {u"x", REG_BINARY, {}}},
      {"continued multi-string", kHeader + "[HKLM\\A]\n\"x\"=hex(7):41,00,\\\n  00,00,\\\n  00,00\n", u"A", {u"x", REG_MULTI_SZ, Bytes({0x41, 0, 0, 0, 0, 0})}},
      {"other type", kHeader + "[HKLM\\A]\n\"x\"=hex(100b):ff\n", u"A", {u"x", 0x100B, Bytes({0xFF})}},
      {"default value", kHeader + "[HKLM\\A]\n@=\"d\"\n", u"A", {u"", REG_SZ, Utf16Bytes(u"d")}},
      {"CRLF lines and blanks", "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\A]\r\n\"x\"=dword:2 \r\n", u"A", {u"x", REG_DWORD, Bytes({2, 0, 0, 0})}},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + kHeader + "[HKLM\\A]\n\"x\"=hex:01\n", u"A", {u"x", REG_BINARY, Bytes({1})}},
      {"comments", "; made by hand\n" + kHeader + "; the panel\n[HKLM\\A]\n; a value\n\"x\"=hex:01\n", u"A", {u"x", REG_BINARY, Bytes({1})}},
      {"root key", kHeader + "[HKEY_LOCAL_MACHINE]\n\"x\"=hex:01\n", u"", {u"x", REG_BINARY, Bytes({1})}},
      {"repeated section and value", kHeader + "[HKLM\\A]\n\"x\"=hex:01\n[HKLM\\B]\n[hklm\\a]\n\"X\"=hex:02\n", u"A", {u"x", REG_BINARY, Bytes({2})}},
  };
  for (const auto &c : cases) {
    RegistryHive hive = Parse(c.text);
    const RegistryKey *key = hive.FindKey(c.key);
    ASSERT_NE(key, nullptr) << c.what;
    ASSERT_EQ(key->values.size(), 1u) << c.what;
    EXPECT_EQ(key->values[0], c.value) << c.what;
  }
}

struct WrittenCase {
  const char *what;
  RegistryValue value;
  std::string line;
};

TEST(RegistryHiveSerialize, WritesEachValueInTheFormThatKeepsItsBytes) {
  const WrittenCase cases[] = {
      {"string", {u"Dll", REG_SZ, Utf16Bytes(u"norvik.dll")}, "\"Dll\"=\"norvik.dll\""},
      {"escaped name and string", {u"a\"b\\", REG_SZ, Utf16Bytes(u"\\\"")}, "\"a\\\"b\\\\\"=\"\\\\\\\"\""},
      {"default value", {u"", REG_SZ, Utf16Bytes(u"d")}, "@=\"d\""},
      {"string with a NUL inside", {u"s", REG_SZ, Utf16Bytes(std::u16string(u"a\0b", 3))}, "\"s\"=hex(1):61,00,00,00,62,00,00,00"},
      {"string without terminator", {u"s", REG_SZ, Utf16Bytes(u"a", false)}, "\"s\"=hex(1):61,00"},
      {"string with a line break", {u"s", REG_SZ, Utf16Bytes(u"\n")}, "\"s\"=hex(1):0a,00,00,00"},
      {"string of odd size", {u"s", REG_SZ, Bytes({0x61, 0, 0})}, "\"s\"=hex(1):61,00,00"},
      {"unpaired surrogate", {u"s", REG_SZ, Utf16Bytes(u"\xD800")}, "\"s\"=hex(1):00,d8,00,00"},
      {"dword", {u"Index", REG_DWORD, Bytes({1, 0, 0, 0x80})}, "\"Index\"=dword:80000001"},
      {"dword of three bytes", {u"d", REG_DWORD, Bytes({1, 2, 3})}, "\"d\"=hex(4):01,02,03"},
      {"binary", {u"Bin", REG_BINARY, Bytes({1, 2, 0xFF})}, "\"Bin\"=hex:01,02,ff"},
      {"multi-string", {u"Multi", REG_MULTI_SZ, Bytes({0x41, 0, 0, 0, 0, 0})}, "\"Multi\"=hex(7):41,00,00,00,00,00"},
      {"expandable string", {u"e", REG_EXPAND_SZ, Utf16Bytes(u"x")}, "\"e\"=hex(2):78,00,00,00"},
      {"empty value of no type", {u"n", REG_NONE, {}}, "\"n\"=hex(0):"},
      {"large type number", {u"t", 0xFFFFFFFF, Bytes({7})}, "\"t\"=hex(ffffffff):07"},
  };
  for (const auto &c : cases) {
    RegistryHive hive;
    hive.CreateKey(u"A").SetValue(c.value);
    std::string text = SerializeHive(hive);
    EXPECT_EQ(text, kHeader + "[HKEY_LOCAL_MACHINE\\A]\n" + c.line + "\n\n") << c.what;
    EXPECT_EQ(Parse(text), hive) << c.what;
  }
}

TEST(RegistryHiveSerialize, WrapsLongHexDataWithinEightyColumns) {
  for (std::u16string name : {std::u16string(u"Bin"), std::u16string(100, u'n')}) {
    RegistryHive hive;
    std::vector<BYTE> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i);
    hive.CreateKey(u"A").SetValue({name, REG_BINARY, data});
    std::string text = SerializeHive(hive);
    std::istringstream lines(text);
    size_t continued = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.size() >= 2 && line.substr(0, 2) == "  ") {
        ++continued;
        EXPECT_LE(line.size(), 80u) << line;
      } else if (name.size() < 70) {
        EXPECT_LE(line.size(), 80u) << line;
      }
    }
    EXPECT_GE(continued, 300u / 26);
    EXPECT_EQ(Parse(text), hive);
  }
}

// Any hive the registry calls can build must survive being written and read back.
TEST(RegistryHiveSerialize, RandomHivesReadBackUnchanged) {
  const std::u16string alphabet = u"aZ09 _-.\"\\[]=@;,\t\u00E9\u20AC\U0001D11E";
  std::mt19937 random(20240601);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  auto name = [&](bool allowBackslash) {
    std::u16string text;
    for (size_t length = 1 + pick(8); text.size() < length;) {
      size_t i = pick(alphabet.size());
      if (alphabet[i] >= 0xD800 && alphabet[i] < 0xDC00) {
        text += alphabet.substr(i, 2);
      } else if (alphabet[i] < 0xDC00 || alphabet[i] > 0xDFFF) {
        if (alphabet[i] != u'\\' || allowBackslash) text += alphabet[i];
      }
    }
    return text;
  };
  for (int round = 0; round < 200; ++round) {
    RegistryHive hive;
    for (size_t k = pick(6); k > 0; --k) {
      std::u16string path = name(false);
      for (size_t depth = pick(3); depth > 0; --depth) path += u"\\" + name(false);
      RegistryKey &key = hive.CreateKey(path);
      for (size_t v = pick(6); v > 0; --v) {
        RegistryValue value{pick(4) == 0 ? u"" : name(true), static_cast<DWORD>(pick(3) == 0 ? random() : pick(12)), {}};
        if (value.type == REG_SZ && pick(2) == 0) {
          value.data = Utf16Bytes(name(true));
        } else {
          value.data.resize(pick(3) == 0 ? 4 : pick(120));
          for (auto &byte : value.data) byte = static_cast<BYTE>(pick(256));
        }
        key.SetValue(value);
      }
    }
    std::string text = SerializeHive(hive);
    ASSERT_EQ(Parse(text), hive) << text;
    ASSERT_EQ(SerializeHive(Parse(text)), text);
  }
}

}  // namespace
}  // namespace platform
