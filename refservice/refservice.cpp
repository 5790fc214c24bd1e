#include "refservice/refservice.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Firmware goes out as bytes; a release-notes page that the tip links to opens in a browser.
const char* ContentTypeOf(const std::string& name) {
  if (name.ends_with(".html"))
    return "text/html; charset=utf-8";
  if (name.ends_with(".txt"))
    return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

constexpr std::size_t kRecordedMax = 256;
// No answer waits longer than this, whatever a test forgot to release.
constexpr auto kLongestStall = std::chrono::seconds(60);
// Nor does an endless one send more than this, whatever a client fails to refuse.
constexpr std::size_t kEndlessBytes = std::size_t(1) << 30;
constexpr char kBasePath[] = "/game/api/talent_tool/";

std::int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::string> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Sqlite {
  sqlite3* db = nullptr;
  Sqlite() = default;
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;
  ~Sqlite() { sqlite3_close(db); }
};

struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt); }
};

constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS reports ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " received_ms INTEGER NOT NULL,"
    " body BLOB NOT NULL)";

std::vector<StoredReport> QueryReports(sqlite3* db) {
  std::vector<StoredReport> reports;
  Statement select(db, "SELECT id, received_ms, body FROM reports ORDER BY id");
  if (select.stmt == nullptr)
    return reports;
  while (sqlite3_step(select.stmt) == SQLITE_ROW) {
    StoredReport report;
    report.id = sqlite3_column_int64(select.stmt, 0);
    report.receivedMs = sqlite3_column_int64(select.stmt, 1);
    const void* blob = sqlite3_column_blob(select.stmt, 2);
    const int size = sqlite3_column_bytes(select.stmt, 2);
    if (blob != nullptr)
      report.body.assign(static_cast<const char*>(blob), static_cast<std::size_t>(size));
    reports.push_back(std::move(report));
  }
  return reports;
}

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

json Envelope(json data) {
  return json{{"code", 0}, {"msg", "ok"}, {"data", std::move(data)}};
}

json Refusal(int code, std::string msg) {
  return json{{"code", code}, {"msg", std::move(msg)}, {"data", nullptr}};
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

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (SameName(key, name))
      return value;
  return std::nullopt;
}

std::size_t RecordedRequest::HeaderCount(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto& h) { return SameName(h.first, name); }));
}

bool WriteCatalogue(const fs::path& dir, const CatalogueEntry& entry,
                    const std::optional<std::string>& content) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec)
    return false;
  json manifest{{"file", entry.file},   {"version", entry.version},
                {"bizId", entry.bizId}, {"versionTxt", entry.versionTxt},
                {"tip", entry.tip},     {"tipUrl", entry.tipUrl}};
  if (!entry.fileName.empty())
    manifest["fileName"] = entry.fileName;
  {
    std::ofstream out(dir / "manifest.json", std::ios::binary | std::ios::trunc);
    out << manifest.dump(2) << "\n";
    if (!out)
      return false;
  }
  if (content) {
    std::ofstream out(dir / fs::u8path(entry.file), std::ios::binary | std::ios::trunc);
    out.write(content->data(), static_cast<std::streamsize>(content->size()));
    if (!out)
      return false;
  }
  return true;
}

struct RefService::Impl {
  RefServiceOptions options;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  int port = -1;

  std::unique_ptr<X509, X509Free> rogueCert;
  std::unique_ptr<EVP_PKEY, KeyFree> rogueKey;
  std::atomic<bool> rogue{false};

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  bool stopping = false;
  std::uint64_t faultGeneration = 0;  // bumped whenever the faults change: releases stalls
  std::array<RefFault, 4> faults;
  std::deque<RecordedRequest> requests;
  Sqlite store;

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

