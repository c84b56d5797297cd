// The registry hive in memory, and its text form: parsing every line of a hive file with an error
// that names the line, and writing each value in the form that reads back to the same type and
// bytes ("..." only for strings that survive the trip, hex(N): for everything else).
#include "registry_hive.h"

#include <cstdio>

#include "platform/text.h"

namespace platform {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kRootShort = "HKLM";
constexpr std::u16string_view kSeparator = u"\\";
// Hex data wraps before a line (its trailing backslash included) would pass this width.
constexpr size_t kLineWidth = 80;
// How much of an offending line an error message quotes.
constexpr size_t kQuotedLength = 40;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1 to 8 hex digits; false for anything else.
bool ParseHexNumber(std::string_view digits, DWORD *number) {
  if (digits.empty() || digits.size() > 8) return false;
  DWORD value = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<DWORD>(digit);
  }
  *number = value;
  return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  return EqualsIgnoreCase(ToUtf16(text.substr(0, prefix.size())), ToUtf16(prefix));
}

bool IsSurrogateLead(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsSurrogateTrail(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Index of the first unpaired surrogate, or npos.
size_t UnpairedSurrogate(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsSurrogateLead(text[i]) && i + 1 < text.size() && IsSurrogateTrail(text[i + 1])) {
      ++i;
    } else if (IsSurrogateLead(text[i]) || IsSurrogateTrail(text[i])) {
      return i;
    }
  }
  return std::u16string_view::npos;
}


std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> names;
  size_t start = 0;
  for (;;) {
    size_t end = path.find(kSeparator, start);
    names.push_back(path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
    if (end == std::u16string_view::npos) return names;
    start = end + 1;
  }
}

std::vector<BYTE> StringBytes(std::u16string_view text) {
  std::vector<BYTE> bytes;
  bytes.reserve(text.size() * 2 + 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

// The line as an error message quotes it: shortened, on a character boundary.
std::string Quoted(std::string_view text) {
  if (text.size() <= kQuotedLength) return "'" + std::string(text) + "'";
  size_t cut = kQuotedLength;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return "'" + std::string(text.substr(0, cut)) + "...'";
}

// The text of a hive file as UTF-8, or the reason it cannot be decoded.
bool DecodeText(std::string_view bytes, std::string *text, HiveParseError *error) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF) {
    *error = {1, "the file is UTF-16 big-endian, which is not read; save it as UTF-8"};
    return false;
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    size_t line = 1;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
      if (units.back() == u'\n') ++line;
    }
    if (bytes.size() % 2 != 0) {
      *error = {line, "the UTF-16 file ends in the middle of a character; save it again"};
      return false;
    }
    size_t bad = UnpairedSurrogate(units);
    if (bad != std::u16string::npos) {
      size_t badLine = 1;
      for (size_t i = 0; i < bad; ++i) badLine += units[i] == u'\n';
      *error = {badLine, "the UTF-16 text holds an unpaired surrogate; save the file again"};
      return false;
    }
    *text = ToUtf8(units);
    return true;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  *text = std::string(bytes);
  return true;
}

