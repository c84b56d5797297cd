// Bounds-checked reading of the little-endian words, ordinals and UTF-16 strings that compiled
// resources are made of. Every read fails, instead of running past the end, on truncated data.
#pragma once

#include <cstddef>
#include <string>

#include <platform/dialog_template.h>

namespace platform {

class ByteReader {
 public:
  ByteReader(const void *data, size_t size) : data_(static_cast<const BYTE *>(data)), size_(size) {}

  size_t offset() const { return offset_; }
  size_t size() const { return size_; }
  size_t remaining() const { return size_ - offset_; }

  // Each read advances past what it read; on failure it sets the reason and leaves the offset.
  bool Word(WORD *value);
  bool Dword(DWORD *value);
  bool Short(short *value);
  bool Byte(BYTE *value);
  bool Bytes(size_t count, std::vector<BYTE> *out);
  // A NUL-terminated UTF-16 string; the terminator is consumed but not stored.
  bool String(std::u16string *value);
  // 0xFFFF and a WORD ordinal, or a NUL-terminated string (a lone 0x0000 is the empty string).
  bool NameOrOrdinal(platform::NameOrOrdinal *value);
  // Moves to `to` bytes from the start (within the data).
  bool Seek(size_t to);
  // Moves to the next multiple of `alignment` counted from `base`.
  bool Align(size_t base, size_t alignment);

  // Why the last read failed, with the byte offset where it happened.
  const std::string &error() const { return error_; }

 private:
  bool Take(size_t count, const char *what, const BYTE **at);

  const BYTE *data_;
  size_t size_;
  size_t offset_ = 0;
  std::string error_;
};

}  // namespace platform
