// Reading a fuzzer's input as a stream of small decisions: every read past the end gives
// zero, so each input is a complete script however short it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

class Input {
 public:
  Input() = default;
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  std::size_t Left() const { return Empty() ? 0 : size_ - pos_; }

  std::uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
  std::uint16_t U16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::uint32_t U32() {
    const std::uint32_t low = U16();
    return low | (static_cast<std::uint32_t>(U16()) << 16);
  }
  void Fill(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      out[i] = Byte();
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
};

// A broken promise of the code under test: says which, and stops the run so that the fuzzer
// keeps the input as a crash reproducer.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void Require(bool ok, const char* what) {
  if (!ok)
    Fail(what);
}

}  // namespace fuzz
