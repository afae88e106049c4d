#include "core/base/log.h"

#include <cstdio>

#include "shared/pyvalues/utf8.h"
#include "shared/runtime/child.h"

namespace tessel::core {

namespace {
int levelno_of(std::string_view level) {
  if (level == "debug") return DEBUG;
  if (level == "info") return INFO;
  if (level == "warn" || level == "warning") return WARNING;
  if (level == "error") return ERROR;
  if (level == "fatal" || level == "critical") return CRITICAL;
  return INFO;
}
}  // namespace

Json make_event(std::string_view level, std::string_view category, std::string_view text) {
  Json ev = Json::object();
  // Four distinct keys: appended in place, no look-up.
  auto& fields = ev.get_ref<Json::object_t&>();
  fields.reserve(4);
  fields.emplace_back("timestamp", unix_now());
  fields.emplace_back("level", utf8_sanitize(level));
  fields.emplace_back("category", utf8_sanitize(category));
  fields.emplace_back("message", utf8_sanitize(text));
  return ev;
}

void log_processing(const LogSink& sink, std::string_view level, std::string_view category,
                    std::string_view text) noexcept {
  try {
    const int levelno = levelno_of(level);
    if (levelno == DEBUG) {
      sink.log->handle(LogRecord{sink.log->name(), DEBUG, std::string(text), std::chrono::system_clock::now()});
    } else if (levelno >= sink.log->level()) {
      sink.log->log(levelno, std::string(text));
    }
  } catch (...) {
    std::fputs("log_processing: the record could not be written\n", stderr);
  }
  if (!sink.q_ec) return;
  try {
    sink.q_ec->put(make_event(level, category, text));
  } catch (...) {
    std::fputs("log_processing: the event could not be queued\n", stderr);
  }
}

}  // namespace tessel::core
