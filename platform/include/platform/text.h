// Conversions between the UTF-16 strings the platform API carries and the UTF-8 that Linux paths,
// files and terminals use.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Converts UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Converts UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string ToUtf16(std::string_view text);
// Length of a NUL-terminated UTF-16 string; 0 for a null pointer.
size_t WideLength(const char16_t *text);
// Case-insensitive comparison for the ASCII letters, as the platform compares names.
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
std::u16string ToLowerAscii(std::u16string_view text);
// Text that others chose (a process name, a path, a value), made safe to print on a terminal:
// bytes outside printable ASCII, and the backslash, as \xNN, so that no escape sequence reaches
// the reader's screen and no line break forges a line.
std::string Printable(std::string_view text);

}  // namespace platform
