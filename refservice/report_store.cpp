#include "refservice/report_store.h"

#include <chrono>

namespace {

constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS reports ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " received_ms INTEGER NOT NULL,"
    " body BLOB NOT NULL)";

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::vector<StoredReport> QueryReports(sqlite3* db) {
  std::vector<StoredReport> reports;
  Statement select(db, "SELECT id, received_ms, body FROM reports ORDER BY id");
  if (select.get() == nullptr)
    return reports;
  while (sqlite3_step(select.get()) == SQLITE_ROW) {
    StoredReport report;
    report.id = sqlite3_column_int64(select.get(), 0);
    report.receivedMs = sqlite3_column_int64(select.get(), 1);
    const void* blob = sqlite3_column_blob(select.get(), 2);
    const int size = sqlite3_column_bytes(select.get(), 2);
    if (blob != nullptr)
      report.body.assign(static_cast<const char*>(blob), static_cast<std::size_t>(size));
    reports.push_back(std::move(report));
  }
  return reports;
}

}  // namespace

ReportStore::~ReportStore() {
  sqlite3_close(db_);
}

bool ReportStore::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (db_ != nullptr)
    return true;
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) ==
          SQLITE_OK &&
      sqlite3_exec(db_, kCreateTable, nullptr, nullptr, nullptr) == SQLITE_OK)
    return true;
  sqlite3_close(db_);
  db_ = nullptr;
  return false;
}

std::int64_t ReportStore::Add(std::string_view body) {
  std::lock_guard lock(mutex_);
  Statement insert(db_, "INSERT INTO reports (received_ms, body) VALUES (?, ?)");
  sqlite3_bind_int64(insert.get(), 1, NowMillis());
  sqlite3_bind_blob(insert.get(), 2, body.data(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
  if (sqlite3_step(insert.get()) != SQLITE_DONE)
    return 0;
  return sqlite3_last_insert_rowid(db_);
}

std::vector<StoredReport> ReportStore::All() const {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr)
    return {};
  return QueryReports(db_);
}

std::vector<StoredReport> ReportStore::Read(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  std::vector<StoredReport> reports;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
    reports = QueryReports(db);
  sqlite3_close(db);
  return reports;
}
