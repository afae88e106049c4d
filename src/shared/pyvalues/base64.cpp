#include "shared/pyvalues/base64.h"

#include <array>

#include "shared/pyvalues/pyvalue.h"

namespace tessel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<unsigned char, 256> make_table() {
  std::array<unsigned char, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (unsigned char i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}
constexpr auto kTable = make_table();

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size(), i = 0;
  for (; i + 3 <= n; i += 3) {
    std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (n - i == 1) {
    std::uint32_t v = p[i] << 16;
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out += "==";
  } else if (n - i == 2) {
    std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8);
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

std::string base64_decode(std::string_view text) {
  std::string out;
  base64_decode(text, out);
  return out;
}

void base64_decode(std::string_view text, std::string& out) {
  for (unsigned char c : text)
    if (c >= 0x80) throw PyValueError("string argument should contain only ASCII characters");
  out.resize(text.size() / 4 * 3 + 3);
  char* o = out.data();
  auto done = [&] { out.resize(static_cast<std::size_t>(o - out.data())); };
  int quad = 0, pads = 0;
  unsigned left = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    // Four alphabet characters at a quad boundary: three bytes at once.
    if (quad == 0 && i + 4 <= n) {
      const unsigned a = kTable[p[i]], b = kTable[p[i + 1]], c = kTable[p[i + 2]], d = kTable[p[i + 3]];
      if ((a | b | c | d) < 64) {
        const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        *o++ = static_cast<char>(v >> 16);
        *o++ = static_cast<char>((v >> 8) & 0xFF);
        *o++ = static_cast<char>(v & 0xFF);
        pads = 0;
        i += 3;
        continue;
      }
    }
    const unsigned char ch = p[i];
    if (ch == '=') {
      if (quad >= 2 && quad + ++pads >= 4) {
        done();
        return;
      }
      continue;
    }
    unsigned v = kTable[ch];
    if (v >= 64) continue;
    pads = 0;
    switch (quad) {
      case 0:
        left = v;
        break;
      case 1:
        *o++ = static_cast<char>((left << 2) | (v >> 4));
        left = v & 0x0F;
        break;
      case 2:
        *o++ = static_cast<char>((left << 4) | (v >> 2));
        left = v & 0x03;
        break;
      case 3:
        *o++ = static_cast<char>((left << 6) | v);
        break;
    }
    quad = (quad + 1) & 3;
  }
  const std::size_t len = static_cast<std::size_t>(o - out.data());
  if (quad == 1)
    throw PyValueError("Invalid base64-encoded string: number of data characters (" + std::to_string(len / 3 * 4 + 1) +
                       ") cannot be 1 more than a multiple of 4");
  if (quad != 0) throw PyValueError("Incorrect padding");
  done();
}

}  // namespace tessel
