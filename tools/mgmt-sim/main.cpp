// tessel-mgmt-sim: stands in for the WAF's management API and for the
// dataset service. It answers every request from a directory of JSON answer
// files and records every request it receives as one JSON line.
//
//   tessel-mgmt-sim [--port N] [--port-file FILE] [--record FILE]
//                   [--answers DIR]... [--defaults DIR]
//                   [--api-base /vx-api] [--dataset-base /vx]
//                   [--datasets FILE] [--training FILE]
//
// A request to <api-base>/<path> is answered from "api/<path>.json", one to
// <dataset-base>/<path> from "dataset/<path>.json", looked up in the --answers
// directories (the last one given first) and then in the default set. An
// answer file holds
//   {"status_code": 200, "body": <JSON value>}       the value as JSON text
//   {"status_code": 200, "body_text": "<text>"}      the text as it stands
//   {"status_code": 200, "body_base64": "<base64>"}  the decoded bytes
// or, for a hash endpoint,
//   {"hash_of": "api/get_schemix_url"}   {"status": "success", "hash": <hash>}
// where <hash> is a digest of the named answer's body, so that it changes
// whenever that answer changes. Answer files may add "content_type" and
// "delay_ms". A schema upload ("set_schemix_schema_paths") is recorded with
// its decoded schema fragment under "schema". Answer files are read on every
// request, so a test may change them while the server runs. Requests without
// an answer get 404.
//
// The training exchanges keep state, unless an --answers directory holds an
// answer for them: models posted to "set_models_uri" are kept and handed out
// one host at a time by "get_models_uri" to a node whose digest differs;
// "v2/set_training_uri" records a host's completion and "v2/get_training_uri"
// answers the recorded entries ({"vhost", "complete", "duration"}), seeded
// from the JSON list in --training and replaced by a POST of such a list to
// "<api-base>/sim/training"; "set_training_progress_uri" records the
// progress. GET "<api-base>/sim/state" answers what is kept. --datasets names
// a JSON-lines file of {"zone", "value", "kind"} objects: the dataset
// service's attack dataset is every value, its white-list dataset (a literal
// mapping zone -> values, base64) the values of kind "whitelist". The server listens on 127.0.0.1 only; --port 0 (the
// default) picks a free port, which is printed and written to --port-file.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

struct Options {
  int port = 0;
  std::string port_file;
  std::string record_file;
  std::vector<std::string> answer_dirs;  // later ones win
  std::string api_base = "/vx-api";
  std::string dataset_base = "/vx";
  std::string datasets_file;
  std::string training_file;
  bool has_defaults = false;  // answer_dirs[0] is the default set
};

[[noreturn]] void usage(const std::string& why) {
  std::cerr << "tessel-mgmt-sim: " << why
            << "\nusage: tessel-mgmt-sim [--port N] [--port-file FILE] [--record FILE] [--answers DIR]...\n"
               "                       [--defaults DIR] [--api-base PATH] [--dataset-base PATH]\n";
  std::exit(2);
}

Options parse_args(int argc, char** argv) {
  Options o;
  std::string defaults = TESSEL_SIM_DEFAULT_ANSWERS;
  std::vector<std::string> answers;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage("missing value for " + a);
      return argv[++i];
    };
    if (a == "--port") {
      try {
        o.port = std::stoi(value());
      } catch (...) {
        usage("bad port");
      }
    } else if (a == "--port-file") {
      o.port_file = value();
    } else if (a == "--record") {
      o.record_file = value();
    } else if (a == "--answers") {
      answers.push_back(value());
    } else if (a == "--defaults") {
      defaults = value();
    } else if (a == "--api-base") {
      o.api_base = value();
    } else if (a == "--dataset-base") {
      o.dataset_base = value();
    } else if (a == "--datasets") {
      o.datasets_file = value();
    } else if (a == "--training") {
      o.training_file = value();
    } else {
      usage("unknown argument " + a);
    }
  }
  if (!defaults.empty()) o.answer_dirs.push_back(defaults);
  o.has_defaults = !defaults.empty();
  o.answer_dirs.insert(o.answer_dirs.end(), answers.begin(), answers.end());
  for (auto* base : {&o.api_base, &o.dataset_base})
    while (base->size() > 1 && base->back() == '/') base->pop_back();
  return o;
}

