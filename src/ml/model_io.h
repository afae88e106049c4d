#pragma once
// Model files: a zone -> vectoriser or zone -> forest mapping in a versioned
// binary format.
//
// Layout (little-endian): "TESSELML", u32 format version, u32 kind
// (1 vectorisers, 2 forests), u64 payload size, payload, SHA-256 of the
// payload. Zones are written in name order and doubles as their IEEE bits,
// so equal models give equal bytes.
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "ml/forest.h"
#include "ml/tfidf.h"

namespace tessel::ml {

// A file that is not a model file of this format, or is damaged.
class ModelFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using VectorizerMap = std::map<std::string, TfidfVectorizer>;
using ForestMap = std::map<std::string, RandomForestClassifier>;
using ZoneModels = std::variant<VectorizerMap, ForestMap>;

constexpr std::uint32_t kModelFormatVersion = 1;

std::string to_bytes(const ZoneModels& models);
// Throws ModelFormatError.
ZoneModels from_bytes(std::string_view bytes);

// Writes a temporary file beside path and renames it into place. Throws
// std::runtime_error on failure; an existing file is then left as it was.
void save_file(const ZoneModels& models, const std::string& path);
// Throws std::runtime_error when the file cannot be read, ModelFormatError
// when it is no model file.
ZoneModels load_file(const std::string& path);

namespace detail {
// Header and checksum around a payload (for tests and fuzzing).
std::string seal(std::uint32_t kind, std::string_view payload);
}  // namespace detail

}  // namespace tessel::ml
