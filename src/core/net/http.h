#pragma once
// The web session of the support layer: HTTP(S) requests over libcurl that
// behave as Python's requests 2.28 does (time-outs, redirects, error kinds,
// default headers).
//
// Threads: a session owns one curl handle, reused across its calls so that
// connections are kept alive. A session is not thread-safe; each thread
// takes its own from init_session().
//
// What goes on the wire:
//   - headers: "User-Agent: python-requests/2.28.1", "Accept-Encoding: gzip,
//     deflate", "Accept: */*", "Connection: keep-alive", then the caller's;
//     a caller's header replaces a default of the same name (any case).
//     Replies in gzip or deflate are decoded.
//   - Content-Type only for form bodies ("application/x-www-form-urlencoded")
//     and JSON bodies ("application/json"), and not when the caller set one;
//     never "Expect: 100-continue". A POST without body carries
//     "Content-Length: 0".
//   - cookies as one "Cookie: k=v; k2=v2" header, unless the caller gave a
//     Cookie header.
//   - HTTP/1.1; redirects are followed (at most 30; a POST answered with
//     301, 302 or 303 continues as GET).
//   - bytes of the URL's path and query that may not stand in a URL (space,
//     controls, non-ASCII, "\"<>\\^`{|}") are percent-encoded.
// Proxies: the mapping's entry for the URL's scheme ("http" or "https") is
// used when present; an empty text there means no proxy at all. Without an
// entry, libcurl reads the environment: http_proxy (lower case only),
// https_proxy or HTTPS_PROXY, all_proxy or ALL_PROXY, and no_proxy or
// NO_PROXY. An explicit proxy is used whatever NO_PROXY says.
// Time-out: `timeout` seconds to connect (TCP and TLS), then the request
// fails when no byte moves for `timeout` seconds (whole seconds, at least
// one); there is no limit on the whole transfer.
// Certificates: `verify` checks the server's certificate and host name
// against the system store, or against the file named by REQUESTS_CA_BUNDLE
// or CURL_CA_BUNDLE when one is set.
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/pyvalues/json.h"

namespace tessel::core {

// Ordered name/value pairs: headers, form fields, cookies, proxies.
using Fields = std::vector<std::pair<std::string, std::string>>;

// A failed request. kind() is the name of the requests exception of that
// failure and what() reads "<kind>: <text as requests gives it>", e.g.
//   ConnectionError: HTTPConnectionPool(host='127.0.0.1', port=9): Max
//     retries exceeded with url: /x (Caused by NewConnectionError('Failed to
//     establish a new connection: [Errno 111] Connection refused'))
// Kinds: ConnectionError (refused, unresolved, unreachable, connection
// dropped), ProxyError (proxy unresolved, unreachable or refusing the
// tunnel), ConnectTimeout, ReadTimeout, SSLError, MissingSchema,
// InvalidSchema, InvalidURL, TooManyRedirects, ChunkedEncodingError (reply
// cut short), ContentDecodingError, InvalidJSONError, RequestException.
class HttpError : public std::runtime_error {
 public:
  HttpError(std::string kind, const std::string& text);
  const std::string& kind() const { return kind_; }

 private:
  std::string kind_;
};

// True for the failures callers log under "network": the text contains
// "ProxyError", "ConnectionError" or "ConnectTimeout".
bool is_network_error(std::string_view what);

class RequestBody {
 public:
  RequestBody() = default;  // no body
  // Bytes sent unchanged, no Content-Type (requests' data=<str>).
  static RequestBody raw(std::string bytes);
  // Form fields in order, each name and value quote_plus-encoded
  // (requests' data=<dict>).
  static RequestBody form(const Fields& fields);
  // json.dumps of the value (requests' json=). NaN or infinities throw
  // HttpError "InvalidJSONError".
  static RequestBody json(const Json& value);

  const std::string& bytes() const { return bytes_; }
  const std::string& content_type() const { return content_type_; }

 private:
  std::string bytes_;
  std::string content_type_;
};

struct RequestOptions {
  Fields headers;
  Fields proxies;  // {"http": url, "https": url}, or empty
  Fields cookies;
  bool verify = true;
  std::string ca_bundle;  // certificate bundle file; "" for the system's
  double timeout = 30;    // seconds
};

// Throws the HttpError (MissingSchema, InvalidSchema, InvalidURL) that a
// request to `url` would fail with before any connection; returns for a URL
// that can be requested.
void check_request_url(const std::string& url);

// The certificate bundle named by REQUESTS_CA_BUNDLE or CURL_CA_BUNDLE, as
// the environment gives it ("" when neither is set). Read once at start-up
// into the run's options.
std::string ca_bundle_from_env();

struct HttpResponse {
  int status_code = 0;
  std::string content;  // body bytes, decoded from gzip or deflate
  Fields headers;       // of the last response, as received
  std::string url;      // after redirects

  // The value of a header (case-insensitive), "" when absent.
  std::string header(std::string_view name) const;
  // The body as text: ISO-8859-1 when the Content-Type says so or is a
  // text/* type without charset, otherwise UTF-8 with invalid bytes
  // replaced by U+FFFD.
  std::string text() const;
  // json.loads of the body (UTF-8, -16 or -32); throws JsonDecodeError or
  // UnicodeDecodeError.
  Json json() const;
  // "<Response [200]>".
  std::string str() const;
};

class HttpSession {
 public:
  HttpSession();
  ~HttpSession();
  HttpSession(HttpSession&&) noexcept;
  HttpSession& operator=(HttpSession&&) noexcept;

  HttpResponse get(const std::string& url, const RequestOptions& options = {});
  HttpResponse post(const std::string& url, const RequestBody& body, const RequestOptions& options = {});

 private:
  HttpResponse perform(const char* method, const std::string& url, const RequestBody* body,
                       const RequestOptions& options);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

HttpSession init_session();

}  // namespace tessel::core
