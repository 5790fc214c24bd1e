// The file a firmware download is written into, and the name it takes once complete.
// Internal to service/ (tests use AllowUnnamed).
//
// The file is made unnamed (O_TMPFILE) in the folder it is meant for and linked in when
// complete: no other program or instance of the tool can see or remove it while it is
// written, and a killed run leaves nothing. Where the file system cannot make unnamed files,
// it is a hidden file of its own beside its place, locked (flock) while the download runs,
// so that a later download can tell the file of a killed run, which it removes, from one
// being written.
#pragma once

#include <QString>
#include <optional>

class DownloadFile {
 public:
  // A new file in `folder`, readable and writable; its mode is 0666 less the umask, as for
  // any file the user makes. Removes what killed runs left there first.
  static std::optional<DownloadFile> Create(const QString& folder);
  // Tests: false stands in for a file system that refuses unnamed files.
  static void AllowUnnamed(bool allowed);

  DownloadFile(DownloadFile&& other) noexcept;
  DownloadFile& operator=(DownloadFile&&) = delete;
  ~DownloadFile();  // a file not placed is gone

  int fd() const { return fd_; }
  bool named() const { return !partPath_.isEmpty(); }
  // Puts the written data on the disk.
  bool Sync();

  // Gives the complete file its name in the folder: `name`, replacing an earlier firmware
  // image of ours there; where a file of that name is anything else, it is kept and the
  // download takes the first of "stem (1).ext", "stem (2).ext", ... that is free or holds an
  // image of ours. Returns the path, nullopt when no name could be taken.
  std::optional<QString> Place(const QString& name);

 private:
  enum class Linked { kDone, kTaken, kFailed };

  DownloadFile(QString folder, int fd, QString partPath);
  Linked LinkNew(const QString& path);
  bool Replace(const QString& path);

  QString folder_;
  int fd_ = -1;
  QString partPath_;  // the named file's path; empty for an unnamed one or once placed
};