// "area/rest" for a request path, or nullopt when it lies outside both bases
// or holds a segment that is not a plain name.
std::optional<std::string> answer_name(const Options& o, const std::string& path) {
  auto under = [&](const std::string& base) -> std::optional<std::string> {
    if (path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0 || path[base.size()] != '/')
      return std::nullopt;
    return path.substr(base.size() + 1);
  };
  std::optional<std::string> rest;
  std::string area;
  if ((rest = under(o.api_base))) {
    area = "api";
  } else if ((rest = under(o.dataset_base))) {
    area = "dataset";
  } else {
    return std::nullopt;
  }
  std::string clean;
  std::stringstream segs(*rest);
  for (std::string seg; std::getline(segs, seg, '/');) {
    if (seg.empty()) continue;
    if (seg == "." || seg == "..") return std::nullopt;
    for (char c : seg)
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return std::nullopt;
    clean += "/" + seg;
  }
  if (clean.empty()) return std::nullopt;
  return area + clean;
}

// The first directory is the default set; `tests_only` skips it.
std::optional<fs::path> find_answer(const Options& o, const std::string& name, bool tests_only = false) {
  const auto last = (tests_only && o.has_defaults) ? o.answer_dirs.rend() - 1 : o.answer_dirs.rend();
  for (auto it = o.answer_dirs.rbegin(); it < last; ++it) {
    fs::path p = fs::path(*it) / (name + ".json");
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p;
  }
  return std::nullopt;
}

bool valid_utf8(const std::string& s) {
  try {
    (void)Json(s).dump();
    return true;
  } catch (...) {
    return false;
  }
}

std::string base64(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

std::string unbase64(const std::string& in) {
  std::string out;
  unsigned v = 0;
  int bits = 0;
  for (char c : in) {
    int d;
    if (c >= 'A' && c <= 'Z')
      d = c - 'A';
    else if (c >= 'a' && c <= 'z')
      d = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      d = c - '0' + 52;
    else if (c == '+')
      d = 62;
    else if (c == '/')
      d = 63;
    else
      continue;
    v = (v << 6) | static_cast<unsigned>(d);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((v >> bits) & 0xff));
    }
  }
  return out;
}

// The schema fragment of an upload body {"key": k, "set": {"schema": <base64
// of the fragment's JSON text>, ...}}; null when the body holds none.
Json uploaded_schema(const std::string& body) {
  try {
    const Json doc = Json::parse(body);
    const std::string text = unbase64(doc.at("set").at("schema").get<std::string>());
    return Json::parse(text);
  } catch (const std::exception&) {
    return nullptr;
  }
}

