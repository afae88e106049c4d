#pragma once
// Fuzzy line matching with the scores of fuzzywuzzy 0.18.0 over
// python-Levenshtein 0.12: process.extractOne with its default processor
// (utils.full_process) and scorer (fuzz.WRatio).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::orvik::fuzzy {

// utils.full_process: with `force_ascii` the code points U+0080..U+00FF are
// dropped; every code point that is neither alphanumeric nor "_" becomes a
// blank; then lower case and surrounding white space stripped.
std::u32string full_process(std::u32string_view s, bool force_ascii);

// The scorers on texts already processed (full_process=False), 0..100.
int ratio(std::u32string_view a, std::u32string_view b);
int partial_ratio(std::u32string_view a, std::u32string_view b);
int token_sort_ratio(std::u32string_view a, std::u32string_view b, bool partial = false);
int token_set_ratio(std::u32string_view a, std::u32string_view b, bool partial = false);
int wratio(std::u32string_view p1, std::u32string_view p2);

// The query and a choice as extractOne prepares them: the query processed
// twice (first keeping non-ASCII), a choice once with force_ascii.
std::u32string process_query(std::string_view line);
std::u32string process_choice(std::string_view choice);

struct Match {
  std::size_t index;  // into the choices
  int score;
};
// process.extractOne(query, choices): the first choice with the highest
// score; nullopt for no choices.
std::optional<Match> extract_one(std::string_view query, const std::vector<std::string>& choices);

// A choice prepared once for repeated coverage tests.
struct Prepared {
  std::u32string text;                    // processed
  std::u32string sorted_tokens;           // tokens sorted, joined by " "
  std::vector<std::u32string> token_set;  // distinct tokens, sorted
};
Prepared prepare(std::u32string processed);

// WRatio(query, choice) >= threshold, for a threshold above 90 (the
// partial branch, at most 90, never reaches it). Exact, with cheap bounds
// tried first.
bool reaches(const Prepared& query, const Prepared& choice, int threshold);

}  // namespace tessel::orvik::fuzzy
