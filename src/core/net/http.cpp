#include "core/net/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "core/base/util.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/pyvalues/url.h"
#include "shared/pyvalues/utf8.h"

namespace tessel::core {

HttpError::HttpError(std::string kind, const std::string& text)
    : std::runtime_error(kind + ": " + text), kind_(std::move(kind)) {}

bool is_network_error(std::string_view what) {
  return what.find("ProxyError") != std::string_view::npos || what.find("ConnectionError") != std::string_view::npos ||
         what.find("ConnectTimeout") != std::string_view::npos;
}

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && detail::ascii_lower(a) == detail::ascii_lower(b);
}

const std::string* find_field(const Fields& fields, std::string_view name) {
  for (const auto& [k, v] : fields)
    if (iequals(k, name)) return &v;
  return nullptr;
}

bool has_non_finite(const Json& v) {
  if (v.is_number_float()) return !std::isfinite(v.get<double>());
  if (v.is_structured())
    for (const auto& e : v)
      if (has_non_finite(e)) return true;
  return false;
}

}  // namespace

RequestBody RequestBody::raw(std::string bytes) {
  RequestBody b;
  b.bytes_ = std::move(bytes);
  return b;
}

RequestBody RequestBody::form(const Fields& fields) {
  RequestBody b;
  for (const auto& [k, v] : fields) {
    if (!b.bytes_.empty()) b.bytes_.push_back('&');
    b.bytes_ += quote_plus(k) + "=" + quote_plus(v);
  }
  // requests sends nothing, and no Content-Type, for an empty mapping.
  if (!fields.empty()) b.content_type_ = "application/x-www-form-urlencoded";
  return b;
}

RequestBody RequestBody::json(const Json& value) {
  if (has_non_finite(value)) throw HttpError("InvalidJSONError", "Out of range float values are not JSON compliant");
  RequestBody b;
  b.bytes_ = json_dumps(value);
  b.content_type_ = "application/json";
  return b;
}

std::string HttpResponse::header(std::string_view name) const {
  const std::string* v = find_field(headers, name);
  return v ? *v : std::string();
}

std::string HttpResponse::text() const {
  const std::string type = detail::ascii_lower(header("Content-Type"));
  std::string charset;
  if (auto p = type.find("charset="); p != std::string::npos) {
    charset = type.substr(p + 8);
    charset = charset.substr(0, charset.find_first_of("; "));
    if (charset.size() >= 2 && (charset.front() == '"' || charset.front() == '\''))
      charset = charset.substr(1, charset.size() - 2);
  }
  const bool latin1 = charset == "iso-8859-1" || charset == "latin-1" || charset == "latin1" ||
                      (charset.empty() && type.find("text") != std::string::npos);
  if (!latin1) return py_decode_utf8_replace(content);
  std::string out;
  out.reserve(content.size());
  for (char c : content) utf8_append(out, static_cast<unsigned char>(c));
  return out;
}

Json HttpResponse::json() const { return json_loads_bytes(content); }

std::string HttpResponse::str() const { return "<Response [" + std::to_string(status_code) + "]>"; }

