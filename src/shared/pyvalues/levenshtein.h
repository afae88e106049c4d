#pragma once
// Unit-cost edit distance (insert, delete, substitute one character) over
// the code points of two texts, as Levenshtein.distance counts it.
#include <cstddef>
#include <limits>
#include <string_view>

namespace tessel {

// The distance when it is at most `bound`, otherwise bound + 1. Runs in
// O(bound * length) time, so a bounded call stays cheap on long texts.
std::size_t levenshtein(std::string_view a, std::string_view b,
                        std::size_t bound = std::numeric_limits<std::size_t>::max() - 1);

}  // namespace tessel
