#pragma once
// Incremental message digests, as hashlib's md5() and sha256() give them.
#include <memory>
#include <string>
#include <string_view>

namespace tessel {

class Digest {
 public:
  enum class Kind { md5, sha256 };
  // Throws std::runtime_error when the algorithm is not available.
  explicit Digest(Kind kind);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void update(std::string_view data);
  // The digest of everything fed so far, as bytes or as lower-case hex;
  // either ends the digest.
  std::string bytes();
  std::string hex();

 private:
  struct Ctx;
  std::unique_ptr<Ctx> ctx_;
};

}  // namespace tessel