namespace {

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where a request goes, for the request and for error texts.
struct Target {
  std::string url;     // as handed to curl
  std::string scheme;  // "http" or "https"
  std::string host;
  long port = 0;
  std::string path;  // path and query
};

struct UrlHandle {
  CURLU* h = curl_url();
  ~UrlHandle() { curl_url_cleanup(h); }
  std::string get(CURLUPart part, unsigned flags = 0) const {
    char* s = nullptr;
    if (curl_url_get(h, part, &s, flags) != CURLUE_OK || !s) return {};
    std::string out(s);
    curl_free(s);
    return out;
  }
};

// Percent-encodes the bytes after the authority that cannot stand in a URL.
std::string encode_unsafe(const std::string& url) {
  std::size_t start = url.find("://");
  start = start == std::string::npos ? std::string::npos : url.find_first_of("/?#", start + 3);
  if (start == std::string::npos) return url;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = url.substr(0, start);
  for (std::size_t i = start; i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c)) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

Target parse_target(const std::string& url) {
  if (url.find('\0') != std::string::npos)
    throw HttpError("InvalidURL", "Invalid URL " + py_repr_str(url) + ": NUL byte in URL");
  const std::string lower = detail::ascii_lower(url);
  if (!detail::starts_with(lower, "http://") && !detail::starts_with(lower, "https://")) {
    if (url.find(':') != std::string::npos)
      throw HttpError("InvalidSchema", "No connection adapters were found for " + py_repr_str(url));
    throw HttpError("MissingSchema",
                    "Invalid URL " + py_repr_str(url) + ": No scheme supplied. Perhaps you meant http://" + url + "?");
  }
  const std::size_t authority = url.find("://") + 3;
  if (authority >= url.size() || std::strchr("/?#", url[authority]))
    throw HttpError("InvalidURL", "Invalid URL " + py_repr_str(url) + ": No host supplied");
  Target t;
  t.url = encode_unsafe(url);
  UrlHandle u;
  const CURLUcode rc = curl_url_set(u.h, CURLUPART_URL, t.url.c_str(), 0);
  if (rc == CURLUE_NO_HOST || (rc == CURLUE_OK && u.get(CURLUPART_HOST).empty()))
    throw HttpError("InvalidURL", "Invalid URL " + py_repr_str(url) + ": No host supplied");
  if (rc != CURLUE_OK) throw HttpError("InvalidURL", "Invalid URL " + py_repr_str(url) + ": " + curl_url_strerror(rc));
  t.scheme = u.get(CURLUPART_SCHEME);
  t.host = u.get(CURLUPART_HOST);
  t.port = std::strtol(u.get(CURLUPART_PORT, CURLU_DEFAULT_PORT).c_str(), nullptr, 10);
  t.path = u.get(CURLUPART_PATH);
  if (std::string q = u.get(CURLUPART_QUERY); !q.empty()) t.path += "?" + q;
  return t;
}

struct Proxy {
  std::string url;  // as handed to curl
  std::string host;
  long port = 0;
};

// A proxy as requests reads it: "host:port" means http://host:port, and a
// missing port is the scheme's (80 for http, not libcurl's 1080).
Proxy parse_proxy(const std::string& text) {
  Proxy p{text, text, 0};
  UrlHandle u;
  const std::string full = text.find("://") == std::string::npos ? "http://" + text : text;
  if (curl_url_set(u.h, CURLUPART_URL, full.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return p;
  std::string port = u.get(CURLUPART_PORT);
  if (port.empty()) {
    const std::string scheme = u.get(CURLUPART_SCHEME);
    port = scheme == "https" ? "443" : scheme.starts_with("socks") ? "1080" : "80";
    curl_url_set(u.h, CURLUPART_PORT, port.c_str(), 0);
  }
  p.url = u.get(CURLUPART_URL);
  p.host = u.get(CURLUPART_HOST);
  p.port = std::strtol(port.c_str(), nullptr, 10);
  return p;
}

// A time-out as Python prints the number: 30, 1.5.
std::string seconds_text(double t) {
  if (t == std::floor(t) && std::fabs(t) < 1e15) return std::to_string(static_cast<long long>(t));
  return py_repr_float(t);
}

void check_header_text(std::string_view name, std::string_view value) {
  auto bad = [](std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
  };
  if (bad(name) || bad(value) || name.empty() || name.find(':') != std::string_view::npos)
    throw HttpError("InvalidHeader", "Invalid return character or leading space in header: " + py_repr_str(name));
}

struct CurlList {
  curl_slist* list = nullptr;
  ~CurlList() { curl_slist_free_all(list); }
  void add(const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) throw std::bad_alloc();
    list = next;
  }
};

const Fields& default_headers() {
  static const Fields kDefaults = {{"User-Agent", "python-requests/2.28.1"},
                                   {"Accept-Encoding", "gzip, deflate"},
                                   {"Accept", "*/*"},
                                   {"Connection", "keep-alive"}};
  return kDefaults;
}

size_t write_body(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

size_t write_header(char* data, size_t size, size_t n, void* user) {
  auto* headers = static_cast<Fields*>(user);
  std::string_view line(data, size * n);
  if (line.starts_with("HTTP/")) {
    headers->clear();  // a new response of a redirect chain
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    headers->emplace_back(std::string(detail::trim(line.substr(0, colon))),
                          std::string(detail::trim(line.substr(colon + 1))));
  }
  return size * n;
}

struct FailureContext {
  const Target& target;
  const Proxy* proxy;  // the explicit proxy, if any
  double timeout;
};

std::string errno_text(long err) {
  return "[Errno " + std::to_string(err) + "] " + std::strerror(static_cast<int>(err));
}

HttpError failure(CURLcode rc, CURL* h, const char* errbuf, const FailureContext& ctx) {
  const Target& t = ctx.target;
  const std::string msg = errbuf[0] ? errbuf : curl_easy_strerror(rc);
  long os_errno = 0, status = 0;
  curl_off_t connect_us = 0;
  curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &os_errno);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connect_us);

  // requests names the pool of the proxy for plain HTTP through a proxy and
  // shows the absolute URL there; HTTPS goes through a tunnel to the target.
  const bool proxied = ctx.proxy != nullptr;
  const bool via_proxy_pool = proxied && t.scheme == "http";
  const std::string& pool_host = via_proxy_pool ? ctx.proxy->host : t.host;
  const long pool_port = via_proxy_pool ? ctx.proxy->port : t.port;
  const std::string pool = (t.scheme == "https" ? "HTTPSConnectionPool" : "HTTPConnectionPool") +
                           std::string("(host=") + py_repr_str(pool_host) + ", port=" + std::to_string(pool_port) + ")";
  const std::string retries = pool + ": Max retries exceeded with url: " + (via_proxy_pool ? t.url : t.path);
  auto caused_by = [&](const std::string& cause) { return retries + " (Caused by " + cause + ")"; };
  auto new_connection = [&](const std::string& why) {
    return "NewConnectionError(" + py_repr_str("Failed to establish a new connection: " + why) + ")";
  };
  auto proxy_error = [&](const std::string& inner) {
    return HttpError("ProxyError", caused_by("ProxyError('Cannot connect to proxy.', " + inner + ")"));
  };
  auto aborted = [&](const std::string& inner) {
    return HttpError("ConnectionError", "('Connection aborted.', " + inner + ")");
  };

  long tunnel_status = 0;  // a proxy's answer to CONNECT
  curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &tunnel_status);
  if (tunnel_status >= 300)
    return proxy_error("OSError(" + py_repr_str("Tunnel connection failed: " + std::to_string(tunnel_status)) + ")");