class Parser {
 public:
  Parser(std::string_view text, RegistryHive *hive) : hive_(hive) {
    // The newline that ends the last line does not start another.
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    size_t start = 0;
    for (;;) {
      size_t end = text.find('\n', start);
      lines_.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }

  bool Run(HiveParseError *error) {
    bool sawHeader = false;
    while (next_ < lines_.size()) {
      std::string_view text;
      if (!TakeLine(&text)) break;
      if (text.empty() || text[0] == ';') continue;
      if (!sawHeader) {
        if (!CheckHeader(text)) break;
        sawHeader = true;
      } else if (text[0] == '[') {
        if (!ParseKeyLine(text)) break;
      } else if (text[0] == '"' || text[0] == '@') {
        if (!ParseValueLine(text)) break;
      } else {
        Fail("expected [KEY], \"Name\"=value or @=value, found " + Quoted(text));
        break;
      }
    }
    if (failed_) *error = error_;
    return !failed_;
  }

 private:
  bool Fail(std::string message) {
    if (!failed_) error_ = {line_, std::move(message)};
    failed_ = true;
    return false;
  }

  // The next line, trimmed, after checking that it is text the format can hold.
  bool TakeLine(std::string_view *text) {
    std::string_view raw = lines_[next_++];
    line_ = next_;
    if (ToUtf8(ToUtf16(raw)) != raw) return Fail("the line is not valid UTF-8; save the file as UTF-8");
    *text = Trim(raw);
    for (char c : *text) {
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return Fail("the line holds a control character; remove it");
    }
    return true;
  }

  bool CheckHeader(std::string_view text) {
    if (text == kHeader) return true;
    if (text == "REGEDIT4") {
      return Fail("REGEDIT4 files are not read; save the file in the \"" + std::string(kHeader) + "\" format");
    }
    return Fail("expected the first line \"" + std::string(kHeader) + "\", found " + Quoted(text));
  }

  bool ParseKeyLine(std::string_view text) {
    if (text.size() >= 2 && text[1] == '-') {
      return Fail("[-KEY] deletes a key, which a hive file cannot do; remove the line or the key's section");
    }
    if (text.back() != ']') return Fail("a key line must end with ']', found " + Quoted(text));
    std::string_view inner = text.substr(1, text.size() - 2);
    size_t slash = inner.find('\\');
    std::string_view root = inner.substr(0, slash);
    if (!EqualsIgnoreCase(ToUtf16(root), ToUtf16(kRoot)) && !EqualsIgnoreCase(ToUtf16(root), ToUtf16(kRootShort))) {
      return Fail("key " + Quoted(inner) + " is not under HKEY_LOCAL_MACHINE, the only root this registry keeps");
    }
    std::u16string path;
    if (slash != std::string_view::npos) {
      path = ToUtf16(inner.substr(slash + 1));
      for (std::u16string_view name : SplitPath(path)) {
        if (name.empty()) return Fail("key " + Quoted(inner) + " has an empty name between backslashes");
      }
    }
    current_ = &hive_->CreateKey(path);
    return true;
  }

  // A "..." string at the start of *text, with \\ and \" unescaped; *text moves past it.
  bool ParseString(std::string_view *text, std::string *out) {
    for (size_t i = 1; i < text->size(); ++i) {
      char c = (*text)[i];
      if (c == '"') {
        text->remove_prefix(i + 1);
        return true;
      }
      if (c == '\\') {
        if (i + 1 == text->size()) break;
        char escaped = (*text)[i + 1];
        if (escaped != '\\' && escaped != '"') {
          size_t length = 1;
          while (i + 1 + length < text->size() && (static_cast<unsigned char>((*text)[i + 1 + length]) & 0xC0) == 0x80) ++length;
          return Fail("bad escape '\\" + std::string(text->substr(i + 1, length)) +
                      "' in a string: only \\\\ and \\\" may follow a backslash");
        }
        *out += escaped;
        ++i;
        continue;
      }
      *out += c;
    }
    return Fail("a string is missing its closing quote");
  }

  bool ParseValueLine(std::string_view text) {
    if (current_ == nullptr) return Fail("a value comes before any [KEY] line; put it under its key");
    RegistryValue value;
    std::string_view rest = text;
    if (rest[0] == '@') {
      rest.remove_prefix(1);
    } else {
      std::string name;
      if (!ParseString(&rest, &name)) return false;
      value.name = ToUtf16(name);
    }
    rest = Trim(rest);
    if (rest.empty() || rest[0] != '=') return Fail("expected '=' after the value name, found " + Quoted(text));
    rest = Trim(rest.substr(1));
    if (!ParseData(rest, &value)) return false;
    AddValue(std::move(value));
    return true;
  }

  // A repeated name replaces the earlier value, as importing the file would.
  void AddValue(RegistryValue value) {
    auto keyIndex = static_cast<size_t>(current_ - hive_->keys().data());
    if (valueIndex_.size() <= keyIndex) valueIndex_.resize(keyIndex + 1);
    auto [it, added] = valueIndex_[keyIndex].emplace(ToLowerAscii(value.name), current_->values.size());
    if (added) {
      current_->values.push_back(std::move(value));
    } else {
      current_->values[it->second].type = value.type;
      current_->values[it->second].data = std::move(value.data);
    }
  }

  bool ParseData(std::string_view data, RegistryValue *value) {
    if (!data.empty() && data[0] == '-') {
      return Fail("\"Name\"=- deletes a value, which a hive file cannot do; remove the line");
    }
    if (!data.empty() && data[0] == '"') {
      std::string text;
      if (!ParseString(&data, &text)) return false;
      if (!Trim(data).empty()) return Fail("unexpected text after the string: " + Quoted(Trim(data)));
      value->type = REG_SZ;
      value->data = StringBytes(ToUtf16(text));
      return true;
    }
    if (StartsWithIgnoreCase(data, "dword:")) {
      DWORD number = 0;
      std::string_view digits = Trim(data.substr(6));
      if (!ParseHexNumber(digits, &number)) return Fail("dword: needs 1 to 8 hex digits, found " + Quoted(digits));
      value->type = REG_DWORD;
      value->data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                     static_cast<BYTE>(number >> 24)};
      return true;
    }
    if (StartsWithIgnoreCase(data, "hex:")) {
      value->type = REG_BINARY;
      return ParseHexBytes(data.substr(4), &value->data);
    }
    if (StartsWithIgnoreCase(data, "hex(")) {
      size_t close = data.find(')');
      if (close == std::string_view::npos || close + 1 >= data.size() || data[close + 1] != ':' ||
          !ParseHexNumber(data.substr(4, close - 4), &value->type)) {
        return Fail("hex(N): needs a type number of 1 to 8 hex digits, found " + Quoted(data));
      }
      return ParseHexBytes(data.substr(close + 2), &value->data);
    }
    return Fail("unknown value data " + Quoted(data) + ": expected \"string\", dword:, hex: or hex(N):");
  }

