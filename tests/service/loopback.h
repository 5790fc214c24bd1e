// Loopback ports that misbehave: one that nothing listens on, and one whose listener takes
// connections and then says nothing at all, not even its TLS greeting.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

// A socket listening on an ephemeral loopback port, which goes into `port`.
inline int ListenOnLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
    std::abort();
  port = ntohs(a.sin_port);
  return fd;
}

// A loopback port on which nothing listens.
inline int ClosedPort() {
  int port = 0;
  close(ListenOnLoopback(port));
  return port;
}

// The kernel completes the connections into its backlog; nobody ever reads or writes them.
class SilentHost {
 public:
  SilentHost() : fd_(ListenOnLoopback(port_)) {}
  ~SilentHost() { close(fd_); }
  SilentHost(const SilentHost&) = delete;
  SilentHost& operator=(const SilentHost&) = delete;
  int Port() const { return port_; }

 private:
  int port_ = 0;
  int fd_ = -1;
};
