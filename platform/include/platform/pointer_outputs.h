// The pointer outputs, one entry each, by the names HKLM\Platform\Input "Pointer" takes: the one
// list that the platform's choice of output (pointer_output.cpp, which starts each kind) and
// nrvctl init --pointer read. A new output is an entry here and a case of its kind there, which
// the compiler asks for.
#pragma once

#include <strings.h>

#include <string>
#include <string_view>

namespace platform {

enum class PointerOutputKind { kWindows, kLog, kXTest, kUinput, kUinputTouch };

struct PointerOutputEntry {
  const char *name;
  PointerOutputKind kind;
  bool logged;  // "PointerLog" applies: the log's file, or the windows output's copy
};

inline constexpr PointerOutputEntry kPointerOutputs[] = {
    {"windows", PointerOutputKind::kWindows, true}, {"log", PointerOutputKind::kLog, true},
    {"xtest", PointerOutputKind::kXTest, false},    {"uinput", PointerOutputKind::kUinput, false},
    {"uinput-touch", PointerOutputKind::kUinputTouch, false},
};

// The entry of `name`, in any letter case; null for none.
inline const PointerOutputEntry *FindPointerOutput(std::string_view name) {
  for (const PointerOutputEntry &entry : kPointerOutputs)
    if (name.size() == std::char_traits<char>::length(entry.name) &&
        strncasecmp(name.data(), entry.name, name.size()) == 0)
      return &entry;
  return nullptr;
}

// The names joined for a message: `"windows", "log", ... or "uinput-touch"` with quote "\"", or
// `windows|log|...|uinput-touch` with separator "|" and no quote.
inline std::string PointerOutputNames(const char *quote = "\"", const char *separator = ", ",
                                      const char *last = " or ") {
  std::string names;
  const size_t count = std::size(kPointerOutputs);
  for (size_t i = 0; i < count; ++i)
    names += (i == 0 ? "" : i + 1 == count ? last : separator) + std::string(quote) + kPointerOutputs[i].name + quote;
  return names;
}

// `text` with "{outputs}" replaced by the names as a usage writes them: windows|log|...
inline std::string WithPointerOutputNames(std::string text) {
  const std::string mark = "{outputs}";
  const size_t at = text.find(mark);
  if (at != std::string::npos) text.replace(at, mark.size(), PointerOutputNames("", "|", "|"));
  return text;
}

}  // namespace platform
