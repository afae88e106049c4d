#include "orvik/dataset/dataset_file.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string_view>
#include <system_error>

#include "shared/runtime/fileio.h"

namespace tessel::orvik {

namespace {

constexpr char kMagic[8] = {'T', 'E', 'S', 'S', 'E', 'L', 'D', 'S'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeader = 24;
constexpr std::size_t kDigest = 32;

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
std::uint64_t get_u(std::string_view s, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
  return v;
}

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 unavailable");
  }
  ~Sha256() { EVP_MD_CTX_free(ctx_); }
  void update(std::string_view s) { EVP_DigestUpdate(ctx_, s.data(), s.size()); }
  std::string final() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_, md, &n);
    return std::string(reinterpret_cast<char*>(md), n);
  }

 private:
  EVP_MD_CTX* ctx_;
};

// A file written through a buffer; the payload is hashed on the way.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) { buf_.reserve(1 << 20); }
  void add(std::string_view s, bool hashed = true) {
    if (hashed) sha_.update(s);
    if (buf_.size() + s.size() > (1 << 20)) flush();
    if (s.size() > (1 << 20))
      write_all(s);
    else
      buf_.append(s);
  }
  void add_u64(std::uint64_t v) {
    std::string b;
    put_u64(b, v);
    add(b);
  }
  std::string digest() { return sha_.final(); }
  void flush() {
    write_all(buf_);
    buf_.clear();
  }

 private:
  void write_all(std::string_view s) {
    while (!s.empty()) {
      const ssize_t n = ::write(fd_, s.data(), s.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "write");
      }
      s.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  int fd_;
  std::string buf_;
  Sha256 sha_;
};

std::mutex fault_mutex;
detail::OpenFaultFn open_fault;

// The errno a test injects for opening `path`, 0 when none.
int injected_open_error(const std::string& path, bool write) {
  std::lock_guard g(fault_mutex);
  return open_fault ? open_fault(path, write) : 0;
}

}  // namespace

void detail::set_open_fault_for_testing(OpenFaultFn fn) {
  std::lock_guard g(fault_mutex);
  open_fault = std::move(fn);
}

void dataset_save(const DatasetData& data, const std::string& path) {
  std::uint64_t payload = 8;
  for (const auto& [zone, values] : data) {
    payload += 16 + zone.size();
    for (const auto& v : values) payload += 8 + v.size();
  }
  std::random_device rd;
  const std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(rd());
  if (const int err = injected_open_error(tmp, true)) throw std::system_error(err, std::generic_category(), tmp);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), tmp);
  try {
    Writer w(fd);
    std::string head(kMagic, sizeof kMagic);
    put_u32(head, kVersion);
    put_u32(head, 0);
    put_u64(head, payload);
    w.add(head, false);
    w.add_u64(data.size());
    for (const auto& [zone, values] : data) {
      w.add_u64(zone.size());
      w.add(zone);
      w.add_u64(values.size());
      for (const auto& v : values) {
        w.add_u64(v.size());
        w.add(v);
      }
    }
    const std::string digest = w.digest();
    w.add(digest, false);
    w.flush();
    if (::fsync(fd) != 0) throw std::system_error(errno, std::generic_category(), tmp);
    if (::close(fd) != 0) {
      const int err = errno;
      ::unlink(tmp.c_str());
      throw std::system_error(err, std::generic_category(), tmp);
    }
  } catch (...) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw std::system_error(err, std::generic_category(), path);
  }
}

std::vector<std::string> remove_stale_temporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  const std::string name = p.filename().string();
  // "<pid>.<n>", both decimal.
  auto pid_and_number = [](std::string_view rest) {
    const auto dot = rest.find('.');
    auto digits = [](std::string_view d) {
      return !d.empty() && std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return dot != std::string_view::npos && digits(rest.substr(0, dot)) && digits(rest.substr(dot + 1));
  };
  std::vector<std::string> removed;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string f = it->path().filename().string();
    for (const std::string& prefix : {name + ".tmp.", name + ".bak.tmp."}) {
      if (f.size() > prefix.size() && f.compare(0, prefix.size(), prefix) == 0 &&
          pid_and_number(std::string_view(f).substr(prefix.size()))) {
        std::error_code rm;
        if (fs::remove(it->path(), rm)) removed.push_back(it->path().string());
        break;
      }
    }
  }
  return removed;
}

DatasetData dataset_load(const std::string& path) {
  if (const int err = injected_open_error(path, false)) throw std::system_error(err, std::generic_category(), path);
  std::string why;
  const auto content = read_whole_file(path, &why);
  if (!content) throw std::system_error(std::make_error_code(std::errc::io_error), path + ": " + why);
  return dataset_from_bytes(*content, path);
}

std::string detail::dataset_seal(std::string_view payload) {
  std::string out(kMagic, sizeof kMagic);
  put_u32(out, kVersion);
  put_u32(out, 0);
  put_u64(out, payload.size());
  out.append(payload);
  Sha256 sha;
  sha.update(payload);
  return out + sha.final();
}

DatasetData dataset_from_bytes(std::string_view s, const std::string& path) {
  if (s.size() < sizeof kMagic || std::memcmp(s.data(), kMagic, sizeof kMagic) != 0)
    throw DatasetFormatError(path + ": not a dataset file");
  if (s.size() < kHeader + kDigest) throw DatasetFormatError(path + ": truncated dataset file");
  const auto version = get_u(s, 8, 4);
  if (version != kVersion)
    throw DatasetFormatError(path + ": dataset file version " + std::to_string(version) + " is not supported");
  const std::uint64_t payload = get_u(s, 16, 8);
  if (payload != s.size() - kHeader - kDigest)
    throw DatasetFormatError(path + ": dataset file size does not match its header");
  const std::string_view body = s.substr(kHeader, payload);
  Sha256 sha;
  sha.update(body);
  if (sha.final() != s.substr(kHeader + payload)) throw DatasetFormatError(path + ": dataset file checksum mismatch");

  std::size_t at = 0;
  auto need = [&](std::uint64_t n) {
    if (n > body.size() - at) throw DatasetFormatError(path + ": dataset file content is inconsistent");
  };
  auto u64 = [&] {
    need(8);
    const auto v = get_u(body, at, 8);
    at += 8;
    return v;
  };
  auto text = [&] {
    const auto n = u64();
    need(n);
    std::string out(body.substr(at, n));
    at += n;
    return out;
  };
  DatasetData data;
  const auto zones = u64();
  for (std::uint64_t z = 0; z < zones; ++z) {
    std::string zone = text();
    const auto count = u64();
    if (count > (body.size() - at) / 8) throw DatasetFormatError(path + ": dataset file content is inconsistent");
    std::vector<std::string> values;
    values.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) values.push_back(text());
    if (!data.emplace(std::move(zone), std::move(values)).second)
      throw DatasetFormatError(path + ": dataset file repeats a zone");
  }
  if (at != body.size()) throw DatasetFormatError(path + ": dataset file content is inconsistent");
  return data;
}

}  // namespace tessel::orvik
