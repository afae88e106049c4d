#pragma once
// The staging table: per protected host one SQLite file with one table of
// the requests collected while the host is in training.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "shared/runtime/lock.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/request.h"

namespace tessel::orvik {

// Every access to a staging file is retried while SQLite reports "database
// is locked": at most 60 attempts, 1 s apart, the host's lock released
// during the pause. A file that is not an SQLite database, or is damaged,
// is moved aside to "<db_fname>.corrupt" (".corrupt.1", ... when taken) and
// a new one is started; none of these throws.

// Appends the rows of `dfs` (columns `vexa_columns`) to the staging table of
// `db_fname` in one transaction, holding db_processing_lock[ml_vhost]; an
// empty table creates the staging table. The caller must not hold the lock.
void put_data_into_db(const RequestTable& dfs, const LockMap& db_processing_lock, const std::string& ml_vhost,
                      const std::string& db_fname, const LogSink& sink);

// The number of staged rows; 0 when the table is missing or on a failure
// (logged). Takes no lock.
std::int64_t get_cnt_from_db(const std::string& db_fname, const LogSink& sink);

// Deletes every staged row, holding db_processing_lock[ml_vhost].
void db_truncate(const std::string& ml_vhost, const std::string& db_fname, const LockMap& db_processing_lock,
                 const LogSink& sink);

namespace detail {
// The pauses of the training data store (after a locked attempt, on a
// pending restart). Tests replace them; an empty function restores sleeping.
using PauseFn = std::function<void(std::chrono::milliseconds)>;
void set_pause_for_testing(PauseFn fn);
void pause(std::chrono::milliseconds d);
// How long one attempt waits on SQLite's own lock before it reports the
// file locked (5 s); tests shorten it.
void set_busy_timeout_for_testing(std::chrono::milliseconds d);
}  // namespace detail

}  // namespace tessel::orvik
