// An HTTP proxy on an ephemeral loopback port that only tunnels (CONNECT), as corporate
// networks put in front of HTTPS: it answers "200 Connection established" with a header of
// its own and then copies bytes both ways. It can refuse every CONNECT instead.
#pragma once

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ConnectProxy {
 public:
  ConnectProxy();   // listens
  ~ConnectProxy();  // closes every tunnel and joins its threads
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>", as the proxy variables name it.
  std::string Address() const;
  // From now on, CONNECT is answered with this status and the connection closed.
  void Refuse(int status);
  // The "host:port" of every CONNECT so far, oldest first.
  std::vector<std::string> Targets() const;

 private:
  void Accept();
  void Tunnel(int client);

  int port_ = 0;
  int listener_ = -1;
  int stop_[2] = {-1, -1};  // written once to stop: every wait also watches its read end
  mutable std::mutex mutex_;
  int refusal_ = 0;
  std::vector<std::string> targets_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// The proxy variables of a user behind `proxy`, for as long as this lives; then the tests'
// own again (no proxy for anything).
struct BehindProxy {
  explicit BehindProxy(const std::string& proxy) {
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    setenv("https_proxy", proxy.c_str(), 1);
  }
  ~BehindProxy() {
    unsetenv("https_proxy");
    setenv("no_proxy", "*", 1);
    setenv("NO_PROXY", "*", 1);
  }
  BehindProxy(const BehindProxy&) = delete;
  BehindProxy& operator=(const BehindProxy&) = delete;
};
