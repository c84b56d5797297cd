// Bounds-checked reading of the little-endian words, ordinals and UTF-16 strings that compiled
// resources are made of.
#include "byte_reader.h"

namespace platform {

bool ByteReader::Take(size_t count, const char *what, const BYTE **at) {
  if (count > remaining()) {
    error_ = std::string(what) + " at byte " + std::to_string(offset_) + " runs past the end of the " +
             std::to_string(size_) + " bytes";
    return false;
  }
  *at = data_ + offset_;
  offset_ += count;
  return true;
}

bool ByteReader::Word(WORD *value) {
  const BYTE *at = nullptr;
  if (!Take(2, "a 16-bit word", &at)) return false;
  *value = static_cast<WORD>(at[0] | (at[1] << 8));
  return true;
}

bool ByteReader::Dword(DWORD *value) {
  const BYTE *at = nullptr;
  if (!Take(4, "a 32-bit word", &at)) return false;
  *value = static_cast<DWORD>(at[0]) | (static_cast<DWORD>(at[1]) << 8) | (static_cast<DWORD>(at[2]) << 16) |
           (static_cast<DWORD>(at[3]) << 24);
  return true;
}

bool ByteReader::Short(short *value) {
  WORD word = 0;
  if (!Word(&word)) return false;
  *value = static_cast<short>(word);
  return true;
}

bool ByteReader::Byte(BYTE *value) {
  const BYTE *at = nullptr;
  if (!Take(1, "a byte", &at)) return false;
  *value = *at;
  return true;
}

bool ByteReader::Bytes(size_t count, std::vector<BYTE> *out) {
  const BYTE *at = nullptr;
  if (!Take(count, "a block of data", &at)) return false;
  out->assign(at, at + count);
  return true;
}

bool ByteReader::String(std::u16string *value) {
  const size_t start = offset_;
  std::u16string text;
  for (;;) {
    WORD unit = 0;
    if (remaining() < 2) {
      error_ = "the string that starts at byte " + std::to_string(start) + " has no terminating NUL";
      offset_ = start;
      return false;
    }
    Word(&unit);
    if (unit == 0) break;
    text.push_back(static_cast<char16_t>(unit));
  }
  *value = std::move(text);
  return true;
}

bool ByteReader::NameOrOrdinal(platform::NameOrOrdinal *value) {
  const size_t start = offset_;
  WORD first = 0;
  if (!Word(&first)) return false;
  platform::NameOrOrdinal result;
  if (first == 0xFFFF) {
    result.isOrdinal = true;
    if (!Word(&result.ordinal)) {
      offset_ = start;
      return false;
    }
  } else {
    offset_ = start;
    if (!String(&result.name)) return false;
  }
  *value = std::move(result);
  return true;
}

bool ByteReader::Seek(size_t to) {
  if (to > size_) {
    error_ = "an offset of " + std::to_string(to) + " lies past the end of the " + std::to_string(size_) + " bytes";
    return false;
  }
  offset_ = to;
  return true;
}

bool ByteReader::Align(size_t base, size_t alignment) {
  const size_t misalignment = (offset_ - base) % alignment;
  return misalignment == 0 || Seek(offset_ + alignment - misalignment);
}

}  // namespace platform
