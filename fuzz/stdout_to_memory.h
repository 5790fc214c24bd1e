// Standard output into a memory file for the whole run, so that a harness can read back the
// log lines that one input produced without a pipe or a temporary file per input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace fuzz {

class StdoutToMemory {
 public:
  StdoutToMemory() {
    fd_ = memfd_create("zav-fuzz-log", 0);
    if (fd_ < 0)
      std::abort();
    Flush();
    if (dup2(fd_, STDOUT_FILENO) < 0)
      std::abort();
  }

  // Forgets what was written so far. Standard output and the memory file share one offset.
  void Clear() {
    Flush();
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0)
      std::abort();
  }

  std::string Text() {
    Flush();
    const off_t size = lseek(fd_, 0, SEEK_CUR);
    std::string text(static_cast<std::size_t>(size), '\0');
    if (size > 0 && pread(fd_, text.data(), text.size(), 0) != size)
      std::abort();
    return text;
  }

 private:
  static void Flush() {
    std::cout.flush();
    std::fflush(stdout);
  }
  int fd_ = -1;
};

}  // namespace fuzz
