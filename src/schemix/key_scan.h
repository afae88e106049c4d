#pragma once
// The key list of a request body read straight from its text, in one pass
// and without building the value: what schemix_get_keys gives for
// json_loads(text, false), for the common bodies. A text the scanner does not
// take (one json_loads rejects, a member name with an escape, a number that
// may be out of an int's range, nesting beyond kScanDepth) is left to
// json_loads and schemix_get_keys.
#include <cstdint>
#include <string_view>
#include <vector>

namespace tessel::schemix {

class KeyScanner {
 public:
  static constexpr int kScanDepth = 256;

  // Appends the key list of `text` to `keys` (views into `text`) and returns
  // true, or returns false with `keys` as it was.
  bool scan(std::string_view text, std::vector<std::string_view>& keys);

 private:
  enum class Kind : std::uint8_t { scalar, object, array };
  struct Node {
    std::string_view name;  // of a member; empty for an array element
    std::uint32_t first = kNone, last = kNone, next = kNone;
    Kind kind = Kind::scalar;
  };
  static constexpr std::uint32_t kNone = 0xffffffffu;

  std::uint32_t add_child(std::uint32_t parent, std::string_view name, Kind kind);
  bool value_into(std::uint32_t parent, std::string_view name, bool member, int depth);
  bool container(std::uint32_t node, int depth);
  bool string(std::string_view* out, bool plain_only);
  bool number();
  bool literal(std::string_view word);
  void skip_ws();
  void emit(std::uint32_t node, std::vector<std::string_view>& keys);

  const char* p_ = nullptr;
  const char* end_ = nullptr;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> order_;  // members being sorted, a stack of spans
};

}  // namespace tessel::schemix
