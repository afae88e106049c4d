#include "core/workers/senders.h"

#include <algorithm>
#include <thread>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/net/http.h"
#include "core/net/web.h"

namespace tessel::core {

Outbox::Outbox(std::string what, std::string url, std::size_t batch, std::size_t capacity, BodyFn body)
    : what_(std::move(what)),
      url_(std::move(url)),
      batch_(std::max<std::size_t>(batch, 1)),
      capacity_(std::max<std::size_t>(capacity, 1)),
      body_(std::move(body)) {}

void Outbox::add(Json item) {
  if (pending() >= capacity_) {
    if (retry_body_) {
      retry_body_.reset();
    } else {
      items_.pop_front();
    }
    ++dropped_;
  }
  items_.push_back(std::move(item));
}

void Outbox::log_rejected(std::chrono::steady_clock::time_point now, std::chrono::milliseconds retry_pause,
                          const LogSink& sink) {
  if (rejected_ == 0 || now < rejection_log_at_) return;
  log_processing(sink, "error", "api",
                 "An error occurred while sending data to " + url_ + ": " + rejection_ + "; " +
                     std::to_string(rejected_) + " " + what_ + " dropped");
  rejected_ = 0;
  rejection_log_at_ = now + retry_pause;
}

void Outbox::flush(const PostFn& post, std::chrono::steady_clock::time_point now, std::chrono::milliseconds retry_pause,
                   const LogSink& sink, std::size_t max_requests) {
  // New drops are logged at most once per retry pause.
  if (dropped_ > dropped_logged_ && now >= drop_log_at_) {
    log_processing(sink, "warn", "api",
                   std::to_string(dropped_ - dropped_logged_) + " " + what_ + " waiting for " + url_ +
                       " dropped: more than " + std::to_string(capacity_) + " were waiting (" +
                       std::to_string(dropped_) + " dropped so far)");
    dropped_logged_ = dropped_;
    drop_log_at_ = now + retry_pause;
  }
  log_rejected(now, retry_pause, sink);
  if (failing_ && now < retry_at_) return;
  for (std::size_t tried = 0; (retry_body_ || !items_.empty()) && tried < max_requests; ++tried) {
    // One item a request moves into its body, which is kept for a retry;
    // items of a larger batch are copied, so that a retry can batch them
    // with later ones.
    const bool single = batch_ == 1;
    const auto n = static_cast<std::ptrdiff_t>(single ? 1 : std::min(batch_, items_.size()));
    Json body;
    if (retry_body_) {
      body = std::move(*retry_body_);
      retry_body_.reset();
    } else if (single) {
      std::vector<Json> one;
      one.push_back(std::move(items_.front()));
      items_.pop_front();
      body = body_(std::move(one));
    } else {
      body = body_(std::vector<Json>(items_.begin(), items_.begin() + n));
    }
    try {
      post(url_, body);
    } catch (const DeliveryError& e) {
      if (!e.retry) {
        rejected_ += static_cast<std::uint64_t>(n);
        rejection_ = e.what();
        log_rejected(now, retry_pause, sink);
        if (!single) items_.erase(items_.begin(), items_.begin() + n);
        continue;
      }
      if (single) retry_body_ = std::move(body);
      if (!failing_) {
        log_processing(sink, "error", e.network ? "network" : "api",
                       "An error occurred while sending data to " + url_ + ": " + e.what() + "; " +
                           std::to_string(pending()) + " " + what_ + " kept for a retry");
      }
      failing_ = true;
      retry_at_ = now + retry_pause;
      return;
    }
    if (!single) items_.erase(items_.begin(), items_.begin() + n);
    if (failing_) {
      failing_ = false;
      log_processing(sink, "info", "api", "Sending data to " + url_ + " resumed");
    }
  }
}

namespace {

// One web session per worker, reused for its requests.
class JsonPoster {
 public:
  // The management API's proxy, headers and certificate bundle, and its
  // cookie when `with_cookie`.
  explicit JsonPoster(const ApiContext& api, bool with_cookie = false)
      : session_(init_session()), options_(request_options(api, Route::api, with_cookie)) {}

  void operator()(const std::string& url, const Json& body) {
    HttpResponse r;
    try {
      r = session_.post(url, RequestBody::json(body), options_);
    } catch (const HttpError& e) {
      const bool network = is_network_error(e.what());
      const bool retry = network || e.kind() == "ReadTimeout" || e.kind() == "ChunkedEncodingError";
      throw DeliveryError(e.what(), retry, network);
    } catch (const std::exception& e) {
      throw DeliveryError(e.what(), false, false);
    }
    if (!status_ok(r.status_code)) {
      const int s = r.status_code;
      throw DeliveryError(r.str(), s >= 500 || s == 408 || s == 429, false);
    }
  }

