#include "service/transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <mutex>

#include "service/config.h"
#include "service/download_file.h"
#include "service/trust_store.h"

void EnsureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

TransferWatch::TransferWatch(Kind kind, const TransferLimits& limits)
    : kind_(kind), limits_(limits) {}

void TransferWatch::HeaderBytes(std::size_t count) {
  if (!responding_) {
    responding_ = true;
    lastMove_ = Clock::now();
  }
  headerBytes_ += static_cast<curl_off_t>(count);
}

bool TransferWatch::Expired(curl_off_t downloaded, curl_off_t uploaded) {
  const auto now = Clock::now();
  if (kind_ == Kind::Download && now - start_ > limits_.rateGrace) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    if (static_cast<std::uint64_t>(downloaded) * 1000 <
        limits_.minRate * static_cast<std::uint64_t>(elapsed.count())) {
      reached_ = "below " + std::to_string(limits_.minRate) + " bytes a second after " +
                 std::to_string(elapsed.count()) + " ms (the rate bound)";
      return true;
    }
  }
  const curl_off_t moved = downloaded + uploaded + headerBytes_;
  if (!responding_ && downloaded > 0) {
    responding_ = true;  // a response without header lines
    lastMove_ = now;
  }
  if (moved != moved_) {
    moved_ = moved;
    lastMove_ = now;
    return false;
  }
  if (!responding_ || now - lastMove_ <= limits_.idle)
    return false;
  reached_ = "no byte for " + std::to_string(limits_.idle.count()) + " ms (the idle bound)";
  return true;
}

TransferError TransferErrorOf(CURL* easy, CURLcode result, const TransferWatch& watch,
                              const char* errorText) {
  const std::string text =
      errorText != nullptr && errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
  if (result == CURLE_ABORTED_BY_CALLBACK && !watch.Reached().empty())
    return TransferError::Bound(watch.Reached());
  if (result == CURLE_OPERATION_TIMEDOUT)
    return TransferError::Bound(text + " (the connect or request bound)");
  if (result == CURLE_HTTP_RETURNED_ERROR) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return TransferError::Status(status);
  }
  return TransferError::Curl(result, text);
}

namespace {
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  return static_cast<TransferWatch*>(user)->Expired(downloaded, uploaded) ? 1 : 0;
}

long Milliseconds(std::chrono::milliseconds limit) {
  return static_cast<long>(std::max<long long>(1, limit.count()));
}
}  // namespace

namespace {

const char* OrNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

std::string ReadWhole(const std::string& path) {
  if (path.empty())
    return {};
  QFile file(QFile::decodeName(path.c_str()));
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// Every location is set, none left to curl's defaults: "none" is a null path.
void ApplyTrust(CURL* easy, TransferWatch::Kind kind) {
  const std::string& caFile = CurrentServiceConfig().caFile;
  const TrustStore system = SystemTrustStore();
  if (caFile.empty()) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, OrNull(system.bundle));
    curl_easy_setopt(easy, CURLOPT_CAPATH, OrNull(system.folder));
  } else if (kind == TransferWatch::Kind::Request) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  } else {
    // One bundle of both, copied by curl.
    std::string both = ReadWhole(system.bundle) + "\n" + ReadWhole(caFile);
    curl_blob blob{both.data(), both.size(), CURL_BLOB_COPY};
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(easy, CURLOPT_CAPATH, OrNull(system.folder));
  }
}

}  // namespace

void ApplyTransferSettings(CURL* easy, TransferWatch& watch) {
  ApplyTrust(easy, watch.kind());
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // Behind a proxy, the header callback sees the service's response only.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

  const TransferLimits& limits = watch.limits();
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, Milliseconds(limits.connect));
  if (watch.kind() == TransferWatch::Kind::Request)
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, Milliseconds(limits.request));
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &watch);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
}

namespace {

// Where the body goes, and how much of it the cap allows. Written data is handed to the
// disk every few MiB as it comes, so that the fsync at the end finds little left to wait for.
struct Sink {
  static constexpr std::uint64_t kWritebackStep = 4u << 20;
  int fd = -1;
  std::uint64_t cap = 0;
  std::uint64_t written = 0;
  std::uint64_t handedToDisk = 0;
  bool beyondCap = false;
  int writeErrno = 0;  // why the file took no more

