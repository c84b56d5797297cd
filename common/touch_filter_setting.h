// The "Filter" value of the driver's key: whether the driver smooths the touch between the framed
// report and the calibration mapping, and for how noisy a panel. The driver reads it at its start
// and stays unfiltered on a bad value; nrvctl refuses a bad value before storing it.
//
//   off                 no filter (the same as no value)
//   smooth              spike gate and speed-adaptive smoothing, for a noise of 16 units
//   smooth,noise=N      the same for a panel whose readings stray by up to N controller units
#pragma once

#include <cstddef>

#include <windows.h>

#define NORVIK_VALUE_FILTER TEXT("Filter")

inline constexpr DWORD kFilterNoiseDefault = 16;
inline constexpr DWORD kFilterNoiseMax = 256;
// The longest text the grammar allows ("smooth,noise=256"), with room to name a longer one.
inline constexpr size_t kFilterTextChars = 32;

struct TouchFilterSetting {
  bool smooth = false;
  DWORD noise = kFilterNoiseDefault;  // controller units, 1..kFilterNoiseMax
};

// The values the grammar allows, for refusals and documentation.
#define NORVIK_FILTER_VALUES "off, smooth or smooth,noise=N with N from 1 to 256"

namespace touch_filter_setting {

inline bool Equal(const WCHAR *text, size_t length, const char *word) {
  size_t i = 0;
  for (; i < length && word[i] != 0; ++i)
    if (text[i] != static_cast<WCHAR>(word[i])) return false;
  return i == length && word[i] == 0;
}

}  // namespace touch_filter_setting

// Parses the `length` characters of `text`. Returns nullptr with *setting filled in, or the reason
// the text is refused, leaving *setting unchanged.
inline const char *ParseTouchFilterSetting(const WCHAR *text, size_t length, TouchFilterSetting *setting) {
  using touch_filter_setting::Equal;
  if (Equal(text, length, "off")) {
    *setting = TouchFilterSetting{};
    return nullptr;
  }
  const size_t filterName = 6;  // "smooth"
  if (length < filterName || !Equal(text, filterName, "smooth")) return "unknown filter";
  TouchFilterSetting parsed;
  parsed.smooth = true;
  if (length > filterName) {
    const size_t prefix = 7;  // ",noise="
    if (text[filterName] != u',') return "unknown filter";
    if (length < filterName + prefix || !Equal(text + filterName, prefix, ",noise=")) return "unknown parameter";
    if (length == filterName + prefix) return "noise is not a whole number";
    DWORD noise = 0;
    for (size_t i = filterName + prefix; i < length; ++i) {
      if (text[i] < u'0' || text[i] > u'9') return "noise is not a whole number";
      noise = noise * 10 + static_cast<DWORD>(text[i] - u'0');
      if (noise > kFilterNoiseMax) return "noise is out of range";
    }
    if (noise == 0) return "noise is out of range";
    parsed.noise = noise;
  }
  *setting = parsed;
  return nullptr;
}
