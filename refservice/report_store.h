// The reference service's store of the result reports it receives: a SQLite table, in a file
// or in memory, each report kept as it came. Safe to use from the server's threads.
// Internal to refservice/.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "refservice/refservice.h"

class ReportStore {
 public:
  ReportStore() = default;
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;
  ~ReportStore();

  // Opens the store at `path` (":memory:" for a private one) and makes its table, once; true
  // when it is open.
  bool Open(const std::string& path);
  // Keeps a report; its id, 0 when it could not be stored.
  std::int64_t Add(std::string_view body);
  // Every report, oldest first; none before Open.
  std::vector<StoredReport> All() const;

  // The reports of a store file, e.g. one written by an earlier run.
  static std::vector<StoredReport> Read(const std::filesystem::path& file);

 private:
  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;
};
