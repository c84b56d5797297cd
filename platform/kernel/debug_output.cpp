// NKDbgPrintfW: formats a UTF-16 message with the kernel's conversions and hands it to the debug
// sink (standard error unless a test captured it).
#include "platform/debug_output.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

#include <windows.h>

#include "platform/text.h"

namespace platform {
namespace {

std::mutex sinkMutex;
DebugSink currentSink;

void AppendPadded(std::u16string &out, const std::u16string &text, int width, bool left, char16_t fill) {
  int pad = width > static_cast<int>(text.size()) ? width - static_cast<int>(text.size()) : 0;
  if (!left && fill == u'0' && !text.empty() && text[0] == u'-') {
    out += u'-';
    out.append(static_cast<size_t>(pad), u'0');
    out.append(text, 1);
    return;
  }
  if (!left) out.append(static_cast<size_t>(pad), fill);
  out += text;
  if (left) out.append(static_cast<size_t>(pad), u' ');
}

std::u16string Ascii(const std::string &text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

std::u16string FormatDebugMessage(const char16_t *format, va_list args) {
  std::u16string out;
  if (format == nullptr) return out;
  for (const char16_t *p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out += *p;
      continue;
    }
    ++p;
    bool left = false;
    char16_t fill = u' ';
    for (;; ++p) {
      if (*p == u'-') left = true;
      else if (*p == u'0') fill = u'0';
      else break;
    }
    int width = 0;
    if (*p == u'*') {
      width = va_arg(args, int);
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
    }
    bool isLong = false;
    while (*p == u'l' || *p == u'h') {
      isLong = *p == u'l';
      ++p;
    }
    char buffer[32];
    switch (*p) {
      case 0:
        return out;
      case u'%':
        out += u'%';
        break;
      case u'c':
        AppendPadded(out, std::u16string(1, static_cast<char16_t>(va_arg(args, int))), width, left, u' ');
        break;
      case u's': {
        const char16_t *text = va_arg(args, const char16_t *);
        AppendPadded(out, text != nullptr ? std::u16string(text) : std::u16string(u"(null)"), width, left, u' ');
        break;
      }
      case u'a':
      case u'S': {
        const char *text = va_arg(args, const char *);
        AppendPadded(out, text != nullptr ? ToUtf16(text) : std::u16string(u"(null)"), width, left, u' ');
        break;
      }
      case u'd':
      case u'i': {
        long value = isLong ? va_arg(args, long) : va_arg(args, int);
        std::snprintf(buffer, sizeof buffer, "%ld", value);
        AppendPadded(out, Ascii(buffer), width, left, fill);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        unsigned long value = isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned int);
        std::snprintf(buffer, sizeof buffer, *p == u'u' ? "%lu" : *p == u'x' ? "%lx" : "%lX", value);
        AppendPadded(out, Ascii(buffer), width, left, fill);
        break;
      }
      case u'p':
        std::snprintf(buffer, sizeof buffer, "%p", va_arg(args, void *));
        AppendPadded(out, Ascii(buffer), width, left, u' ');
        break;
      default:
        // An unknown conversion is printed as written, without consuming an argument.
        out += u'%';
        out += *p;
        break;
    }
  }
  return out;
}

void SetDebugOutputSink(DebugSink sink) {
  std::lock_guard lock(sinkMutex);
  currentSink = std::move(sink);
}

}  // namespace platform

extern "C" void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
  va_list args;
  va_start(args, lpszFmt);
  std::u16string message = platform::FormatDebugMessage(lpszFmt, args);
  va_end(args);
  std::lock_guard lock(platform::sinkMutex);
  if (platform::currentSink) {
    platform::currentSink(message);
    return;
  }
  std::string text = platform::ToUtf8(message);
  // One write per message, so that lines of concurrent threads and processes do not interleave.
  ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}
