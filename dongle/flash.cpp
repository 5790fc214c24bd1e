#include "dongle/flash.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace dongle {
namespace {

[[noreturn]] void Broken(const char* what) {
  std::perror(what);  // the simulation cannot go on without its flash
  std::abort();
}

}  // namespace

Flash::Flash() : fd_(memfd_create("zav-dongle-flash", MFD_CLOEXEC)) {
  if (fd_ < 0)
    Broken("virtual dongle: memfd_create");
}

Flash::~Flash() {
  close(fd_);
}

void Flash::Erase(std::uint64_t offset, std::uint64_t size) {
  // Dropping the pages is enough: nothing reads a byte that was not written since.
  if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                static_cast<off_t>(size)) != 0 &&
      errno != EOPNOTSUPP)
    Broken("virtual dongle: erasing its flash");
}

void Flash::Write(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (n <= 0)
      Broken("virtual dongle: writing its flash");
    data += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}

void Flash::Read(std::uint64_t offset, std::uint8_t* data, std::size_t size) const {
  while (size > 0) {
    const ssize_t n = pread(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0)
      Broken("virtual dongle: reading its flash");
    if (n == 0) {  // beyond what was ever written
      std::memset(data, 0, size);
      return;
    }
    data += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace dongle
