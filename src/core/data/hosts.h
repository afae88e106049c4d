#pragma once
// Virtual-host names: the file-name form of a host, the exact matching of a
// host's own files in the model directory, host patterns and their
// normalisation.
#include <string>
#include <string_view>
#include <vector>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

// The file-name form of a host entry as listed ("a.com", ".a.com",
// "*.a.com", "*"). Bytes [A-Za-z0-9.-] stay; every other byte, and a leading
// ".", becomes "_" followed by its two lower-case hex digits ("*" -> "_2a",
// "_" -> "_5f"), so different entries never share a name. The empty entry
// gives "_". A result longer than 200 bytes is cut to 183 bytes followed by
// "_" and 16 hex digits of a hash of the entry. The result is never empty,
// never starts with ".", and holds no "/", NUL or glob character.
std::string vhost_normalization(std::string_view host, const LogSink& sink);
std::string vhost_normalization(std::string_view host);

// Names of a host's two model files: "<v>_rf.ml" and "<v>_vect.ml".
std::string model_rf_name(std::string_view v);
std::string model_vect_name(std::string_view v);
// True when `file_name` (a base name) is one of the host's model files.
bool is_host_model_file(std::string_view file_name, std::string_view v);
// True when `file_name` (a base name) is a staging file of the host:
// "<v>_" followed by one or more digits and ".db", compared literally.
bool is_host_staging_file(std::string_view file_name, std::string_view v);
// The host's model files that exist in `models_dir` (full paths, rf first).
std::vector<std::string> host_model_files(const std::string& models_dir, std::string_view v);
// The host's staging files in `models_dir` (full paths, sorted by name).
// A missing or unreadable directory gives an empty list.
std::vector<std::string> host_staging_files(const std::string& models_dir, std::string_view v);

// Host patterns: "*" any host; ".d" d and its sub-domains; "*.d" the
// sub-domains of d only; anything else the exact host. `host` is compared
// in lower case, without a ":port" suffix or a trailing ".".
bool host_pattern_match(std::string_view pattern, std::string_view host);
// The comparable form of a request's host: lower case, no ":port", no
// trailing ".".
std::string host_key(std::string_view host);

// One host pattern in its normalised form: trimmed, lower case, a leading
// "." or "*." kept, every label converted to its IDNA ASCII form. An entry
// that cannot be converted is returned trimmed and lower-cased.
std::string idna_vhost_list_normalization(std::string_view entry, const LogSink& sink);
std::string idna_vhost_list_normalization(std::string_view entry);

// The normalised host patterns of a list (a JSON array of texts, or one text
// of entries separated by "," or blanks): each entry through
// idna_vhost_list_normalization, empty and repeated entries dropped, order
// kept. Anything else gives an empty list and a warning.
Json vhosts_list_processing(const Json& value, const LogSink& sink);

// Fetches the list of machine-learning virtual hosts from `url`
// (POST {"key": key}) into the local copy `tessel_vhosts_list_db`, replaced
// atomically; a failed or malformed fetch leaves the copy as it was. True
// when the copy was replaced.
bool vhosts_list_get(const std::string& tessel_vhosts_list_db, const std::string& url, const ApiContext& api,
                     const LogSink& sink);
// The hosts of the local copy: texts, trimmed, empty and repeated entries
// left out (the first one stays), in list order. A missing or damaged copy
// gives `cur_mlvh_list`. With `debug` the list is logged.
Json vhosts_list_load(const std::string& tessel_vhosts_list_db, const Json& cur_mlvh_list, const LogSink& sink);

}  // namespace tessel::core
