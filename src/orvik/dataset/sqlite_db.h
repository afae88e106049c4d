#pragma once
// A connection to a staging file for the length of one attempt, and the
// retry rule every access follows.
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "shared/runtime/lock.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik::detail {

// An SQLite failure; what() is SQLite's message ("database is locked").
class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
  int code() const { return code_; }
  bool locked() const { return std::string_view(what()).find("database is locked") != std::string_view::npos; }
  // The file is not a database or is damaged.
  bool damaged() const { return (code_ & 0xff) == SQLITE_NOTADB || (code_ & 0xff) == SQLITE_CORRUPT; }

 private:
  int code_;
};

class Statement;

class Db {
 public:
  // Opens (creating when missing) with a 5 s busy wait.
  explicit Db(const std::string& path);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void exec(const std::string& sql);
  bool has_table(const std::string& name);
  sqlite3* get() const { return db_; }
  [[noreturn]] void fail();

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(Db& db, const std::string& sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  // True while a row is available.
  bool step();
  void reset();
  sqlite3_stmt* get() const { return st_; }

 private:
  Db& db_;
  sqlite3_stmt* st_ = nullptr;
};

// A transaction rolled back unless committed.
class Transaction {
 public:
  Transaction(Db& db, bool immediate);
  ~Transaction();
  void commit();

 private:
  Db& db_;
  bool open_ = true;
};

// "name" with double quotes doubled.
std::string quote_ident(const std::string& name);

// The text of a cell as the dataset takes it: TEXT as is, numbers in
// decimal, NULL as "".
std::string cell_text(sqlite3_stmt* st, int col);

// db_processing_lock[ml_vhost]; a missing host throws as a key look-up does.
ProcessLock& host_lock(const LockMap& locks, const std::string& ml_vhost);

// Moves a damaged file aside and logs it; returns the new name: the first
// copy of a path is "<path>.corrupt", later ones ".corrupt.<n>" numbered
// past the highest copy present. Only the newest kCorruptCopiesKept copies
// of a path stay; older ones are deleted.
inline constexpr std::size_t kCorruptCopiesKept = 3;
std::string move_aside(const std::string& path, const LogSink& sink);

enum class RetryOutcome { done, failed, locked_out };
// Runs `attempt` at most 60 times while it fails with "database is locked",
// pausing 1 s after each; on another failure `error` gets its text and the
// outcome is `failed` (`damaged` tells whether the file is damaged).
RetryOutcome retry_locked(const std::function<void()>& attempt, std::string& error, bool* damaged = nullptr);

}  // namespace tessel::orvik::detail

namespace tessel::orvik::detail {
// db_truncate, removing only the rows up to `max_rowid` when given (rows
// staged after the read stay). True when the rows are gone.
bool truncate_rows(const std::string& ml_vhost, const std::string& db_fname, const LockMap& locks, const LogSink& sink,
                   const std::int64_t* max_rowid);
}  // namespace tessel::orvik::detail
