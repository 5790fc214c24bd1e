// The flash of one firmware slot of the virtual dongle: erased in blocks, written as the
// payload arrives, read back when the dongle verifies it. Kept in an anonymous memory file,
// outside the process's own memory as a real dongle's flash is outside the host's, so that a
// large image does not make the tool under test look larger.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dongle {

class Flash {
 public:
  Flash();
  ~Flash();
  Flash(const Flash&) = delete;
  Flash& operator=(const Flash&) = delete;

  // Erases the bytes; what an erased byte reads as is left open, as nothing reads one.
  void Erase(std::uint64_t offset, std::uint64_t size);
  void Write(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
  void Read(std::uint64_t offset, std::uint8_t* data, std::size_t size) const;

 private:
  int fd_ = -1;
};

}  // namespace dongle
