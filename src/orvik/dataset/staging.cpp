#include "orvik/dataset/staging.h"

#include <mutex>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "orvik/dataset/sqlite_db.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::orvik {

namespace {

using detail::Db;
using detail::RetryOutcome;
using detail::Statement;
using detail::Transaction;

std::string create_table_sql() {
  std::string sql = "CREATE TABLE IF NOT EXISTS " + detail::quote_ident(core::db_data_table()) + " (";
  const auto& cols = core::vexa_columns();
  for (std::size_t i = 0; i < cols.size(); ++i) sql += (i ? ", " : "") + detail::quote_ident(cols[i]) + " TEXT";
  return sql + ")";
}

std::string insert_sql() {
  std::string sql = "INSERT INTO " + detail::quote_ident(core::db_data_table()) + " (";
  std::string marks;
  const auto& cols = core::vexa_columns();
  for (std::size_t i = 0; i < cols.size(); ++i) {
    sql += (i ? ", " : "") + detail::quote_ident(cols[i]);
    marks += i ? ", ?" : "?";
  }
  return sql + ") VALUES (" + marks + ")";
}

// Binds a text that outlives the statement's step.
void bind_text(sqlite3_stmt* st, int i, const std::string& s) {
  sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
}

// A value as received: text as it is, null as NULL, anything else as its
// text form.
void bind_value(sqlite3_stmt* st, int i, const Json& v, std::string& scratch) {
  if (v.is_null()) {
    sqlite3_bind_null(st, i);
  } else if (v.is_string()) {
    bind_text(st, i, v.get_ref<const std::string&>());
  } else {
    scratch = py_str(v);
    sqlite3_bind_text(st, i, scratch.data(), static_cast<int>(scratch.size()), SQLITE_TRANSIENT);
  }
}

// The columns of `vexa_columns`, in that order.
void bind_record(sqlite3_stmt* st, const RequestRecord& r) {
  std::string scratch;
  int i = 0;
  bind_text(st, ++i, r.id);
  sqlite3_bind_int64(st, ++i, r.bt);
  bind_value(st, ++i, r.lm, scratch);
  sqlite3_bind_int64(st, ++i, r.timestamp);
  bind_value(st, ++i, r.request_id, scratch);
  bind_value(st, ++i, r.request_type, scratch);
  bind_value(st, ++i, r.mz, scratch);
  bind_value(st, ++i, r.ip, scratch);
  bind_value(st, ++i, r.vhost, scratch);
  sqlite3_bind_int64(st, ++i, r.port);
  bind_value(st, ++i, r.method, scratch);
  for (const std::string* s :
       {&r.url, &r.args, &r.cookie, &r.ua, &r.referer, &r.other_headers, &r.body, &r.cc, &r.content_type, &r.jbody})
    bind_text(st, ++i, *s);
  sqlite3_bind_int64(st, ++i, r.status_code);
}

// One append in one transaction.
void append_rows(const RequestTable& dfs, const std::string& db_fname, const LogSink& sink) {
  Db db(db_fname);
  // Rows of a few hundred bytes pack into large pages at less cost; a file
  // keeps the page size it was created with.
  db.exec("PRAGMA page_size=32768");
  Transaction tx(db, true);
  db.exec(create_table_sql());
  Statement ins(db, insert_sql());
  for (const auto& r : dfs) {
    bind_record(ins.get(), r);
    ins.step();
    sqlite3_reset(ins.get());
  }
  core::log_processing(sink, "info", "ml",
                       "Stored data to file " + db_fname + ": " + std::to_string(dfs.size()) + " request(s)");
  tx.commit();
}

}  // namespace

void put_data_into_db(const RequestTable& dfs, const LockMap& db_processing_lock, const std::string& ml_vhost,
                      const std::string& db_fname, const LogSink& sink) {
  const std::string failed = "An error occurred while storing data to file " + db_fname + ": ";
  try {
    if (sink.debug)
      core::log_processing(sink, "debug", "ml",
                           "Storing data to file " + db_fname + ": " + std::to_string(dfs.size()) + " request(s)");
    auto attempt = [&] {
      std::lock_guard g(detail::host_lock(db_processing_lock, ml_vhost));
      append_rows(dfs, db_fname, sink);
    };
    std::string error;
    bool damaged = false;
    RetryOutcome out = detail::retry_locked(attempt, error, &damaged);
    if (out == RetryOutcome::failed && damaged) {
      // A new file in place of the damaged one takes the rows.
      core::log_processing(sink, "error", "os", failed + error);
      {
        std::lock_guard g(detail::host_lock(db_processing_lock, ml_vhost));
        detail::move_aside(db_fname, sink);
      }
      out = detail::retry_locked(attempt, error);
    }
    if (out != RetryOutcome::done) core::log_processing(sink, "error", "os", failed + error);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "os", failed + e.what());
  }
}

std::int64_t get_cnt_from_db(const std::string& db_fname, const LogSink& sink) {
  std::int64_t cnt = 0;
  const std::string& table = core::db_data_table();
  auto attempt = [&] {
    Db db(db_fname);
    Transaction tx(db, false);
    if (db.has_table(table)) {
      Statement st(db, " SELECT COUNT(*) FROM " + detail::quote_ident(table) + "; ");
      if (st.step()) cnt = sqlite3_column_int64(st.get(), 0);
      const std::string found = "Found " + std::to_string(cnt) + " record(s) in file " + db_fname;
      if (cnt != 0)
        core::log_processing(sink, "info", "ml", found);
      else if (sink.debug)
        core::log_processing(sink, "debug", "ml", found);
    } else {
      core::log_processing(sink, "warn", "os", "Table \"" + table + "\" is not found in " + db_fname);
    }
    tx.commit();
  };
  std::string error;
  if (detail::retry_locked(attempt, error) != RetryOutcome::done)
    core::log_processing(sink, "error", "os",
                         "An error occurred while processing data in file " + db_fname + ": " + error);
  return cnt;
}

namespace detail {

bool truncate_rows(const std::string& ml_vhost, const std::string& db_fname, const LockMap& locks, const LogSink& sink,
                   const std::int64_t* max_rowid) {
  try {
    core::log_processing(sink, "info", "ml", "Dropping main table after successful processing");
    const std::string table = quote_ident(core::db_data_table());
    auto attempt = [&] {
      std::lock_guard g(host_lock(locks, ml_vhost));
      Db db(db_fname);
      Transaction tx(db, true);
      if (max_rowid) {
        Statement st(db, "DELETE FROM " + table + " WHERE rowid <= ?;");
        sqlite3_bind_int64(st.get(), 1, *max_rowid);
        st.step();
      } else {
        db.exec("DELETE FROM " + table + ";");
      }
      tx.commit();
    };
    std::string error;
    if (retry_locked(attempt, error) == RetryOutcome::done) return true;
    core::log_processing(sink, "error", "os", "An error occurred while processes file " + db_fname + ": " + error);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "misc", std::string("An error occurred in db_reset: ") + e.what());
  }
  return false;
}

}  // namespace detail

void db_truncate(const std::string& ml_vhost, const std::string& db_fname, const LockMap& db_processing_lock,
                 const LogSink& sink) {
  detail::truncate_rows(ml_vhost, db_fname, db_processing_lock, sink, nullptr);
}

}  // namespace tessel::orvik
