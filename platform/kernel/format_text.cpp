// wsprintfW: the formatting of NKDbgPrintfW into a caller's buffer, which the platform limits to
// 1024 characters and the terminator.
#include <algorithm>
#include <cstdarg>

#include <windows.h>

#include "platform/debug_output.h"

namespace {

constexpr size_t kLongestOutput = 1024;

}  // namespace

extern "C" int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
  if (lpOut == nullptr || lpFmt == nullptr) return 0;
  va_list args;
  va_start(args, lpFmt);
  std::u16string text = platform::FormatDebugMessage(lpFmt, args);
  va_end(args);
  size_t length = std::min(text.size(), kLongestOutput);
  std::copy_n(text.data(), length, lpOut);
  lpOut[length] = 0;
  return static_cast<int>(length);
}