  bool Write(const char* data, std::size_t length) {
    for (std::size_t done = 0; done < length;) {
      const ssize_t n = write(fd, data + done, length - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        writeErrno = n < 0 ? errno : ENOSPC;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    written += length;
    return true;
  }

  void StartWriteback() {
    if (written - handedToDisk < kWritebackStep)
      return;
    sync_file_range(fd, static_cast<off_t>(handedToDisk),
                    static_cast<off_t>(written - handedToDisk), SYNC_FILE_RANGE_WRITE);
    handedToDisk = written;
  }
};

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  const std::size_t length = size * count;
  if (length > sink.cap - sink.written) {
    sink.beyondCap = true;
    return 0;  // curl ends the transfer with a write error
  }
  if (!sink.Write(data, length))
    return 0;
  sink.StartWriteback();
  return length;
}

size_t CountHeaderBytes(char*, size_t size, size_t count, void* user) {
  static_cast<TransferWatch*>(user)->HeaderBytes(size * count);
  return size * count;
}

struct Received {
  bool complete = false;
  bool beyondCap = false;  // the body, or the size it announced, went beyond the cap
  std::uint64_t bytes = 0;
  TransferError error;  // what ended it, unless complete
};

// The curl handle of the download, fetching into `sink` within the bounds of `watch`.
void SetDownloadOptions(CURL* e, const QString& url, Sink& sink, TransferWatch& watch) {
  curl_easy_setopt(e, CURLOPT_URL, url.toUtf8().constData());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 100L * 1024);
  // An announced size beyond the cap fails at once.
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.cap));
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &WriteToFile);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CountHeaderBytes);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &watch);
  ApplyTransferSettings(e, watch);
}

// Fetches `url` into the file `fd`, within the download's bounds and at most `cap` bytes.
Received Transfer(const QString& url, int fd, std::uint64_t cap) {
  EnsureCurlInitialised();
  const EasyHandle easy(curl_easy_init());
  if (!easy)
    return {false, false, 0, TransferError::Curl(CURLE_FAILED_INIT, "no curl handle")};
  TransferWatch watch(TransferWatch::Kind::Download, CurrentTransferLimits());
  Sink sink{fd, cap};
  char errorText[CURL_ERROR_SIZE] = {};
  SetDownloadOptions(easy.get(), url, sink, watch);
  curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, errorText);
  const CURLcode result = curl_easy_perform(easy.get());
  Received received{
      result == CURLE_OK, sink.beyondCap || result == CURLE_FILESIZE_EXCEEDED, sink.written, {}};
  if (sink.writeErrno != 0)
    received.error = TransferError::File("writing the file", sink.writeErrno);
  else if (!received.complete)
    received.error = TransferErrorOf(easy.get(), result, watch, errorText);
  return received;
}

// Why a fetch of `received` is refused, or kNone: beyond the cap, or not the announced file.
TransferError Refusal(const Received& received, int fd, std::uint64_t cap,
                      const AnnouncedFile& announced) {
  const std::uint64_t bound = CurrentTransferLimits().downloadCap;
  if (received.beyondCap && cap < bound) {
    LogLongerThanAnnounced(announced);
    return TransferError::Of(TransferError::Kind::kRefused);
  }
  if (received.beyondCap)
    return TransferError::Bound("more than " + std::to_string(bound) +
                                " bytes (the download bound)");
  if (!received.complete)
    return received.error;
  if (!IsAnnouncedFile(fd, received.bytes, announced))
    return TransferError::Of(TransferError::Kind::kRefused);
  return {};
}

}  // namespace

FetchedFile FetchFirmware(const QString& url, const QString& folder, const QString& name,
                          const AnnouncedFile& announced) {
  std::optional<DownloadFile> file = DownloadFile::Create(folder);
  if (!file) {
    const int error = errno;
    return {std::nullopt, TransferError::File("making the file in " + folder.toStdString(), error)};
  }
  // Bytes beyond the announced size are not fetched: the file is refused anyway.
  const std::uint64_t cap =
      std::min<std::uint64_t>(CurrentTransferLimits().downloadCap,
                              static_cast<std::uint64_t>(std::max(0, announced.fileSize)));
  const Received received = Transfer(url, file->fd(), cap);
  if (TransferError refused = Refusal(received, file->fd(), cap, announced); refused.failed())
    return {std::nullopt, std::move(refused)};
  if (!file->Sync()) {
    const int error = errno;
    return {std::nullopt, TransferError::File("writing the file to the disk", error)};
  }
  errno = 0;
  std::optional<QString> path = file->Place(name);
  if (!path) {
    const int error = errno;
    return {std::nullopt, TransferError::File("naming the file " + name.toStdString(), error)};
  }
  return {std::move(path), {}};
}
