#include "service/transfer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "service/config.h"

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
        limits_.minRate * static_cast<std::uint64_t>(elapsed.count()))
      return true;
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
  return responding_ && now - lastMove_ > limits_.idle;
}

namespace {
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  return static_cast<TransferWatch*>(user)->Expired(downloaded, uploaded) ? 1 : 0;
}

long Milliseconds(std::chrono::milliseconds limit) {
  return static_cast<long>(std::max<long long>(1, limit.count()));
}
}  // namespace

void ApplyTransferSettings(CURL* easy, TransferWatch& watch) {
  const ServiceConfig& config = CurrentServiceConfig();
  if (!config.caFile.empty())
    curl_easy_setopt(easy, CURLOPT_CAINFO, config.caFile.c_str());
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

// A download's file while it is written: beside its final place under a name of its own,
// locked (flock) while the download runs, so that a later download can tell the file of a
// killed run, which it removes, from one being written.
constexpr char kPartPrefix[] = ".zav-download-";

void RemoveStaleParts(const QString& folder) {
  const QDir dir(folder);
  for (const QString& name :
       dir.entryList({QString(kPartPrefix) + '*'}, QDir::Files | QDir::Hidden)) {
    QFile part(dir.filePath(name));
    if (part.open(QIODevice::ReadOnly) && flock(part.handle(), LOCK_EX | LOCK_NB) == 0)
      unlink(QFile::encodeName(part.fileName()).constData());
  }
}

// Creates and locks a new file in `folder`; the mode is 0666 less the umask, as for any file
// the user makes.
bool CreatePart(const QString& folder, QFile& part) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const quint64 tag = QRandomGenerator::global()->generate64();
    part.setFileName(folder + "/" + kPartPrefix + QString::number(tag, 36));
    if (part.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
      return flock(part.handle(), LOCK_EX | LOCK_NB) == 0;
    if (!part.exists())
      return false;  // the folder cannot be written
  }
  return false;
}

// Where the body goes, and how much of it the cap allows. Written data is handed to the
// disk every few MiB as it comes, so that the fsync at the end finds little left to wait for.
struct Sink {
  static constexpr std::uint64_t kWritebackStep = 4u << 20;
  QFile* file = nullptr;
  std::uint64_t cap = 0;
  std::uint64_t written = 0;
  std::uint64_t handedToDisk = 0;

  void StartWriteback() {
    if (written - handedToDisk < kWritebackStep)
      return;
    sync_file_range(file->handle(), static_cast<off_t>(handedToDisk),
                    static_cast<off_t>(written - handedToDisk), SYNC_FILE_RANGE_WRITE);
    handedToDisk = written;
  }
};

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  const std::size_t length = size * count;
  if (length > sink.cap - sink.written)
    return 0;  // beyond the cap: curl ends the transfer with a write error
  if (sink.file->write(data, static_cast<qint64>(length)) != static_cast<qint64>(length))
    return 0;
  sink.written += length;
  sink.StartWriteback();
  return length;
}

size_t CountHeaderBytes(char*, size_t size, size_t count, void* user) {
  static_cast<TransferWatch*>(user)->HeaderBytes(size * count);
  return size * count;
}

// Fetches `url` into `file`, within the download's bounds.
bool Transfer(const QString& url, QFile& file) {
  EnsureCurlInitialised();
  const EasyHandle easy(curl_easy_init());
  if (!easy)
    return false;
  TransferWatch watch(TransferWatch::Kind::Download, CurrentTransferLimits());
  Sink sink{&file, watch.limits().downloadCap};
  CURL* e = easy.get();
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
  return curl_easy_perform(e) == CURLE_OK;
}

// Makes a rename in `folder` durable.
void SyncFolder(const QString& folder) {
  const int fd = open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

bool FetchToFile(const QString& url, const QString& path) {
  const QString folder = QFileInfo(path).absolutePath();
  RemoveStaleParts(folder);
  QFile part;
  const bool ok = CreatePart(folder, part) && Transfer(url, part) && fsync(part.handle()) == 0 &&
                  std::rename(QFile::encodeName(part.fileName()).constData(),
                              QFile::encodeName(path).constData()) == 0;
  // Removed while still locked, so that no other download takes it for a stale one first.
  if (!ok && part.isOpen())
    unlink(QFile::encodeName(part.fileName()).constData());
  part.close();
  if (ok)
    SyncFolder(folder);
  return ok;
}