  // Comma-separated bytes of two hex digits each; a line ending in a backslash continues on the
  // next line.
  bool ParseHexBytes(std::string_view data, std::vector<BYTE> *bytes) {
    for (;;) {
      data = Trim(data);
      bool continues = !data.empty() && data.back() == '\\';
      if (continues) data = Trim(data.substr(0, data.size() - 1));
      size_t start = 0;
      while (start < data.size()) {
        size_t comma = data.find(',', start);
        std::string_view item = Trim(data.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (item.size() != 2 || HexDigit(item[0]) < 0 || HexDigit(item[1]) < 0) {
          return Fail("hex byte " + Quoted(item) + " is not two hex digits");
        }
        bytes->push_back(static_cast<BYTE>(HexDigit(item[0]) << 4 | HexDigit(item[1])));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
        if (start == data.size() && !continues) return Fail("hex data ends with ',' but does not continue with '\\'");
      }
      if (!continues) return true;
      if (next_ == lines_.size()) return Fail("hex data continues with '\\' past the end of the file");
      if (!TakeLine(&data)) return false;
      if (data.empty()) return Fail("hex data continues with '\\' onto an empty line");
    }
  }

  RegistryHive *hive_;
  std::vector<std::string_view> lines_;
  size_t next_ = 0;  // index of the next line to take
  size_t line_ = 0;  // number of the line being parsed
  RegistryKey *current_ = nullptr;
  // Per key (by index), its values' lowered names -> index, so that no value costs a search.
  std::vector<std::unordered_map<std::u16string, size_t>> valueIndex_;
  bool failed_ = false;
  HiveParseError error_;
};

std::string QuoteString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The text of a REG_SZ whose bytes are exactly a terminated UTF-16 string that "..." can carry;
// false when only hex(1): keeps its bytes.
bool PrintableString(const std::vector<BYTE> &data, std::u16string *text) {
  if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 2] != 0 || data.back() != 0) return false;
  std::u16string units;
  for (size_t i = 0; i + 2 < data.size(); i += 2) {
    auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit < 0x20 || unit == 0x7F) return false;
    units += unit;
  }
  if (UnpairedSurrogate(units) != std::u16string::npos) return false;
  *text = std::move(units);
  return true;
}

void AppendHex(std::string &out, size_t lineStart, const std::vector<BYTE> &data) {
  static const char kDigits[] = "0123456789abcdef";
  size_t column = out.size() - lineStart;
  for (size_t i = 0; i < data.size(); ++i) {
    // "xx," and the backslash that would end the line must fit; a line holds at least one byte.
    if (column + 4 > kLineWidth && column > 2) {
      out += "\\\n  ";
      column = 2;
    }
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xF];
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
    }
  }
}

void AppendValue(std::string &out, const RegistryValue &value) {
  size_t lineStart = out.size();
  out += value.name.empty() ? std::string("@") : QuoteString(ToUtf8(value.name));
  out += '=';
  std::u16string text;
  if (value.type == REG_SZ && PrintableString(value.data, &text)) {
    out += QuoteString(ToUtf8(text));
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    char number[16];
    std::snprintf(number, sizeof number, "dword:%08x",
                  static_cast<unsigned>(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                        static_cast<DWORD>(value.data[3]) << 24));
    out += number;
  } else {
    if (value.type == REG_BINARY) {
      out += "hex:";
    } else {
      char prefix[24];
      std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
      out += prefix;
    }
    AppendHex(out, lineStart, value.data);
  }
  out += '\n';
}

}  // namespace