  switch (rc) {
    case CURLE_COULDNT_RESOLVE_PROXY:
      return proxy_error(new_connection(msg));
    case CURLE_COULDNT_RESOLVE_HOST:
      return HttpError("ConnectionError", caused_by(new_connection(msg)));
    case CURLE_COULDNT_CONNECT: {
      const std::string why = os_errno ? errno_text(os_errno) : msg;
      if (proxied) return proxy_error(new_connection(why));
      return HttpError("ConnectionError", caused_by(new_connection(why)));
    }
    case CURLE_PROXY:
      return proxy_error("OSError(" + py_repr_str(msg) + ")");
    case CURLE_OPERATION_TIMEDOUT: {
      if (connect_us == 0) {
        const std::string& host = proxied ? ctx.proxy->host : t.host;
        return HttpError("ConnectTimeout",
                         caused_by("ConnectTimeoutError(" +
                                   py_repr_str("Connection to " + host +
                                               " timed out. (connect timeout=" + seconds_text(ctx.timeout) + ")") +
                                   ")"));
      }
      return HttpError("ReadTimeout", pool + ": Read timed out. (read timeout=" + seconds_text(ctx.timeout) + ")");
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      return HttpError("SSLError", caused_by("SSLError(" + py_repr_str(msg) + ")"));
    case CURLE_GOT_NOTHING:
      return aborted("RemoteDisconnected('Remote end closed connection without response')");
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      if (status == 0) {
        if (!os_errno) return aborted(py_repr_str(msg));
        const char* name = os_errno == ECONNRESET     ? "ConnectionResetError"
                           : os_errno == EPIPE        ? "BrokenPipeError"
                           : os_errno == ECONNABORTED ? "ConnectionAbortedError"
                                                      : "OSError";
        return aborted(std::string(name) + "(" + std::to_string(os_errno) + ", " +
                       py_repr_str(std::strerror(static_cast<int>(os_errno))) + ")");
      }
      return HttpError("ChunkedEncodingError", "Connection broken: " + msg);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return aborted("BadStatusLine(" + py_repr_str(msg) + ")");
    case CURLE_PARTIAL_FILE:
      return HttpError("ChunkedEncodingError", "Connection broken: " + msg);
    case CURLE_BAD_CONTENT_ENCODING:
      return HttpError("ContentDecodingError",
                       "Received response with content-encoding, but failed to decode it: " + msg);
    case CURLE_TOO_MANY_REDIRECTS:
      return HttpError("TooManyRedirects", "Exceeded 30 redirects.");
    case CURLE_URL_MALFORMAT:
      return HttpError("InvalidURL", "Invalid URL " + py_repr_str(t.url) + ": " + msg);
    default:
      return HttpError("RequestException", msg);
  }
}

}  // namespace

