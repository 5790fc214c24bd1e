// The reference service: a stand-in for the cloud service on 127.0.0.1 over HTTPS. It serves
// the three endpoints of the tool from a firmware catalogue folder, hosts the catalogue's
// files, stores every result report in SQLite, records the requests it receives, and lets
// tests inject faults per endpoint.
//
// Catalogue folder: manifest.json plus the firmware files, e.g.
//   {"file": "固件.bin", "version": 3, "bizId": "b-1", "versionTxt": "V1.0.3",
//    "tip": "新版本…", "tipUrl": "https://localhost/notes"}
// "fileName" (optional) is the name sent to the tool instead of "file"; "fileSize" is the
// size of the file; "fileUrl" points at this service's own /files/ hosting. The manifest is
// read afresh for every request, so tests may rewrite it while the service runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class RefEndpoint { UpdateTip, VersionGet, ResultReport, Files };

// What an endpoint does instead of its normal answer. The default is the normal answer.
struct RefFault {
  enum class Body { Normal, Empty, Malformed };

  int status = 0;                      // 0: the normal status, 200
  std::chrono::milliseconds delay{0};  // wait this long before answering
  bool stall = false;  // never answer, until the fault is replaced or the service stops
  std::optional<std::size_t>
      stallAfter;  // send the headers and this many body bytes, then go silent
  Body body = Body::Normal;
  std::optional<std::string> customBody;   // exactly this body (overrides `body`)
  std::size_t bodySize = 0;                // pad the body with trailing spaces up to this size
  std::size_t extraHeaderBytes = 0;        // one extra response header "X-Padding" of this size
  std::chrono::milliseconds dripEvery{0};  // send the body one byte at a time, this far apart
  bool endless = false;  // send the body again and again, chunked, without end (1 GiB at most)
};

struct RefServiceOptions {
  int port = 0;  // 0: an ephemeral port
  std::filesystem::path catalogueDir;
  std::filesystem::path storeFile;  // the SQLite report store; empty: a private in-memory one
  std::filesystem::path certFile;   // the server certificate the clients trust
  std::filesystem::path keyFile;
  std::filesystem::path rogueCertFile;  // served instead, on request (optional)
  std::filesystem::path rogueKeyFile;

  // The certificates of the generated PKI folder (server.pem, rogue-server.pem, ...).
  static RefServiceOptions FromPkiDir(const std::filesystem::path& pkiDir);
};

struct RecordedRequest {
  std::string method;
  std::string target;   // path with query, as on the request line
  std::string path;     // decoded path, without query
  std::string version;  // "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in name order
  std::string body;
  int remotePort = -1;  // the client's end of the connection

  // The first value of the header (case-insensitive name), or nullopt.
  std::optional<std::string> Header(std::string_view name) const;
  std::size_t HeaderCount(std::string_view name) const;
};

struct StoredReport {
  std::int64_t id = 0;
  std::int64_t receivedMs = 0;  // milliseconds since 1970 UTC
  std::string body;             // the raw request body
};

struct CatalogueEntry {
  std::string file;      // the file in the catalogue folder
  std::string fileName;  // sent as "fileName"; empty: `file`
  std::int64_t version = 0;
  std::string bizId;
  std::string versionTxt;
  std::string tip;
  std::string tipUrl;
};

// Writes manifest.json for `entry` into `dir` (made when missing), and the firmware file
// with `content` unless `content` is nullopt. Returns false on any I/O failure.
bool WriteCatalogue(const std::filesystem::path& dir, const CatalogueEntry& entry,
                    const std::optional<std::string>& content);

class RefService {
 public:
  explicit RefService(RefServiceOptions options);
  ~RefService();  // stops
  RefService(const RefService&) = delete;
  RefService& operator=(const RefService&) = delete;

  // Binds 127.0.0.1 and serves on a thread of its own; returns once it accepts connections.
  // False, with the reason in `error`, when the certificates or the store cannot be loaded or
  // the port cannot be bound.
  bool Start(std::string* error = nullptr);
  void Stop();  // wakes every stalled answer, then joins
  int Port() const;

  void SetFault(RefEndpoint endpoint, RefFault fault);
  void ClearFaults();
  void UseRogueCertificate(bool rogue);  // from the next TLS handshake on

  std::vector<RecordedRequest> Requests() const;  // oldest first, the last 256 at most
  std::optional<RecordedRequest> LastRequest() const;
  void ClearRequests();

  std::vector<StoredReport> Reports() const;  // read from the store, oldest first

  // Reads the reports of a store file, e.g. one written by an earlier run.
  static std::vector<StoredReport> ReadStore(const std::filesystem::path& storeFile);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