const RegistryValue *RegistryKey::FindValue(std::u16string_view name) const {
  for (const auto &value : values) {
    if (EqualsIgnoreCase(value.name, name)) return &value;
  }
  return nullptr;
}

void RegistryKey::SetValue(RegistryValue value) {
  for (auto &existing : values) {
    if (EqualsIgnoreCase(existing.name, value.name)) {
      existing.type = value.type;
      existing.data = std::move(value.data);
      return;
    }
  }
  values.push_back(std::move(value));
}

bool RegistryKey::DeleteValue(std::u16string_view name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (EqualsIgnoreCase(it->name, name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

size_t RegistryHive::FindNode(std::u16string_view path) const {
  size_t node = 0;
  if (path.empty()) return node;
  for (std::u16string_view name : SplitPath(path)) {
    auto it = nodes_[node].byName.find(ToLowerAscii(name));
    if (it == nodes_[node].byName.end()) return kNone;
    node = it->second;
  }
  return node;
}

const RegistryKey *RegistryHive::FindKey(std::u16string_view path) const {
  size_t node = FindNode(path);
  return node == kNone || nodes_[node].key == kNone ? nullptr : &keys_[nodes_[node].key];
}

RegistryKey *RegistryHive::FindKey(std::u16string_view path) {
  size_t node = FindNode(path);
  return node == kNone || nodes_[node].key == kNone ? nullptr : &keys_[nodes_[node].key];
}

bool RegistryHive::KeyExists(std::u16string_view path) const { return FindNode(path) != kNone; }

std::u16string RegistryHive::Spelling(std::u16string_view path) const {
  std::u16string spelled;
  if (path.empty()) return spelled;
  size_t node = 0;
  for (std::u16string_view name : SplitPath(path)) {
    if (node != kNone) {
      auto it = nodes_[node].byName.find(ToLowerAscii(name));
      node = it == nodes_[node].byName.end() ? kNone : it->second;
    }
    if (!spelled.empty()) spelled += u'\\';
    spelled += node != kNone ? std::u16string_view(nodes_[node].name) : name;
  }
  return spelled;
}

RegistryKey &RegistryHive::CreateKey(std::u16string_view path) {
  size_t node = 0;
  std::u16string spelled;
  if (!path.empty()) {
    for (std::u16string_view name : SplitPath(path)) {
      std::u16string lowered = ToLowerAscii(name);
      auto it = nodes_[node].byName.find(lowered);
      if (it != nodes_[node].byName.end()) {
        node = it->second;
      } else {
        size_t child = nodes_.size();
        nodes_.push_back({std::u16string(name), {}, {}, kNone});
        nodes_[node].children.push_back(child);
        nodes_[node].byName.emplace(std::move(lowered), child);
        node = child;
      }
      if (!spelled.empty()) spelled += u'\\';
      spelled += nodes_[node].name;
    }
  }
  if (nodes_[node].key == kNone) {
    nodes_[node].key = keys_.size();
    keys_.push_back({std::move(spelled), {}});
  }
  return keys_[nodes_[node].key];
}

std::vector<std::u16string> RegistryHive::SubkeyNames(std::u16string_view path) const {
  std::vector<std::u16string> names;
  size_t node = FindNode(path);
  if (node == kNone) return names;
  for (size_t child : nodes_[node].children) names.push_back(nodes_[child].name);
  return names;
}

bool ParseHive(std::string_view bytes, RegistryHive *hive, HiveParseError *error) {
  std::string text;
  if (!DecodeText(bytes, &text, error)) return false;
  RegistryHive parsed;
  if (!Parser(text, &parsed).Run(error)) return false;
  *hive = std::move(parsed);
  return true;
}

std::string SerializeHive(const RegistryHive &hive) {
  std::string out(kHeader);
  out += "\n\n";
  for (const auto &key : hive.keys()) {
    out += '[';
    out += kRoot;
    if (!key.path.empty()) out += "\\" + ToUtf8(key.path);
    out += "]\n";
    for (const auto &value : key.values) AppendValue(out, value);
    out += '\n';
  }
  return out;
}

bool IsStorableName(std::u16string_view name) {
  for (char16_t c : name) {
    if (c < 0x20 && c != u'\t') return false;
  }
  return UnpairedSurrogate(name) == std::u16string_view::npos;
}

}  // namespace platform
