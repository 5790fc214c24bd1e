#include "service/download_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <string>

#include "service/firmware_file.h"

namespace {

// Named files of downloads: beside their place, hidden, each under a name of its own.
constexpr char kPartPrefix[] = ".zav-download-";
// How many numbered names a download tries before it gives up.
constexpr int kMostNumbered = 999;

bool g_allowUnnamed = true;

QByteArray Bytes(const QString& path) {
  return QFile::encodeName(path);
}

QString PartName() {
  return kPartPrefix + QString::number(QRandomGenerator::global()->generate64(), 36);
}

// Removes the named files of killed runs: those no running download holds locked.
void RemoveStaleParts(const QString& folder) {
  const QDir dir(folder);
  for (const QString& name :
       dir.entryList({QString(kPartPrefix) + '*'}, QDir::Files | QDir::Hidden)) {
    const QByteArray path = Bytes(dir.filePath(name));
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
      continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
      unlink(path.constData());
    close(fd);
  }
}

// An unnamed file in `folder`, locked: a name it is linked under for a moment (Replace) must
// look like a running download's to a stale-file sweep. -1 where the file system (or a
// missing /proc, through which it is linked) does not allow one.
int CreateUnnamed(const QString& folder) {
  if (!g_allowUnnamed || access("/proc/self/fd", X_OK) != 0)
    return -1;
  const int fd = open(Bytes(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0)
    flock(fd, LOCK_EX);
  return fd;
}

// A new named file in `folder`, locked; -1 when the folder cannot be written.
int CreateNamed(const QString& folder, QString* path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = folder + '/' + PartName();
    const int fd = open(Bytes(*path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      flock(fd, LOCK_EX);
      return fd;
    }
    if (errno != EEXIST)
      return -1;
  }
  return -1;
}

// "stem (n).ext", as browsers number a download whose name is taken.
QString Numbered(const QString& name, int n) {
  const qsizetype dot = name.lastIndexOf('.');
  const QString number = QStringLiteral(" (%1)").arg(n);
  if (dot <= 0)
    return name + number;
  return name.left(dot) + number + name.mid(dot);
}

enum class Occupant { kNone, kOurImage, kOther, kUnknown };

// What lies at `path`: only a regular file (not a link to one) that begins as our images do
// is an earlier download of ours.
Occupant OccupantOf(const QString& path) {
  struct stat st {};
  const QByteArray bytes = Bytes(path);
  if (lstat(bytes.constData(), &st) != 0)
    return errno == ENOENT ? Occupant::kNone : Occupant::kUnknown;
  if (!S_ISREG(st.st_mode))
    return Occupant::kOther;
  const int fd = open(bytes.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0)
    return Occupant::kOther;
  const bool ours = IsFirmwareImage(fd);
  close(fd);
  return ours ? Occupant::kOurImage : Occupant::kOther;
}

// Gives the unnamed file `fd` the name `target`, through /proc as linkat needs it.
int LinkUnnamed(int fd, const QByteArray& target) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW);
}

// Makes the names in `folder` durable.
void SyncFolder(const QString& folder) {
  const int fd = open(Bytes(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

void DownloadFile::AllowUnnamed(bool allowed) {
  g_allowUnnamed = allowed;
}

std::optional<DownloadFile> DownloadFile::Create(const QString& folder) {
  RemoveStaleParts(folder);
  if (const int fd = CreateUnnamed(folder); fd >= 0)
    return DownloadFile(folder, fd, QString());
  QString path;
  if (const int fd = CreateNamed(folder, &path); fd >= 0)
    return DownloadFile(folder, fd, path);
  return std::nullopt;
}

DownloadFile::DownloadFile(QString folder, int fd, QString partPath)
    : folder_(std::move(folder)), fd_(fd), partPath_(std::move(partPath)) {}

DownloadFile::DownloadFile(DownloadFile&& other) noexcept
    : folder_(std::move(other.folder_)), fd_(other.fd_), partPath_(std::move(other.partPath_)) {
  other.fd_ = -1;
  other.partPath_.clear();
}

DownloadFile::~DownloadFile() {
  // Removed while still locked, so that no other download takes it for a stale one first.
  if (named())
    unlink(Bytes(partPath_).constData());
  if (fd_ >= 0)
    close(fd_);
}

bool DownloadFile::Sync() {
  return fsync(fd_) == 0;
}

// Takes `path` only if nothing is there, whatever appears meanwhile.
DownloadFile::Linked DownloadFile::LinkNew(const QString& path) {
  const QByteArray target = Bytes(path);
  int rc = 0;
  if (named()) {
    rc = renameat2(AT_FDCWD, Bytes(partPath_).constData(), AT_FDCWD, target.constData(),
                   RENAME_NOREPLACE);
    // A file system without the flag: the name was free a moment ago.
    if (rc != 0 && errno == EINVAL)
      rc = rename(Bytes(partPath_).constData(), target.constData());
    if (rc == 0)
      partPath_.clear();
  } else {
    rc = LinkUnnamed(fd_, target);
  }
  if (rc == 0)
    return Linked::kDone;
  return errno == EEXIST ? Linked::kTaken : Linked::kFailed;
}

// Takes the place of an earlier image at `path` in one step.
bool DownloadFile::Replace(const QString& path) {
  const QByteArray target = Bytes(path);
  if (named()) {
    if (rename(Bytes(partPath_).constData(), target.constData()) != 0)
      return false;
    partPath_.clear();
    return true;
  }
  // An unnamed file cannot be linked over another: it gets a name of its own first.
  const QString part = folder_ + '/' + PartName();
  if (LinkUnnamed(fd_, Bytes(part)) != 0)
    return false;
  if (rename(Bytes(part).constData(), target.constData()) != 0) {
    unlink(Bytes(part).constData());
    return false;
  }
  return true;
}

std::optional<QString> DownloadFile::Place(const QString& name) {
  int n = 0;
  // A free name taken between the look and the link is looked at again, within a bound.
  for (int tries = 0; n <= kMostNumbered && tries <= 2 * kMostNumbered; ++tries) {
    const QString path = folder_ + '/' + (n == 0 ? name : Numbered(name, n));
    switch (OccupantOf(path)) {
      case Occupant::kOther:
        ++n;
        continue;
      case Occupant::kUnknown:
        return std::nullopt;
      case Occupant::kOurImage:
        if (!Replace(path))
          return std::nullopt;
        break;
      case Occupant::kNone:
        if (const Linked linked = LinkNew(path); linked == Linked::kTaken)
          continue;
        else if (linked == Linked::kFailed)
          return std::nullopt;
        break;
    }
    SyncFolder(folder_);
    return path;
  }
  return std::nullopt;
}