  void Record(const httplib::Request& req) {
    RecordedRequest r;
    r.method = req.method;
    r.target = req.target;
    r.path = req.path;
    r.version = req.version;
    for (const auto& [key, value] : req.headers) {
      // cpp-httplib adds these itself; they never came over the wire.
      if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" ||
          key == "LOCAL_PORT")
        continue;
      r.headers.emplace_back(key, value);
    }
    r.body = req.body;
    r.remotePort = req.remote_port;
    std::lock_guard lock(mutex);
    requests.push_back(std::move(r));
    while (requests.size() > kRecordedMax)
      requests.pop_front();
  }

  RefFault FaultFor(RefEndpoint endpoint) const {
    std::lock_guard lock(mutex);
    return faults[static_cast<std::size_t>(endpoint)];
  }

  // Waits up to `duration`, or until the service stops, or (if `untilFaultChange`) until the
  // faults change. Returns false if the service is stopping.
  bool Wait(std::chrono::milliseconds duration, bool untilFaultChange) {
    std::unique_lock lock(mutex);
    const std::uint64_t generation = faultGeneration;
    wake.wait_for(lock, duration,
                  [&] { return stopping || (untilFaultChange && faultGeneration != generation); });
    return !stopping;
  }

  std::optional<json> Manifest() const {
    auto text = ReadFile(options.catalogueDir / "manifest.json");
    if (!text)
      return std::nullopt;
    json manifest = json::parse(*text, nullptr, false);
    if (!manifest.is_object())
      return std::nullopt;
    return manifest;
  }

  // Sends `normal` (the endpoint's own answer) shaped by the endpoint's fault.
  void Answer(RefEndpoint endpoint, httplib::Response& res, std::string normal,
              const char* contentType = "application/json; charset=utf-8") {
    const RefFault fault = FaultFor(endpoint);
    if (fault.delay.count() > 0 && !Wait(fault.delay, false))
      return;
    if (fault.stall) {
      Wait(kLongestStall, true);
      res.status = 503;
      return;
    }
    res.status = fault.status != 0 ? fault.status : 200;
    std::string body = std::move(normal);
    if (fault.customBody) {
      body = *fault.customBody;
    } else if (fault.body == RefFault::Body::Empty) {
      body.clear();
    } else if (fault.body == RefFault::Body::Malformed) {
      body = R"({"code":0,"msg":"ok","data":{"fileUrl":)";
    }
    if (body.size() < fault.bodySize)
      body.append(fault.bodySize - body.size(), ' ');
    if (fault.extraHeaderBytes > 0)
      res.set_header("X-Padding", std::string(fault.extraHeaderBytes, 'x'));

    if (fault.endless) {
      SendEndlessly(res, body, contentType);
      return;
    }
    if (fault.dripEvery.count() > 0) {
      auto shared = std::make_shared<std::string>(std::move(body));
      res.set_content_provider(shared->size(), contentType,
                               [this, shared, every = fault.dripEvery](
                                   std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 return Wait(every, false) &&
                                        sink.write(shared->data() + offset, 1);
                               });
      return;
    }
    if (fault.stallAfter) {
      auto shared = std::make_shared<std::string>(std::move(body));
      const std::size_t cut = std::min(*fault.stallAfter, shared->size());
      res.set_content_provider(
          shared->size(), contentType,
          [this, shared, cut](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset < cut) {
              const std::size_t n = std::min(length, cut - offset);
              return sink.write(shared->data() + offset, n);
            }
            Wait(kLongestStall, true);
            return false;
          });
      return;
    }
    res.set_content(body, contentType);
  }

  // `body` over and over, in blocks of at least 64 KiB, until the client goes away, the
  // service stops or kEndlessBytes have gone out.
  void SendEndlessly(httplib::Response& res, const std::string& body, const char* contentType) {
    auto block = std::make_shared<std::string>(body.empty() ? " " : body);
    while (block->size() < 64 * 1024)
      *block += *block;
    res.set_chunked_content_provider(
        contentType, [this, block](std::size_t offset, httplib::DataSink& sink) {
          if (offset >= kEndlessBytes || !Wait(std::chrono::milliseconds(0), false))
            return false;
          return sink.write(block->data(), block->size());
        });
  }

  void UpdateTip(const httplib::Request& req, httplib::Response& res) {
    Record(req);
    json answer;
    auto manifest = Manifest();
    if (req.get_param_value("sbId") != "98") {
      answer = Refusal(1, "unknown sbId");
    } else if (!manifest) {
      answer = Refusal(2, "no catalogue");
    } else {
      answer =
          Envelope({{"tip", manifest->value("tip", "")}, {"url", manifest->value("tipUrl", "")}});
    }
    Answer(RefEndpoint::UpdateTip, res, answer.dump());
  }

  void VersionGet(const httplib::Request& req, httplib::Response& res) {
    Record(req);
    json answer;
    auto manifest = Manifest();
    if (!manifest || !(*manifest)["file"].is_string()) {
      answer = Refusal(2, "no catalogue");
    } else {
      const std::string file = (*manifest)["file"].get<std::string>();
      std::error_code ec;
      const auto size = fs::file_size(options.catalogueDir / fs::u8path(file), ec);
      std::string host = req.get_header_value("Host");
      if (host.empty())
        host = "localhost:" + std::to_string(port);
      answer = Envelope({{"fileUrl", "https://" + host + "/files/" + PercentEncode(file)},
                         {"fileSize", ec ? 0 : static_cast<std::int64_t>(size)},
                         {"fileName", manifest->value("fileName", file)},
                         {"version", manifest->value("version", 0)},
                         {"bizId", manifest->value("bizId", "")},
                         {"versionTxt", manifest->value("versionTxt", "")}});
    }
    Answer(RefEndpoint::VersionGet, res, answer.dump());
  }

  void ResultReport(const httplib::Request& req, httplib::Response& res) {
    Record(req);
    // Every report is kept as it came, whatever the answer will be.
    std::int64_t id = 0;
    {
      std::lock_guard lock(mutex);
      Statement insert(store.db, "INSERT INTO reports (received_ms, body) VALUES (?, ?)");
      sqlite3_bind_int64(insert.stmt, 1, NowMillis());
      sqlite3_bind_blob(insert.stmt, 2, req.body.data(), static_cast<int>(req.body.size()),
                        SQLITE_TRANSIENT);
      if (sqlite3_step(insert.stmt) == SQLITE_DONE)
        id = sqlite3_last_insert_rowid(store.db);
    }
    const bool valid = json::accept(req.body);
    json answer = id == 0 ? Refusal(3, "store failed")
                  : valid ? Envelope({{"id", id}})
                          : Refusal(4, "bad json");
    Answer(RefEndpoint::ResultReport, res, answer.dump());
  }

  void File(const httplib::Request& req, httplib::Response& res) {
    Record(req);
    const std::string name = req.matches[1];
    const fs::path path = options.catalogueDir / fs::u8path(name);
    std::error_code ec;
    if (name.find('/') != std::string::npos || name == "." || name == ".." ||
        name == "manifest.json" || !fs::is_regular_file(path, ec)) {
      res.status = 404;
      return;
    }
    const RefFault fault = FaultFor(RefEndpoint::Files);
    if (fault.customBody || fault.body != RefFault::Body::Normal || fault.bodySize > 0 ||
        fault.dripEvery.count() > 0 || fault.endless) {
      Answer(RefEndpoint::Files, res, ReadFile(path).value_or(std::string()),
             "application/octet-stream");
      return;
    }
    if (fault.delay.count() > 0 && !Wait(fault.delay, false))
      return;
    if (fault.stall) {
      Wait(kLongestStall, true);
      res.status = 503;
      return;
    }
    if (fault.status != 0) {
      res.status = fault.status;
      return;
    }
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    const std::size_t size = fs::file_size(path, ec);
    const std::size_t cut = fault.stallAfter.value_or(size);
    if (fault.extraHeaderBytes > 0)
      res.set_header("X-Padding", std::string(fault.extraHeaderBytes, 'x'));
    res.set_content_provider(
        size, ContentTypeOf(name),
        [this, in, cut](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          if (offset >= cut) {
            Wait(kLongestStall, true);
            return false;
          }
          std::array<char, 256 * 1024> buffer;
          const std::size_t want = std::min({length, buffer.size(), cut - offset});
          in->seekg(static_cast<std::streamoff>(offset));
          in->read(buffer.data(), static_cast<std::streamsize>(want));
          const auto got = static_cast<std::size_t>(in->gcount());
          return got > 0 && sink.write(buffer.data(), got);
        });
  }
};

