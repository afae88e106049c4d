#pragma once
// URL normalisation with the exact results of url-normalize 1.4.3 on
// CPython 3.10 (default scheme "https", UTF-8, sorted query), and
// urllib.parse.quote_plus.
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessel {

// An input that url_normalize rejects. what() is the text Python's error
// gave, e.g. "encoding with 'idna' codec failed (UnicodeError: label empty
// or too long)", "Invalid IPv6 URL", "'foo'" (a numeric port under a scheme
// without a known default port), "invalid literal for int() with base 10:
// '²'". Input that is not valid UTF-8 is rejected too.
class UrlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The normalised form of `url` (UTF-8). Steps, in order: a scheme-less
// input gets "https://" ("https:" before "//"; one starting with "/" or
// equal to "-" stays a path); "#!" becomes "?_escaped_fragment_=";
// "utm_source=..." parameters are removed; then scheme and host are
// lower-cased, the host IDNA-2003 encoded, default ports dropped, path,
// query and fragment percent-decoded, NFC-normalised and re-quoted, dot
// segments removed and query parameters sorted. Throws UrlError.
std::string url_normalize(std::string_view url);

// Form encoding of `text`'s bytes: letters, digits, "_.-~" and the ASCII
// characters of `safe` stay, a space becomes "+", every other byte "%XX".
std::string quote_plus(std::string_view text, std::string_view safe = "");

}  // namespace tessel
