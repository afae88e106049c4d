#include "shared/pyvalues/digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace tessel {

struct Digest::Ctx {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ~Ctx() { EVP_MD_CTX_free(md); }
};

Digest::Digest(Kind kind) : ctx_(std::make_unique<Ctx>()) {
  const EVP_MD* md = kind == Kind::md5 ? EVP_md5() : EVP_sha256();
  if (!ctx_->md || EVP_DigestInit_ex(ctx_->md, md, nullptr) != 1)
    throw std::runtime_error(kind == Kind::md5 ? "MD5 unavailable" : "SHA-256 unavailable");
}

Digest::~Digest() = default;

void Digest::update(std::string_view data) { EVP_DigestUpdate(ctx_->md, data.data(), data.size()); }

std::string Digest::bytes() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx_->md, md, &n);
  return std::string(reinterpret_cast<const char*>(md), n);
}

std::string Digest::hex() {
  static const char* digits = "0123456789abcdef";
  const std::string raw = bytes();
  std::string out;
  out.reserve(raw.size() * 2);
  for (const unsigned char c : raw) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

}  // namespace tessel