RefService::RefService(RefServiceOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
}

RefService::~RefService() {
  Stop();
}

bool RefService::Start(std::string* error) {
  auto fail = [&](std::string why) {
    if (error != nullptr)
      *error = std::move(why);
    impl_->server.reset();
    return false;
  };
  Impl& self = *impl_;
  if (self.server)
    return fail("already started");

  const std::string store =
      self.options.storeFile.empty() ? ":memory:" : self.options.storeFile.string();
  if (self.store.db == nullptr) {
    if (sqlite3_open_v2(store.c_str(), &self.store.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK ||
        sqlite3_exec(self.store.db, kCreateTable, nullptr, nullptr, nullptr) != SQLITE_OK)
      return fail("cannot open the report store " + store);
  }

  if (!self.options.rogueCertFile.empty()) {
    self.rogueCert = LoadCert(self.options.rogueCertFile);
    self.rogueKey = LoadKey(self.options.rogueKeyFile);
    if (!self.rogueCert || !self.rogueKey)
      return fail("cannot load the rogue certificate");
  }
  const std::string cert = self.options.certFile.string();
  const std::string key = self.options.keyFile.string();
  self.server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(&ctx, cert.c_str()) != 1)
      return false;
    if (SSL_CTX_use_PrivateKey_file(&ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
      return false;
    SSL_CTX_set_cert_cb(&ctx, &Impl::ChooseCertificate, &self);
    return true;
  });
  if (!self.server->is_valid())
    return fail("cannot load the certificate " + cert + " or its key " + key);

  httplib::SSLServer& server = *self.server;
  // Only SO_REUSEADDR: a port in use must fail to bind instead of being shared.
  server.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server.set_keep_alive_timeout(2);
  // Headers and body leave in separate writes: without this, Nagle and delayed ACKs add
  // some 40 ms to every answer.
  server.set_tcp_nodelay(true);
  server.Post(
      std::string(kBasePath) + "update_tip",
      [&self](const httplib::Request& req, httplib::Response& res) { self.UpdateTip(req, res); });
  server.Post(
      std::string(kBasePath) + "bin/version/get",
      [&self](const httplib::Request& req, httplib::Response& res) { self.VersionGet(req, res); });
  server.Post(std::string(kBasePath) + "result/report",
              [&self](const httplib::Request& req, httplib::Response& res) {
                self.ResultReport(req, res);
              });
  server.Get("/files/(.+)",
             [&self](const httplib::Request& req, httplib::Response& res) { self.File(req, res); });
  auto unknown = [&self](const httplib::Request& req, httplib::Response& res) {
    self.Record(req);
    res.status = 404;
  };
  server.Post(".*", unknown);
  server.Get(".*", unknown);

  {
    std::lock_guard lock(self.mutex);
    self.stopping = false;
  }
  if (self.options.port == 0) {
    self.port = server.bind_to_any_port("127.0.0.1");
    if (self.port < 0)
      return fail("cannot bind an ephemeral port on 127.0.0.1");
  } else {
    if (!server.bind_to_port("127.0.0.1", self.options.port))
      return fail("cannot bind 127.0.0.1:" + std::to_string(self.options.port));
    self.port = self.options.port;
  }
  self.thread = std::thread([&server] { server.listen_after_bind(); });
  // stop() before the server runs would be lost: wait until it does.
  for (int i = 0; i < 5000 && !server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server.is_running()) {
    Stop();
    return fail("the server did not start");
  }
  return true;
}

