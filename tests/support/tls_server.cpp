#include "support/tls_server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

namespace tessel::testing {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

// A certificate for `key` named `cn`, signed by `issuer_key` (issuer: the
// subject of `issuer`, or itself when null), with the given extensions.
Cert make_cert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuer_key, long serial,
               std::initializer_list<std::pair<int, const char*>> extensions) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 30);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509* signer = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
  for (auto [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) throw std::runtime_error("certificate extension");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(cert.get(), issuer_key, EVP_sha256()) == 0) throw std::runtime_error("certificate signature");
  return cert;
}

std::string pem_of(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return out;
}

}  // namespace

struct LoopbackTlsServer::Impl {
  Key ca_key{EVP_EC_gen("prime256v1")};
  Cert ca{make_cert(ca_key.get(), "tessel test authority", nullptr, ca_key.get(), 1,
                    {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign,cRLSign"}})};
  Key key{EVP_EC_gen("prime256v1")};
  Cert cert{make_cert(key.get(), "127.0.0.1", ca.get(), ca_key.get(), 2,
                      {{NID_subject_alt_name, "IP:127.0.0.1"}, {NID_basic_constraints, "critical,CA:FALSE"}})};
  httplib::SSLServer server{cert.get(), key.get()};
  std::map<std::string, std::string> replies;
  mutable std::mutex mu;
  std::map<std::string, int> hits;
  int port = 0;
  std::thread thread;
};

LoopbackTlsServer::LoopbackTlsServer(std::map<std::string, std::string> replies, const std::string& ca_file)
    : impl_(std::make_unique<Impl>()) {
  write_file(ca_file, pem_of(impl_->ca.get()));
  impl_->replies = std::move(replies);
  Impl* impl = impl_.get();
  impl->server.Post(".*", [impl](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lk(impl->mu);
      ++impl->hits[req.path];
    }
    const auto it = impl->replies.find(req.path);
    if (it == impl->replies.end()) {
      res.status = 404;
      return;
    }
    res.set_content(it->second, "application/json");
  });
  impl->port = impl->server.bind_to_any_port("127.0.0.1");
  impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
  while (!impl->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackTlsServer::~LoopbackTlsServer() {
  impl_->server.stop();
  impl_->thread.join();
}

std::string LoopbackTlsServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(impl_->port) + path;
}

int LoopbackTlsServer::hits(const std::string& path) const {
  std::lock_guard lk(impl_->mu);
  const auto it = impl_->hits.find(path);
  return it == impl_->hits.end() ? 0 : it->second;
}

}  // namespace tessel::testing
