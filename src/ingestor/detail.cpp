#include "ingestor/detail.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "core/base/log.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pytext.h"

namespace tessel::ingestor {

namespace {

// Bodies share blocks of this size; a larger body gets a block of its own.
constexpr std::size_t kBlockBytes = std::size_t{64} * 1024;

// Blocks of finished chunks, kept for the next chunks: fresh memory costs
// a page fault per page. Holds at most about one chunk's worth.
class BlockPool {
 public:
  std::unique_ptr<char[]> take() {
    {
      std::lock_guard lk(mu_);
      if (!free_.empty()) {
        auto b = std::move(free_.back());
        free_.pop_back();
        return b;
      }
    }
    return std::make_unique_for_overwrite<char[]>(kBlockBytes);
  }
  // Takes the blocks it has room for; the rest stay with the caller.
  void give(std::vector<std::unique_ptr<char[]>>& blocks) {
    std::lock_guard lk(mu_);
    while (!blocks.empty() && free_.size() < kMaxBlocks) {
      free_.push_back(std::move(blocks.back()));
      blocks.pop_back();
    }
  }

 private:
  static constexpr std::size_t kMaxBlocks = 512;
  std::mutex mu_;
  std::vector<std::unique_ptr<char[]>> free_;
};

// Never destroyed: normalisers may still run while the process ends.
BlockPool& block_pool() {
  static auto* pool = new BlockPool;
  return *pool;
}

}  // namespace

RequestBodies::~RequestBodies() {
  if (!blocks_.empty()) block_pool().give(blocks_);
}

RequestBodies::RequestBodies(RequestBodies&& o) noexcept { *this = std::move(o); }

RequestBodies& RequestBodies::operator=(RequestBodies&& o) noexcept {
  if (this != &o) {
    if (!blocks_.empty()) block_pool().give(blocks_);
    blocks_ = std::exchange(o.blocks_, {});
    large_ = std::exchange(o.large_, {});
    next_ = std::exchange(o.next_, nullptr);
    left_ = std::exchange(o.left_, 0);
    bodies_ = std::exchange(o.bodies_, {});
  }
  return *this;
}

void RequestBodies::add(std::string_view body) {
  if (body.size() > kBlockBytes) {
    large_.push_back(std::make_unique_for_overwrite<char[]>(body.size()));
    std::memcpy(large_.back().get(), body.data(), body.size());
    bodies_.emplace_back(large_.back().get(), body.size());
    return;
  }
  if (next_ == nullptr || left_ < body.size()) {
    blocks_.push_back(block_pool().take());
    next_ = blocks_.back().get();
    left_ = kBlockBytes;
  }
  if (!body.empty()) std::memcpy(next_, body.data(), body.size());
  bodies_.emplace_back(next_, body.size());
  next_ += body.size();
  left_ -= body.size();
}

Json parse_json_body(std::string_view body) { return json_loads_bytes(body); }

std::optional<Json> parse_request_body(std::string_view body, const LogSink& sink) {
  try {
    Json parsed = parse_json_body(body);
    if (!parsed.is_object()) throw std::invalid_argument("the message is not a JSON object");
    return parsed;
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "dyn",
                         std::string("An error occurred while processing JSON data from Corvane WAF: ") + e.what());
    return std::nullopt;
  }
}

RequestMessages parse_request_bodies(const RequestBodies& bodies, const LogSink& sink) {
  RequestMessages out;
  out.reserve(bodies.size());
  for (std::string_view body : bodies) {
    if (auto msg = parse_request_body(body, sink)) out.push_back(std::move(*msg));
  }
  return out;
}

bool is_unlock_request(const Json& msg) {
  auto it = msg.find("request_type");
  if (it == msg.end() || !it->is_string()) return false;
  const auto& t = it->get_ref<const std::string&>();
  return t == "captcha" || t == "antibot";
}

bool may_be_unlock_request(std::string_view body) {
  return body.find('\\') != std::string_view::npos || body.find('\0') != std::string_view::npos ||
         body.find("captcha") != std::string_view::npos || body.find("antibot") != std::string_view::npos;
}

std::string body_text(std::string_view body) {
  constexpr std::size_t kMax = 2048;
  const bool cut = body.size() > kMax;
  std::string text = py_decode_utf8_replace(cut ? body.substr(0, kMax) : body);
  if (cut) text += "...";
  return text;
}

}  // namespace tessel::ingestor
