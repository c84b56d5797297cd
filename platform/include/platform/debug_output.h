// Where kernel debug output (NKDbgPrintfW) goes. By default each message is written, as UTF-8, to
// standard error with one write; tests can capture the UTF-16 messages instead.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

namespace platform {

using DebugSink = std::function<void(const std::u16string &message)>;

// Replaces the sink; an empty function restores standard error.
void SetDebugOutputSink(DebugSink sink);

// Formats like NKDbgPrintfW into a UTF-16 string (%s a UTF-16 string, %a an 8-bit one, %S an
// 8-bit one, %c, %d, %i, %u, %x, %X, %p, %%, with flags '-', '0', width and 'l'/'h' sizes).
std::u16string FormatDebugMessage(const char16_t *format, va_list args);

}  // namespace platform