void RefService::Stop() {
  Impl& self = *impl_;
  if (!self.server)
    return;
  {
    std::lock_guard lock(self.mutex);
    self.stopping = true;
  }
  self.wake.notify_all();
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
  {
    std::lock_guard lock(impl_->mutex);
    impl_->faults[static_cast<std::size_t>(endpoint)] = std::move(fault);
    ++impl_->faultGeneration;
  }
  impl_->wake.notify_all();
}

void RefService::ClearFaults() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->faults = {};
    ++impl_->faultGeneration;
  }
  impl_->wake.notify_all();
}

void RefService::UseRogueCertificate(bool rogue) {
  impl_->rogue = rogue;
}

std::vector<RecordedRequest> RefService::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->requests.begin(), impl_->requests.end()};
}

std::optional<RecordedRequest> RefService::LastRequest() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->requests.empty())
    return std::nullopt;
  return impl_->requests.back();
}

void RefService::ClearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

std::vector<StoredReport> RefService::Reports() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->store.db == nullptr)
    return {};
  return QueryReports(impl_->store.db);
}

std::vector<StoredReport> RefService::ReadStore(const fs::path& storeFile) {
  Sqlite db;
  if (sqlite3_open_v2(storeFile.c_str(), &db.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    return {};
  return QueryReports(db.db);
}
