#pragma once
// "Did you mean ...": the known names closest to a name that was not recognised (a part, a
// command, an option).

#include <cstddef>
#include <string>
#include <vector>

namespace bq {

// Edit distance ignoring ASCII letter case: insertions, deletions, substitutions and swaps of
// two neighbouring characters each count one ("t58" is one from "t85").
std::size_t NameDistance(const std::string& a, const std::string& b);

// Up to max candidates that are reasonably close to given, closest first (equal distances
// keep the candidates' order; a candidate listed twice is given once). Reasonably close: at
// most given.size() / 3 edits, and always one ("t58" finds "t85", "atmega328" finds
// "ATmega328P"). Empty when nothing is that close.
std::vector<std::string> NearestNames(const std::string& given,
                                      const std::vector<std::string>& candidates, std::size_t max);

}  // namespace bq
