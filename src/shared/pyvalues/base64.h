#pragma once
// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks), with the
// decoding rules of Python's base64.b64decode.
#include <string>
#include <string_view>

namespace tessel {

std::string base64_encode(std::string_view bytes);

// base64.b64decode(text): characters outside the alphabet are skipped, the
// first complete padding ends the data. Throws PyValueError with Python's
// texts: "Incorrect padding", "Invalid base64-encoded string: number of data
// characters (5) cannot be 1 more than a multiple of 4", "string argument
// should contain only ASCII characters".
std::string base64_decode(std::string_view text);
// The same into `out`, whose room is reused.
void base64_decode(std::string_view text, std::string& out);

}  // namespace tessel