// FNV-1a of the text, as 16 hex digits.
std::string digest(const std::string& text) {
  std::uint64_t h = 14695981039346656037ull;
  for (const unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

class Recorder {
 public:
  explicit Recorder(const std::string& path) {
    if (!path.empty()) {
      out_.open(path, std::ios::app | std::ios::binary);
      if (!out_) usage("cannot open record file " + path);
    }
  }
  void record(const httplib::Request& req) {
    if (!out_.is_open()) return;
    Json line = Json::object();
    line["method"] = req.method;
    line["path"] = req.path;
    auto q = req.target.find('?');
    line["query"] = q == std::string::npos ? std::string() : req.target.substr(q + 1);
    Json headers = Json::object();
    for (const auto& [k, v] : req.headers)
      if (k != "REMOTE_ADDR" && k != "REMOTE_PORT" && k != "LOCAL_ADDR" && k != "LOCAL_PORT")
        headers[k] = valid_utf8(v) ? v : base64(v);
    line["headers"] = std::move(headers);
    if (valid_utf8(req.body)) {
      line["body"] = req.body;
    } else {
      line["body_base64"] = base64(req.body);
    }
    if (req.path.ends_with("/set_schemix_schema_paths")) line["schema"] = uploaded_schema(req.body);
    std::string text = line.dump();
    text.push_back('\n');
    std::lock_guard lk(mu_);
    out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    out_.flush();
  }

 private:
  std::mutex mu_;
  std::ofstream out_;
};

std::string url_decode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::map<std::string, std::string> form_fields(const std::string& body) {
  std::map<std::string, std::string> out;
  std::stringstream in(body);
  for (std::string pair; std::getline(in, pair, '&');) {
    const auto eq = pair.find('=');
    if (eq == std::string::npos) continue;
    out[url_decode(pair.substr(0, eq))] = url_decode(pair.substr(eq + 1));
  }
  return out;
}

// A Python string literal of `s` (single quotes, escapes for the rest).
std::string py_literal(const std::string& s) {
  std::string out = "'";
  for (unsigned char c : s) {
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "'";
}

// The kept state of the training exchanges.
class TrainingState {
 public:
  explicit TrainingState(const Options& o) {
    if (!o.training_file.empty()) {
      std::ifstream in(o.training_file, std::ios::binary);
      training_ = Json::parse(in);
      if (!training_.is_array()) usage("--training: not a JSON list");
    }
    if (!o.datasets_file.empty()) {
      std::ifstream in(o.datasets_file, std::ios::binary);
      if (!in) usage("cannot read " + o.datasets_file);
      Json attacks = Json::array();
      std::map<std::string, std::vector<std::string>> wl;
      for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        const Json item = Json::parse(line);
        const std::string value = item.value("value", std::string());
        if (item.value("kind", std::string()) == "whitelist") {
          wl[item.value("zone", std::string())].push_back(value);
        } else {
          attacks.push_back(value);
        }
      }
      bl_ = Json{{"attacks", attacks}}.dump();
      std::string literal = "{";
      for (const auto& [zone, values] : wl) {
        if (literal.size() > 1) literal += ", ";
        literal += py_literal(zone) + ": [";
        for (std::size_t i = 0; i < values.size(); ++i) literal += (i ? ", " : "") + py_literal(values[i]);
        literal += "]";
      }
      wl_ = base64(literal + "}");
      have_datasets_ = true;
    }
  }

  // True when the request was answered from the state.
  bool answer(const std::string& name, const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lk(mu_);
    if (name == "api/set_models_uri") {
      const Json body = Json::parse(req.body, nullptr, false);
      if (!body.is_object() || !body.contains("vhost") || !body["vhost"].is_string() || !body.contains("hash") ||
          !body["hash"].is_string() || !body.contains("model") || !body["model"].is_string())
        return false;  // not models: the answer files decide
      models_[body["vhost"].get<std::string>()] = {body["hash"].get<std::string>(), body["model"].get<std::string>()};
      return reply(res, 202, R"({"status": "success"})");
    }
    if (name == "api/get_models_uri") {
      const Json held = Json::parse(unbase64(req.body), nullptr, false);
      for (const auto& [vhost, m] : models_) {
        const bool same = held.is_object() && held.contains(vhost) && held[vhost] == m.first;
        if (!same) return reply(res, 202, m.second, "text/plain");
      }
      return reply(res, 304, "", "text/plain");
    }
    if (name == "api/v2/get_training_uri") {
      if (training_.empty()) return reply(res, 200, R"({"status": "none"})");
      return reply(res, 200, Json{{"status", "success"}, {"training", training_}}.dump());
    }
    if (name == "api/v2/set_training_uri") {
      const Json body = Json::parse(req.body, nullptr, false);
      if (!body.is_object() || !body.contains("vhost") || !body["vhost"].is_string())
        return reply(res, 200, R"({"status": "fail", "description": "bad request"})");
      Json* entry = nullptr;
      for (auto& e : training_)
        if (e.is_object() && e.value("vhost", Json()) == body["vhost"]) entry = &e;
      if (!entry) {
        training_.push_back(Json{{"vhost", body["vhost"]}, {"complete", false}, {"duration", 4}});
        entry = &training_.back();
      }
      (*entry)["complete"] = body.value("complete", Json(false));
      return reply(res, 200, R"({"status": "success"})");
    }
    if (name == "api/set_training_progress_uri") {
      const auto fields = form_fields(req.body);
      const auto vhost = fields.find("vhost");
      const auto progress = fields.find("progress");
      if (vhost == fields.end() || progress == fields.end())
        return reply(res, 200, R"({"status": "fail", "description": "bad request"})");
      progress_[vhost->second] = progress->second;
      return reply(res, 200, R"({"status": "success"})");
    }
    if (name == "api/sim/training" && req.method == "POST") {
      const Json body = Json::parse(req.body, nullptr, false);
      if (!body.is_array()) return reply(res, 400, R"({"status": "fail"})");
      training_ = body;
      return reply(res, 200, R"({"status": "success"})");
    }
    if (name == "api/sim/state") {
      Json models = Json::object();
      for (const auto& [vhost, m] : models_) models[vhost] = m.first;
      return reply(res, 200, Json{{"training", training_}, {"progress", progress_}, {"models", models}}.dump());
    }
    if (have_datasets_ && name == "dataset/ml/dataset/get_bl_uri") return reply(res, 200, bl_);
    if (have_datasets_ && name == "dataset/ml/dataset/get_wl_uri") return reply(res, 200, wl_, "text/plain");
    return false;
  }

 private:
  static bool reply(httplib::Response& res, int status, const std::string& body,
                    const char* content_type = "application/json") {
    res.status = status;
    res.set_content(body, content_type);
    return true;
  }

  std::mutex mu_;
  Json training_ = Json::array();
  Json progress_ = Json::object();
  std::map<std::string, std::pair<std::string, std::string>> models_;  // host -> (digest, archive base64)
  bool have_datasets_ = false;
  std::string bl_, wl_;
};

Json read_answer(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  Json doc = Json::parse(in);
  if (!doc.is_object()) throw std::runtime_error("not a mapping");
  return doc;
}

void answer(const Options& o, TrainingState& state, const httplib::Request& req, httplib::Response& res) {
  auto name = answer_name(o, req.path);
  if (name && !find_answer(o, *name, true) && state.answer(*name, req, res)) return;
  auto file = name ? find_answer(o, *name) : std::nullopt;
  if (!file) {
    res.status = 404;
    res.set_content(R"({"status": "error", "description": "no answer for this path"})", "application/json");
    return;
  }
  Json doc;
  try {
    doc = read_answer(*file);
    if (doc.contains("hash_of")) {
      const auto of = find_answer(o, doc["hash_of"].get<std::string>());
      if (!of) throw std::runtime_error("no answer " + doc["hash_of"].get<std::string>());
      const Json target = read_answer(*of);
      const std::string text =
          target.contains("body") ? target["body"].dump() : target.value("body_text", std::string());
      doc["body"] = Json{{"status", "success"}, {"hash", digest(text)}};
    }
  } catch (const std::exception& e) {
    std::cerr << "tessel-mgmt-sim: bad answer file " << file->string() << ": " << e.what() << "\n";
    res.status = 500;
    res.set_content(std::string("bad answer file: ") + e.what(), "text/plain");
    return;
  }
  if (auto d = doc.value("delay_ms", 0); d > 0) std::this_thread::sleep_for(std::chrono::milliseconds(d));
  res.status = doc.value("status_code", 200);
  std::string content_type = doc.value("content_type", std::string("application/json"));
  if (doc.contains("body_base64")) {
    res.set_content(unbase64(doc["body_base64"].get<std::string>()), content_type.c_str());
  } else if (doc.contains("body_text")) {
    res.set_content(doc["body_text"].get<std::string>(), content_type.c_str());
  } else if (doc.contains("body")) {
    res.set_content(doc["body"].dump(), content_type.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_args(argc, argv);
  Recorder recorder(o.record_file);
  TrainingState state(o);

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  httplib::Server server;
  server.set_payload_max_length(1ull << 30);
  auto handler = [&](const httplib::Request& req, httplib::Response& res) {
    recorder.record(req);
    answer(o, state, req, res);
  };
  server.Get(".*", handler);
  server.Post(".*", handler);
  server.Put(".*", handler);
  server.Patch(".*", handler);
  server.Delete(".*", handler);

  int port = o.port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port <= 0) {
    std::cerr << "tessel-mgmt-sim: cannot listen on 127.0.0.1:" << o.port << "\n";
    return 1;
  }
  if (!o.port_file.empty()) {
    const std::string tmp = o.port_file + ".tmp";
    { std::ofstream(tmp) << port << "\n"; }
    std::rename(tmp.c_str(), o.port_file.c_str());
  }
  std::cout << "tessel-mgmt-sim: listening on http://127.0.0.1:" << port << " (api " << o.api_base << ", dataset "
            << o.dataset_base << ")" << std::endl;

  std::atomic<bool> signalled{false};
  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    signalled = true;
    server.stop();
  });
  server.listen_after_bind();
  // A stop that did not come from a signal: wake the waiting thread.
  if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return 0;
}
