#pragma once
// Text of the request zones: the normalised form the detectors read, the
// multipart boundary, the decoding of URL values and the JSON test of
// bodies. docs/intake.md describes each zone's normalised form.
#include <string>
#include <string_view>
#include <vector>

#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

// The base64 white-list: values, or names of parameters (args, cookie and
// form or JSON body fields), whose base64 text stays encoded.
struct B64Whitelist {
  std::vector<std::string> names;  // sorted, distinct
  bool contains(std::string_view name) const;
};

// Reads the white-list file ("b64wl.db": a JSON array of texts). A missing
// file is an empty list; a file that cannot be read or parsed is logged
// ("os") and gives an empty list. Never throws.
B64Whitelist b64wl_load(const std::string& path, const LogSink& sink);

// The boundary of a multipart body: the "boundary" parameter of the last
// Content-Type header line among `other_headers` (lines separated by
// "\r\n") when its media type is multipart/*, else "".
std::string get_boundary(std::string_view body, std::string_view other_headers, const LogSink& sink);

// The normalised text of one zone, valid UTF-8:
//   url            the path: query and fragment cut, percent-decoded once;
//   args, cookie   one "name=value" line per parameter, percent-decoded;
//   other_headers  one "Name: value" line per header, stripped;
//   body           multipart parts as "content-disposition: ... value"
//                  lines, JSON as "name=value" lines of its leaves
//                  ("a[b]", "a[]"; JSON nested deeper than 1000
//                  levels counts as other text), a form as in args, other
//                  text as its stripped lines;
//   ua, referer    stripped (referer percent-decoded once).
// Lines are joined with "\r\n"; empty lines are left out. In args, cookie
// and form or JSON bodies a value that is base64 of printable UTF-8 text is
// replaced by that text, unless the value or its name is on the white-list. An unknown
// zone name gives the text unchanged.
std::string req_data_normalization(std::string_view zone, std::string_view data, std::string_view boundary,
                                   const B64Whitelist& b64wl, const LogSink& sink);

// A URL value with its percent-escapes decoded until none is left (three
// rounds at most); bytes that are not UTF-8 become U+FFFD.
std::string req_data_decode(std::string_view value, const LogSink& sink);

// True when the text is a JSON object or array.
bool is_json(std::string_view text);

}  // namespace tessel::core