struct HttpSession::Impl {
  CURL* curl = nullptr;
  char errbuf[CURL_ERROR_SIZE] = {};
  Impl() {
    global_init();
    curl = curl_easy_init();
    if (!curl) throw HttpError("RequestException", "cannot create a curl handle");
  }
  ~Impl() { curl_easy_cleanup(curl); }
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}
HttpSession::~HttpSession() = default;
HttpSession::HttpSession(HttpSession&&) noexcept = default;
HttpSession& HttpSession::operator=(HttpSession&&) noexcept = default;

void check_request_url(const std::string& url) { parse_target(url); }

HttpResponse HttpSession::get(const std::string& url, const RequestOptions& options) {
  return perform("GET", url, nullptr, options);
}

HttpResponse HttpSession::post(const std::string& url, const RequestBody& body, const RequestOptions& options) {
  return perform("POST", url, &body, options);
}

HttpResponse HttpSession::perform(const char* method, const std::string& url, const RequestBody* body,
                                  const RequestOptions& options) {
  if (!(options.timeout > 0) || !std::isfinite(options.timeout))
    throw std::invalid_argument("time-out must be a positive number of seconds");
  const Target target = parse_target(url);

  Fields headers = default_headers();
  for (const auto& field : options.headers) {
    const auto& k = field.first;
    const auto& v = field.second;
    check_header_text(k, v);
    auto it = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return iequals(h.first, k); });
    if (it != headers.end())
      *it = {k, v};
    else
      headers.emplace_back(k, v);
  }
  const bool has_type = find_field(headers, "Content-Type") != nullptr;
  if (body && !body->content_type().empty() && !has_type) headers.emplace_back("Content-Type", body->content_type());
  if (!options.cookies.empty() && !find_field(headers, "Cookie")) {
    std::string cookie;
    for (const auto& [k, v] : options.cookies) {
      check_header_text(k, v);
      if (!cookie.empty()) cookie += "; ";
      cookie += k + "=" + v;
    }
    headers.emplace_back("Cookie", cookie);
  }
  CurlList list;
  for (const auto& [k, v] : headers) list.add(v.empty() ? k + ";" : k + ": " + v);
  // Headers libcurl would add on its own.
  if (!find_field(headers, "Content-Type")) list.add("Content-Type:");
  if (!find_field(headers, "Expect")) list.add("Expect:");

  // An entry for the scheme wins over the environment; "" means no proxy.
  const std::string* proxy_entry = find_field(options.proxies, target.scheme);
  const std::optional<Proxy> proxy =
      proxy_entry && !proxy_entry->empty() ? std::optional<Proxy>(parse_proxy(*proxy_entry)) : std::nullopt;

  CURL* h = impl_->curl;
  curl_easy_reset(h);  // keeps the open connections
  HttpResponse response;
  impl_->errbuf[0] = '\0';
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, impl_->errbuf);
  curl_easy_setopt(h, CURLOPT_URL, target.url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 30L);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.list);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(options.timeout * 1000)));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(options.timeout))));
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, options.verify ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, options.verify ? 2L : 0L);
  if (options.verify && !options.ca_bundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, options.ca_bundle.c_str());
  if (proxy_entry) {
    curl_easy_setopt(h, CURLOPT_PROXY, proxy ? proxy->url.c_str() : "");  // "" disables every proxy
    curl_easy_setopt(h, CURLOPT_NOPROXY, "");
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response.content);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, write_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &response.headers);
  if (std::strcmp(method, "POST") == 0) {
    const std::string& bytes = body->bytes();
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, bytes.data());
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }

  const CURLcode rc = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  if (rc != CURLE_OK) throw failure(rc, h, impl_->errbuf, {target, proxy ? &*proxy : nullptr, options.timeout});
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  response.status_code = static_cast<int>(status);
  char* effective = nullptr;
  curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
  response.url = effective ? effective : target.url;
  return response;
}

HttpSession init_session() { return HttpSession(); }

std::string ca_bundle_from_env() {
  for (const char* var : {"REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"}) {
    const char* bundle = std::getenv(var);
    if (bundle && *bundle) return bundle;
  }
  return {};
}

}  // namespace tessel::core
