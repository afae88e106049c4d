#include "orvik/dataset/sqlite_db.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "core/base/log.h"
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
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
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

namespace {

// The copies of `path` moved aside, by number: "<path>.corrupt" is 0,
// "<path>.corrupt.<n>" is n.
std::map<long, std::filesystem::path> corrupt_copies(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::map<long, fs::path> out;
  const std::string base = path.filename().string() + ".corrupt";
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name == base) {
      out.emplace(0, it->path());
    } else if (name.size() > base.size() + 1 && name.compare(0, base.size() + 1, base + ".") == 0) {
      const std::string n = name.substr(base.size() + 1);
      if (n.size() <= 9 && std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
        out.emplace(std::stol(n), it->path());
    }
  }
  return out;
}

constexpr const char* kSideFiles[] = {"-journal", "-wal", "-shm"};

}  // namespace

std::string move_aside(const std::string& path, const LogSink& sink) {
  namespace fs = std::filesystem;
  auto copies = corrupt_copies(path);
  // Numbers only grow, so the highest numbers are the newest copies.
  std::string target =
      copies.empty() ? path + ".corrupt" : path + ".corrupt." + std::to_string(copies.rbegin()->first + 1);
  fs::rename(path, target);
  for (const char* side : kSideFiles) {
    std::error_code ec;
    if (fs::exists(path + side, ec)) fs::rename(path + side, target + side, ec);
  }
  core::log_processing(sink, "error", "os", "File " + path + " moved to " + target);
  // The new copy and the newest older ones stay.
  while (copies.size() + 1 > kCorruptCopiesKept) {
    const fs::path old = copies.begin()->second;
    copies.erase(copies.begin());
    std::error_code ec;
    fs::remove(old, ec);
    for (const char* side : kSideFiles) {
      std::error_code side_ec;
      fs::remove(old.string() + side, side_ec);
    }
    if (!ec) core::log_processing(sink, "info", "os", "Older damaged copy " + old.string() + " deleted");
  }
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
