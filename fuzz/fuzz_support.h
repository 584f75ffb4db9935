// Shared by the fuzz targets: reading a fuzzer's bytes as a sequence of choices, and the check
// that turns a wrong answer into a crash the fuzzer records.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

// A wrong answer is a crash: libFuzzer keeps the input and stops, the replay test fails.
#define FUZZ_CHECK(condition, ...)                                       \
  do {                                                                   \
    if (!(condition)) {                                                  \
      fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, \
              #condition);                                               \
      fprintf(stderr, __VA_ARGS__);                                      \
      fprintf(stderr, "\n");                                             \
      abort();                                                           \
    }                                                                    \
  } while (0)

// The fuzzer's bytes, taken from the front. Past the end every read yields zeros, so that any
// input, however short, is a complete program of choices.
class FuzzInput {
 public:
  FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  size_t Remaining() const { return size_ - pos_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t Dword() { return static_cast<uint32_t>(Word()) | (static_cast<uint32_t>(Word()) << 16); }

  // Up to `count` bytes (fewer at the end of the input).
  std::string Bytes(size_t count) {
    size_t take = count < Remaining() ? count : Remaining();
    std::string out(reinterpret_cast<const char *>(data_ + pos_), take);
    pos_ += take;
    return out;
  }
  std::string Rest() { return Bytes(Remaining()); }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};