 private:
  HttpSession session_;
  RequestOptions options_;
};

Json identified(const std::string& key, const std::string& uuid, const std::string& ip) {
  return Json{{"key", key}, {"uuid", uuid}, {"ip", ip}};
}

Json to_array(std::vector<Json> items) {
  Json a = Json::array();
  for (auto& i : items) a.push_back(std::move(i));
  return a;
}

// The rows of a table with the given columns, in that order.
Json rows_with_columns(const RequestTable& table, const std::vector<std::string>& columns) {
  Json rows = Json::array();
  for (const auto& r : table) {
    Json full = record_to_json(r);
    Json row = Json::object();
    for (const auto& c : columns) {
      auto it = full.find(c);
      row[c] = it == full.end() ? Json() : std::move(*it);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

bool stopped(const std::stop_token& stop) { return stop.stop_requested(); }

// Moves queued items into `box` as far as its bound leaves room; the rest
// wait on the queue, so a burst of up to three times the bound is delivered
// whole. The queue keeps twice the bound while the box sends, the bound
// while the box waits for a retry: its oldest items past it are dropped and
// counted by the box, so items coming faster than the endpoint takes them
// cost bounded memory. Returns whether anything was taken or dropped.
bool take_up(EventQueue& queue, Outbox& box, std::size_t bound, std::chrono::steady_clock::time_point now) {
  bool moved = false;
  const std::size_t room = bound > box.pending() ? bound - box.pending() : 0;
  for (auto& item : queue.drain(room)) {
    box.add(std::move(item));
    moved = true;
  }
  if (box.pending() > 0) {
    const std::size_t keep = box.due(now) ? 2 * bound : bound;
    const std::size_t waiting = queue.qsize();
    if (waiting > keep) {
      box.count_dropped(queue.drain(waiting - keep).size());
      moved = true;
    }
  }
  return moved;
}

// Reports and tables wait on their queue in their own form and become JSON
// one at a time, when their box has nothing waiting. Past `bound` waiting
// (the box's item counted), the oldest are dropped and counted by the box.
// Returns whether anything was taken or dropped.
template <class T, class ToJson>
bool take_when_idle(BlockingQueue<T>& queue, Outbox& box, std::size_t bound, ToJson&& to_json) {
  bool moved = false;
  if (box.pending() == 0) {
    if (auto item = queue.try_get()) {
      box.add(to_json(std::move(*item)));
      moved = true;
    }
  }
  const std::size_t room = bound > box.pending() ? bound - box.pending() : 0;
  const std::size_t waiting = queue.qsize();
  if (waiting > room) {
    box.count_dropped(queue.drain(waiting - room).size());
    moved = true;
  }
  return moved;
}

}  // namespace

void post_json(const std::string& url, const Json& body, const ApiContext& api) {
  JsonPoster poster(api);
  poster(url, body);
}

void q_attack_bd_processing(const std::shared_ptr<SharedNamespace>&, const std::shared_ptr<AttackQueue>& q_attack_bd,
                            const std::shared_ptr<AttackQueue>& q_attack_api, const LogSink& sink,
                            const std::stop_token& stop) {
  while (!stopped(stop)) {
    try {
      auto report = q_attack_bd->get(std::chrono::milliseconds(250));
      if (!report) continue;
      if (sink.debug) {
        log_processing(sink, "debug", "misc",
                       "Attack report of kind " + std::to_string(report->kind) +
                           " forwarded: " + std::to_string(report->table.size()) + " row(s)");
      }
      q_attack_api->put(std::move(*report));
    } catch (const std::exception& e) {
      log_processing(sink, "error", "misc", std::string("An error occurred in q_attack_bd_processing: ") + e.what());
    }
  }
}

void rmq_log_and_api_processing(const std::string& ip, const std::string& uuid, const ApiEndpoints& endpoints,
                                ApiContext api, const std::string& /*geo_token*/,
                                std::shared_ptr<AttackQueue> q_attack_api, std::shared_ptr<TableQueue> q_mt_api,
                                const std::shared_ptr<EventQueue>& q_api, LogSink sink, const std::stop_token& stop,
                                SenderOptions opts) {
  const std::shared_ptr<EventQueue> q_ec = sink.q_ec;
  sink = sink.log_only();
  const Json id = identified(api.key, uuid, ip);
  const std::string& set_event_url = endpoints.set_event_url;
  const std::string& set_attack_url = endpoints.set_attack_url;
  const std::string& set_mt_data_url = endpoints.set_mt_data_url;
  auto body_with = [id](const char* field) {
    return [id, field](std::vector<Json> items) {
      Json body = id;
      body[field] = to_array(std::move(items));
      return body;
    };
  };
  auto single = [id](std::vector<Json> items) {
    Json body = id;
    for (auto& [k, v] : items.front().items()) body[k] = std::move(v);
    return body;
  };
  // Attack reports and tables go out on a thread of their own, so that a
  // large report does not hold the events back.
  // Ends with the worker, also when the worker ends by an exception.
  std::jthread reports([&](const std::stop_token& own) {
    Outbox attacks("attack report(s)", set_attack_url, 1, opts.max_pending_tables, single);
    Outbox tables("attack table(s)", set_mt_data_url, 1, opts.max_pending_tables, single);
    std::unique_ptr<JsonPoster> poster;
    while (!stopped(stop) && !stopped(own)) {
      try {
        if (!poster) poster = std::make_unique<JsonPoster>(api, true);
        bool moved = take_when_idle(*q_attack_api, attacks, opts.max_pending_tables, [](AttackReport r) {
          return Json{{"kind", r.kind}, {"rows", table_to_json(r.table, r.dropped_columns)}};
        });
        moved = take_when_idle(*q_mt_api, tables, opts.max_pending_tables,
                               [](const RequestTable& t) {
                                 return Json{{"rows", rows_with_columns(t, tessel_df_columns())}};
                               }) ||
                moved;
        const auto now = std::chrono::steady_clock::now();
        auto post = [&](const std::string& url, const Json& body) { (*poster)(url, body); };
        bool due = false;
        for (Outbox* box : {&attacks, &tables}) {
          box->flush(post, now, opts.retry_pause, sink, 1);
          due = due || box->due(std::chrono::steady_clock::now());
        }
        if (!moved && !due) std::this_thread::sleep_for(opts.cycle);
      } catch (const std::exception& e) {
        log_processing(sink, "error", "misc",
                       std::string("An error occurred in rmq_log_and_api_processing: ") + e.what());
        std::this_thread::sleep_for(opts.cycle);
      }
    }
  });

  Outbox events("event(s)", set_event_url, opts.batch, opts.max_pending, body_with("events"));
  Outbox api_objects("API object(s)", set_event_url, opts.batch, opts.max_pending, body_with("api"));
  std::unique_ptr<JsonPoster> poster;
  while (!stopped(stop)) {
    try {
      if (!poster) poster = std::make_unique<JsonPoster>(api, true);
      const auto now = std::chrono::steady_clock::now();
      bool moved = take_up(*q_api, api_objects, opts.max_pending, now);
      moved = take_up(*q_ec, events, opts.max_pending, now) || moved;
      auto post = [&](const std::string& url, const Json& body) { (*poster)(url, body); };
      // One request per endpoint a turn, so the queues are taken up between
      // two requests and what waits stays within each endpoint's bound.
      bool due = false;
      for (Outbox* box : {&events, &api_objects}) {
        box->flush(post, now, opts.retry_pause, sink, 1);
        due = due || box->due(std::chrono::steady_clock::now());
      }
      if (!moved && !due) {
        if (auto e = q_ec->get(opts.cycle)) events.add(std::move(*e));
      }
    } catch (const std::exception& e) {
      log_processing(sink, "error", "misc",
                     std::string("An error occurred in rmq_log_and_api_processing: ") + e.what());
      std::this_thread::sleep_for(opts.cycle);
    }
  }
}

void rmq_stats_processing(const ApiEndpoints& endpoints, const ApiContext& api,
                          const std::shared_ptr<EventQueue>& q_stats, const LogSink& sink, const std::stop_token& stop,
                          SenderOptions opts) {
  auto body = [key = api.key](std::vector<Json> items) {
    return Json{{"key", key}, {"stats", to_array(std::move(items))}};
  };
  Outbox requests("statistics object(s)", endpoints.set_request_stats_url, opts.batch, opts.max_pending, body);
  Outbox traffic("statistics object(s)", endpoints.set_traffic_stats_url, opts.batch, opts.max_pending, body);
  std::unique_ptr<JsonPoster> poster;
  auto route = [&](Json s) {
    const bool is_traffic = s.is_object() && s.value("type", Json()) == "traffic";
    (is_traffic ? traffic : requests).add(std::move(s));
  };

  while (!stopped(stop)) {
    try {
      if (!poster) poster = std::make_unique<JsonPoster>(api);
      auto items = q_stats->drain();
      for (auto& s : items) route(std::move(s));
      const auto now = std::chrono::steady_clock::now();
      auto post = [&](const std::string& url, const Json& b) { (*poster)(url, b); };
      requests.flush(post, now, opts.retry_pause, sink);
      traffic.flush(post, now, opts.retry_pause, sink);
      if (items.empty()) {
        if (auto s = q_stats->get(opts.cycle)) route(std::move(*s));
      }
    } catch (const std::exception& e) {
      log_processing(sink, "error", "misc", std::string("An error occurred in rmq_stats_processing: ") + e.what());
      std::this_thread::sleep_for(opts.cycle);
    }
  }
}

}  // namespace tessel::core
