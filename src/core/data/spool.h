#pragma once
// The request spool: batches of WAF request messages written to disk while
// the host is overloaded and read back later, each by exactly one reader.
//
// Layout of the spool directory: one file per batch, named
// "<20-digit UNIX nanoseconds>-<pid>-<thread id>-<counter>.jsonl", holding
// one message (a JSON object) per line, in Python's JSON form. A file is written under a hidden
// temporary name and renamed into place, so a reader never sees a partial
// batch. A reader claims a file by renaming it to "<name>.claimed.<pid>";
// the claimed file is deleted once the batch has been handed on, or renamed
// back when it could not be. A claim left by a process that no longer runs
// is taken over by the next load.
#include <optional>
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

struct SpooledBatch {
  std::vector<Json> data;
  std::string path;  // the claimed file
};

// Stores one batch; false after a logged failure.
bool rmq_vexa_data_save(const std::vector<Json>& rdata, const std::string& rmq_vexa_dir, const LogSink& sink);

// Claims and reads the oldest batch; nothing when the spool holds none (or
// after a logged failure).
std::optional<SpooledBatch> rmq_vexa_data_load(const std::string& rmq_vexa_dir, const LogSink& sink);

// The claimed batch has been handed on: its file goes.
void rmq_vexa_data_done(const SpooledBatch& batch, const LogSink& sink);

// The claimed batch could not be handed on: it goes back for a later load.
void rmq_vexa_data_putback(const SpooledBatch& batch, const LogSink& sink);

}  // namespace tessel::core
