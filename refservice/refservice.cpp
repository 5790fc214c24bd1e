#include "refservice/refservice.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "refservice/catalogue.h"
#include "refservice/faults.h"
#include "refservice/handlers.h"
#include "refservice/report_store.h"
#include "refservice/request_log.h"

namespace fs = std::filesystem;

namespace {

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

std::unique_ptr<X509, X509Free> LoadCert(const fs::path& path) {
  std::unique_ptr<X509, X509Free> cert;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    cert.reset(PEM_read_X509(f, nullptr, nullptr, nullptr));
    std::fclose(f);
  }
  return cert;
}

std::unique_ptr<EVP_PKEY, KeyFree> LoadKey(const fs::path& path) {
  std::unique_ptr<EVP_PKEY, KeyFree> key;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    key.reset(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
  }
  return key;
}

// Shuts down (without closing) every accepted connection of the server on `port`: a
// connection kept alive for a client would otherwise hold its worker, and so stop(), for the
// whole keep-alive time.
void ShutDownConnections(int port) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
    const std::string name = entry.path().filename().string();
    char* end = nullptr;
    const long fd = std::strtol(name.c_str(), &end, 10);
    if (*end != '\0')
      continue;
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t length = sizeof local;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != port)
      continue;
    length = sizeof peer;
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
      continue;  // the listener
    shutdown(static_cast<int>(fd), SHUT_RDWR);
  }
}

}  // namespace

RefServiceOptions RefServiceOptions::FromPkiDir(const fs::path& pkiDir) {
  RefServiceOptions options;
  options.certFile = pkiDir / "server.pem";
  options.keyFile = pkiDir / "server.key";
  options.rogueCertFile = pkiDir / "rogue-server.pem";
  options.rogueKeyFile = pkiDir / "rogue-server.key";
  return options;
}

struct RefService::Impl {
  explicit Impl(RefServiceOptions o) : options(std::move(o)), catalogue(options.catalogueDir) {}

  RefServiceOptions options;
  Catalogue catalogue;
  ReportStore store;
  FaultBoard faults;
  RequestLog requests;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  int port = -1;

  std::unique_ptr<X509, X509Free> rogueCert;
  std::unique_ptr<EVP_PKEY, KeyFree> rogueKey;
  std::atomic<bool> rogue{false};

  // The steps of Start; each gives the reason it failed, or the empty text.
  std::string Prepare();
  std::string MakeServer();
  std::string Bind();
  std::string Run();

  static int ChooseCertificate(SSL* ssl, void* arg) {
    auto& self = *static_cast<Impl*>(arg);
    if (self.rogue && self.rogueCert && self.rogueKey) {
      if (SSL_use_certificate(ssl, self.rogueCert.get()) != 1)
        return 0;
      if (SSL_use_PrivateKey(ssl, self.rogueKey.get()) != 1)
        return 0;
    }
    return 1;
  }
};

// The report store and the certificates.
std::string RefService::Impl::Prepare() {
  const std::string file = options.storeFile.empty() ? ":memory:" : options.storeFile.string();
  if (!store.Open(file))
    return "cannot open the report store " + file;
  if (!options.rogueCertFile.empty()) {
    rogueCert = LoadCert(options.rogueCertFile);
    rogueKey = LoadKey(options.rogueKeyFile);
    if (!rogueCert || !rogueKey)
      return "cannot load the rogue certificate";
  }
  return MakeServer();
}

std::string RefService::Impl::MakeServer() {
  const std::string cert = options.certFile.string();
  const std::string key = options.keyFile.string();
  server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(&ctx, cert.c_str()) != 1)
      return false;
    if (SSL_CTX_use_PrivateKey_file(&ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
      return false;
    SSL_CTX_set_cert_cb(&ctx, &Impl::ChooseCertificate, this);
    return true;
  });
  if (!server->is_valid())
    return "cannot load the certificate " + cert + " or its key " + key;
  // Only SO_REUSEADDR: a port in use must fail to bind instead of being shared.
  server->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server->new_task_queue = [] { return new httplib::ThreadPool(16); };
  server->set_keep_alive_timeout(2);
  // Headers and body leave in separate writes: without this, Nagle and delayed ACKs add
  // some 40 ms to every answer.
  server->set_tcp_nodelay(true);
  RouteEndpoints(*server, {catalogue, store, faults, requests, port});
  return {};
}

std::string RefService::Impl::Bind() {
  faults.Stopping(false);
  if (options.port == 0) {
    port = server->bind_to_any_port("127.0.0.1");
    return port < 0 ? "cannot bind an ephemeral port on 127.0.0.1" : "";
  }
  if (!server->bind_to_port("127.0.0.1", options.port))
    return "cannot bind 127.0.0.1:" + std::to_string(options.port);
  port = options.port;
  return {};
}

std::string RefService::Impl::Run() {
  thread = std::thread([this] { server->listen_after_bind(); });
  // stop() before the server runs would be lost: wait until it does.
  for (int i = 0; i < 5000 && !server->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return server->is_running() ? "" : "the server did not start";
}

RefService::RefService(RefServiceOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

RefService::~RefService() {
  Stop();
}

bool RefService::Start(std::string* error) {
  Impl& self = *impl_;
  // A running service stays as it is.
  std::string why = self.server ? "already started" : self.Prepare();
  if (why.empty())
    why = self.Bind();
  if (why.empty() && !(why = self.Run()).empty())
    Stop();
  if (why.empty())
    return true;
  if (error != nullptr)
    *error = why;
  if (why != "already started")
    self.server.reset();
  return false;
}

void RefService::Stop() {
  Impl& self = *impl_;
  if (!self.server)
    return;
  self.faults.Stopping(true);
  self.server->stop();
  ShutDownConnections(self.port);
  if (self.thread.joinable())
    self.thread.join();
  self.server.reset();
}

int RefService::Port() const {
  return impl_->port;
}

void RefService::SetFault(RefEndpoint endpoint, RefFault fault) {
  impl_->faults.Set(endpoint, std::move(fault));
}

void RefService::ClearFaults() {
  impl_->faults.Clear();
}

void RefService::UseRogueCertificate(bool rogue) {
  impl_->rogue = rogue;
}

std::vector<RecordedRequest> RefService::Requests() const {
  return impl_->requests.All();
}

std::optional<RecordedRequest> RefService::LastRequest() const {
  return impl_->requests.Last();
}

void RefService::ClearRequests() {
  impl_->requests.Clear();
}

std::vector<StoredReport> RefService::Reports() const {
  return impl_->store.All();
}

std::vector<StoredReport> RefService::ReadStore(const fs::path& storeFile) {
  return ReportStore::Read(storeFile);
}
