#pragma once
// Reads a fuzzer's input front to back; past its end every byte reads as 0, so that any input,
// however short, drives a whole run.

#include <cstddef>
#include <cstdint>
#include <vector>

class FuzzReader {
 public:
  FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() { return static_cast<uint32_t>(Bytes(4)); }
  uint64_t Word64() { return Bytes(8); }
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> rest(data_ + pos_, data_ + size_);
    pos_ = size_;
    return rest;
  }

 private:
  uint64_t Bytes(int count) {  // little-endian
    uint64_t w = 0;
    for (int i = 0; i < count; ++i) w |= uint64_t{Byte()} << (8 * i);
    return w;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};
