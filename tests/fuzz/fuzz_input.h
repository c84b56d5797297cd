// FuzzInput: reads a fuzzer's input from the front, as bytes and little-endian 32-bit words,
// with every read past the end giving zeros, so that any input is a complete one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <windows.h>

class FuzzInput {
 public:
  FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return next_ == size_; }
  uint8_t Byte() { return next_ < size_ ? data_[next_++] : 0; }
  DWORD Word() {
    DWORD word = 0;
    for (int shift = 0; shift < 32; shift += 8) word |= static_cast<DWORD>(Byte()) << shift;
    return word;
  }
  // Up to `count` bytes: fewer at the end of the input, never padded.
  std::vector<BYTE> Bytes(size_t count) {
    size_t taken = count < size_ - next_ ? count : size_ - next_;
    std::vector<BYTE> bytes(data_ + next_, data_ + next_ + taken);
    next_ += taken;
    return bytes;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t next_ = 0;
};
