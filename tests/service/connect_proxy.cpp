#include "tests/service/connect_proxy.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/service/loopback.h"

namespace {

constexpr std::size_t kHeadMax = 8192;

// Waits until `fd` is readable; false when the proxy stops first.
bool WaitReadable(int fd, int stop) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
  return poll(fds, 2, -1) > 0 && fds[1].revents == 0;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The request head, up to its empty line.
std::string ReadHead(int fd, int stop) {
  std::string head;
  char c = 0;
  while (head.size() < kHeadMax && !head.ends_with("\r\n\r\n")) {
    if (!WaitReadable(fd, stop) || recv(fd, &c, 1, 0) != 1)
      return std::string();
    head += c;
  }
  return head;
}

int ConnectTo(const std::string& hostPort) {
  const std::size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos)
    return -1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(hostPort.substr(0, colon).c_str(), hostPort.substr(colon + 1).c_str(), &hints,
                  &found) != 0)
    return -1;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

// Copies bytes both ways until either side closes or the proxy stops.
void Pump(int a, int b, int stop) {
  char buffer[16384];
  pollfd fds[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {stop, POLLIN, 0}};
  while (poll(fds, 3, -1) > 0 && fds[2].revents == 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0)
        continue;
      const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0 || !SendAll(fds[1 - i].fd, buffer, static_cast<std::size_t>(n)))
        return;
    }
  }
}

}  // namespace

ConnectProxy::ConnectProxy() : listener_(ListenOnLoopback(port_)) {
  if (pipe(stop_) != 0)
    std::abort();
  acceptor_ = std::thread([this] { Accept(); });
}

ConnectProxy::~ConnectProxy() {
  const char stop = 's';
  if (write(stop_[1], &stop, 1) != 1)
    std::abort();
  acceptor_.join();
  for (std::thread& thread : threads_)
    thread.join();
  close(listener_);
  close(stop_[0]);
  close(stop_[1]);
}

std::string ConnectProxy::Address() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void ConnectProxy::Refuse(int status) {
  std::lock_guard lock(mutex_);
  refusal_ = status;
}

std::vector<std::string> ConnectProxy::Targets() const {
  std::lock_guard lock(mutex_);
  return targets_;
}

void ConnectProxy::Accept() {
  while (WaitReadable(listener_, stop_[0])) {
    const int client = accept(listener_, nullptr, nullptr);
    if (client >= 0)
      threads_.emplace_back([this, client] { Tunnel(client); });
  }
}

void ConnectProxy::Tunnel(int client) {
  const std::string head = ReadHead(client, stop_[0]);
  // "CONNECT host:port HTTP/1.1"
  const std::size_t space = head.find(' ');
  const std::size_t end = head.find(' ', space + 1);
  int refusal = 0;
  std::string target;
  if (head.starts_with("CONNECT ") && end != std::string::npos) {
    target = head.substr(space + 1, end - space - 1);
    std::lock_guard lock(mutex_);
    targets_.push_back(target);
    refusal = refusal_;
  }
  const int upstream = refusal == 0 && !target.empty() ? ConnectTo(target) : -1;
  if (upstream < 0) {
    const std::string no = "HTTP/1.1 " + std::to_string(refusal != 0 ? refusal : 502) +
                           " Refused\r\nContent-Length: 0\r\n\r\n";
    SendAll(client, no.data(), no.size());
  } else {
    const std::string yes = "HTTP/1.1 200 Connection established\r\nProxy-Agent: zav-test\r\n\r\n";
    if (SendAll(client, yes.data(), yes.size()))
      Pump(client, upstream, stop_[0]);
    close(upstream);
  }
  close(client);
}
