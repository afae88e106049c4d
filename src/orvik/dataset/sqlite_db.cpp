#include "orvik/dataset/sqlite_db.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "orvik/dataset/staging.h"

namespace tessel::orvik::detail {

namespace {
std::mutex pause_mu;
PauseFn pause_fn;
std::atomic<int> busy_timeout_ms{5000};
}  // namespace

void set_busy_timeout_for_testing(std::chrono::milliseconds d) { busy_timeout_ms = static_cast<int>(d.count()); }

void set_pause_for_testing(PauseFn fn) {
  std::lock_guard g(pause_mu);
  pause_fn = std::move(fn);
}

void pause(std::chrono::milliseconds d) {
  PauseFn fn;
  {
    std::lock_guard g(pause_mu);
    fn = pause_fn;
  }
  if (fn)
    fn(d);
  else
    std::this_thread::sleep_for(d);
}

Db::Db(const std::string& path) {
  // No allocation statistics: a lock fewer on every allocation. Takes
  // effect only before SQLite's first use, which is here.
  static const int configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  (void)configured;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    const std::string text = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw SqliteError(rc, text);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busy_timeout_ms.load());
}

Db::~Db() { sqlite3_close_v2(db_); }

void Db::fail() { throw SqliteError(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)); }

void Db::exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail();
}

bool Db::has_table(const std::string& name) {
  Statement st(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  sqlite3_bind_text(st.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  return st.step();
}

Statement::Statement(Db& db, const std::string& sql) : db_(db) {
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), static_cast<int>(sql.size()), &st_, nullptr) != SQLITE_OK) db.fail();
}

Statement::~Statement() { sqlite3_finalize(st_); }

bool Statement::step() {
  const int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.fail();
}

void Statement::reset() {
  sqlite3_reset(st_);
  sqlite3_clear_bindings(st_);
}

Transaction::Transaction(Db& db, bool immediate) : db_(db) { db.exec(immediate ? "BEGIN IMMEDIATE" : "BEGIN"); }

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  db_.exec("COMMIT");
  open_ = false;
}

std::string quote_ident(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string cell_text(sqlite3_stmt* st, int col) {
  switch (sqlite3_column_type(st, col)) {
    case SQLITE_NULL:
      return {};
    case SQLITE_INTEGER:
      return std::to_string(sqlite3_column_int64(st, col));
    default: {
      const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
      return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st, col))) : std::string();
    }
  }
}

ProcessLock& host_lock(const LockMap& locks, const std::string& ml_vhost) {
  const auto it = locks.find(ml_vhost);
  if (it == locks.end() || !it->second) throw std::out_of_range("'" + ml_vhost + "'");
  return *it->second;
}

std::string move_aside(const std::string& path, const LogSink& sink) {
  namespace fs = std::filesystem;
  std::string target = path + ".corrupt";
  for (int n = 1; fs::exists(target); ++n) target = path + ".corrupt." + std::to_string(n);
  fs::rename(path, target);
  for (const char* side : {"-journal", "-wal", "-shm"}) {
    std::error_code ec;
    if (fs::exists(path + side, ec)) fs::rename(path + side, target + side, ec);
  }
  core::log_processing(sink, "error", "os", "File " + path + " moved to " + target);
  return target;
}

RetryOutcome retry_locked(const std::function<void()>& attempt, std::string& error, bool* damaged) {
  for (int cnt = 0; cnt < 60; ++cnt) {
    try {
      attempt();
      return RetryOutcome::done;
    } catch (const SqliteError& e) {
      if (!e.locked()) {
        error = e.what();
        if (damaged) *damaged = e.damaged();
        return RetryOutcome::failed;
      }
    } catch (const std::exception& e) {
      if (std::string_view(e.what()).find("database is locked") == std::string_view::npos) {
        error = e.what();
        if (damaged) *damaged = false;
        return RetryOutcome::failed;
      }
    }
    pause(std::chrono::seconds(1));
  }
  error = "database is locked";
  return RetryOutcome::locked_out;
}

}  // namespace tessel::orvik::detail
