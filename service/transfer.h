// The curl transfers of the service code: what they share (global initialisation once,
// the trusted CA, the bounds) and the firmware download into a file. Internal to service/.
#pragma once

#include <curl/curl.h>

#include <QString>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "service/curl_handles.h"
#include "service/firmware_file.h"
#include "service/transfer_error.h"
#include "service/transfer_limits.h"

// curl_global_init, once per process, safe against concurrent first calls.
void EnsureCurlInitialised();

// Watches one transfer through curl's progress callback. Before the response, curl's own
// limits apply: connecting (the connection, a proxy's tunnel, the TLS handshake) and, for a
// service request, the whole request. From the first byte of the response on, the transfer
// also ends once no byte has moved for the idle limit; a download, besides, once its average
// rate since the start is below the minimum after the grace period. (curl's own low-speed
// rule averages over a few seconds, so it reacts late after a burst of data.)
class TransferWatch {
 public:
  enum class Kind { Request, Download };
  TransferWatch(Kind kind, const TransferLimits& limits);

  // Bytes of the response's header lines, which curl's progress figures leave out; the
  // header callback reports them, and the first marks the start of the response.
  void HeaderBytes(std::size_t count);
  // Whether the transfer must end, given curl's figures so far.
  bool Expired(curl_off_t downloaded, curl_off_t uploaded);
  // The bound that ended it, once Expired said so; empty before.
  const std::string& Reached() const { return reached_; }

  Kind kind() const { return kind_; }
  const TransferLimits& limits() const { return limits_; }

 private:
  using Clock = std::chrono::steady_clock;
  Kind kind_;
  TransferLimits limits_;
  Clock::time_point start_ = Clock::now();
  bool responding_ = false;
  Clock::time_point lastMove_;
  curl_off_t moved_ = 0;  // bytes both ways, header lines included
  curl_off_t headerBytes_ = 0;
  std::string reached_;
};

// The trust (always verifying the peer and its name): for a service request the build's CA
// file alone when there is one, else the system store; for the download, which may come from
// another host, the system store and that CA file. Then the bounds watched by `watch` (which
// must outlive the transfer), no signals, and behind a proxy the proxy's answer to CONNECT
// kept from the header callback.
void ApplyTransferSettings(CURL* easy, TransferWatch& watch);

// What ended a transfer that curl_easy_perform returned `result` for: the bound `watch` saw
// reached, curl's time-outs as bounds, an HTTP status, or curl's own code and text
// (`errorText`, curl's error buffer, when it holds one).
TransferError TransferErrorOf(CURL* easy, CURLcode result, const TransferWatch& watch,
                              const char* errorText);

// What a firmware fetch ended in: the path written, or why there is none.
struct FetchedFile {
  std::optional<QString> path;
  TransferError error;
};

// Fetches `url` into the folder as `name`, keeping it only if it is the image `announced`
// (logged when not). It takes its place only once it is complete and on disk, and never that
// of a file that is no firmware image of ours: then it goes under the next free name, as
// DownloadFile::Place says. A failure leaves no file behind and every file as it was.
FetchedFile FetchFirmware(const QString& url, const QString& folder, const QString& name,
                          const AnnouncedFile& announced);
