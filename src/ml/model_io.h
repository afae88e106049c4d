#pragma once
// Model files: a zone -> vectoriser or zone -> forest mapping in a versioned
// binary format.
//
// Layout (little-endian): "TESSELML", u32 format version, u32 kind
// (1 vectorisers, 2 forests), u64 payload size, payload, SHA-256 of the
// payload. Zones are written in name order and doubles as their IEEE bits,
// so equal models give equal bytes. Version 2 adds the zones the file holds
// no model for on purpose; a file without such zones is written as
// version 1, and both versions load.
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

// The newest format version read and written.
constexpr std::uint32_t kModelFormatVersion = 2;

// Zone names in ascending byte order, none repeated.
using ZoneNames = std::vector<std::string>;

// A model file's content: its models and the zones it holds no model for on
// purpose (empty in a version 1 file).
struct ModelFile {
  ZoneModels models;
  ZoneNames left_out;
};

// Throws std::invalid_argument for a model that is not fitted, or a
// left-out zone that is also among the models.
std::string to_bytes(const ZoneModels& models, const ZoneNames& left_out = {});
// Throws ModelFormatError.
ModelFile read_model_bytes(std::string_view bytes);
ZoneModels from_bytes(std::string_view bytes);

// Writes a temporary file beside path and renames it into place. Throws
// std::runtime_error on failure; an existing file is then left as it was.
void save_file(const ZoneModels& models, const std::string& path, const ZoneNames& left_out = {});
// Throw std::runtime_error when the file cannot be read, ModelFormatError
// when it is no model file.
ModelFile read_model_file(const std::string& path);
ZoneModels load_file(const std::string& path);

namespace detail {
// Header and checksum around a payload (for tests and fuzzing).
std::string seal(std::uint32_t kind, std::string_view payload, std::uint32_t version = 1);
}  // namespace detail

}  // namespace tessel::ml
