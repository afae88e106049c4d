#pragma once
// Infers a JSON Schema from observed values. Each node of the schema keeps
// the kinds of value it has seen in the order they first appeared: null,
// boolean, number (an "integer" until a float is seen), string, array (one
// items node merging the elements of every array seen there) and object
// (one node per member name; "required" is the names every object had).
// A node that saw one kind gives that kind's schema; several plain kinds
// give a sorted "type" list; with nested kinds the result is an "anyOf" list
// whose plain-type entry comes first.
#include <memory>
#include <string>

#include "shared/pyvalues/json.h"

namespace tessel::schemix {

class SchemaBuilder {
 public:
  SchemaBuilder();
  ~SchemaBuilder();
  SchemaBuilder(SchemaBuilder&&) noexcept;
  SchemaBuilder& operator=(SchemaBuilder&&) noexcept;

  // Merges one value into the schema. Throws PyValueError for a value with
  // no JSON kind (bytes) or nested deeper than kPyMaxDepth; the schema then
  // holds what was merged before the failing part.
  void add_object(const Json& value);
  // The schema, without a "$schema" member.
  Json to_schema() const;

  struct Node;

 private:
  std::unique_ptr<Node> root_;
};

// The canonical text of a value: members sorted by name at every level,
// ", " and ": " separators, non-ASCII as \u escapes. Equal values have equal
// texts whatever the order of their members.
std::string canonical_text(const Json& value);

}  // namespace tessel::schemix
