// ASCII text between the library's 16-bit strings (names from the Windows API, window texts) and
// the 8-bit ones it formats its lines and pages in. Anything beyond ASCII becomes '?', either way,
// so a character that cannot pass as it is never reaches a line as stray bytes.
#pragma once

#include <string>
#include <string_view>

inline std::string Narrow(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

inline std::u16string Widen(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (char c : text) wide += static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : u'?';
  return wide;
}
