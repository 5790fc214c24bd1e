#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "support/log.h"

void PrepareStandardStreams() {
  std::signal(SIGPIPE, SIG_IGN);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // open gives the lowest free number: this one.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd)
      close(null);
  }
}

bool SetConsoleOutputCodePage(unsigned /*codePage*/) {
  // A terminal decodes the bytes it is given with its own settings; there is nothing to set.
  return false;
}
