// Certificate checks of the web session against a loopback HTTPS server
// whose certificate is made for the test.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "core/net/http.h"
#include "support/temp_dir.h"

namespace {

using tessel::core::HttpError;
using tessel::core::init_session;
using tessel::core::is_network_error;
using tessel::core::RequestOptions;
using tessel::testing::TempDir;

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};

// A self-signed certificate for `san` ("IP:127.0.0.1", "DNS:other.example").
std::unique_ptr<X509, CertFree> make_cert(EVP_PKEY* key, const char* san) {
  std::unique_ptr<X509, CertFree> cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("tessel test"), -1, -1,
                             0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  for (auto [nid, value] :
       {std::pair{NID_subject_alt_name, san}, std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert.get(), key, EVP_sha256());
  return cert;
}

std::string pem_of(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return out;
}

// An HTTPS server on 127.0.0.1 answering "secure" to every GET.
class TlsServer {
 public:
  TlsServer(X509* cert, EVP_PKEY* key) : server_(cert, key) {
    server_.Get(".*", [](const httplib::Request&, httplib::Response& res) { res.set_content("secure", "text/plain"); });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TlsServer() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/x"; }

 private:
  httplib::SSLServer server_;
  int port_ = 0;
  std::thread thread_;
};

class HttpTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v :
         {"REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(v);
  }
  void TearDown() override { unsetenv("REQUESTS_CA_BUNDLE"); }

  // The kind of the HttpError that a GET of `url` throws, "" when it succeeds.
  static std::string get_failure(const std::string& url, bool verify) {
    RequestOptions opts;
    opts.verify = verify;
    opts.ca_bundle = tessel::core::ca_bundle_from_env();
    auto session = init_session();
    try {
      EXPECT_EQ(session.get(url, opts).content, "secure");
      return "";
    } catch (const HttpError& e) {
      EXPECT_FALSE(is_network_error(e.what())) << e.what();
      return e.kind();
    }
  }
};

TEST_F(HttpTlsTest, VerifyChecksTheCertificateAndTheHostName) {
  std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("prime256v1"));
  ASSERT_TRUE(key);
  auto own = make_cert(key.get(), "IP:127.0.0.1");
  auto other = make_cert(key.get(), "DNS:other.example");
  TempDir dir;
  const std::string own_pem = dir.file("own.pem"), other_pem = dir.file("other.pem");
  tessel::testing::write_file(own_pem, pem_of(own.get()));
  tessel::testing::write_file(other_pem, pem_of(other.get()));

  {
    TlsServer server(own.get(), key.get());
    EXPECT_EQ(get_failure(server.url(), true), "SSLError");  // not in the system store
    EXPECT_EQ(get_failure(server.url(), false), "");
    setenv("REQUESTS_CA_BUNDLE", own_pem.c_str(), 1);
    EXPECT_EQ(get_failure(server.url(), true), "");
  }
  {
    // Trusted, but made for another name.
    TlsServer server(other.get(), key.get());
    setenv("REQUESTS_CA_BUNDLE", other_pem.c_str(), 1);
    EXPECT_EQ(get_failure(server.url(), true), "SSLError");
    EXPECT_EQ(get_failure(server.url(), false), "");
  }
}

}  // namespace
