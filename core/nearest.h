#pragma once
// The names nearest to a mistyped one, for "did you mean" suggestions.

#include <cstddef>
#include <string>
#include <vector>

namespace bq {

// Edit distance (insertions, deletions, substitutions, swaps of neighbours), letters
// compared without regard to case.
std::size_t EditDistance(const std::string& a, const std::string& b);

// Up to max candidates close to given (nearest first; ties in candidate order); only names
// within about a third of the given name's length count as close.
std::vector<std::string> NearestNames(const std::string& given,
                                      const std::vector<std::string>& candidates,
                                      std::size_t max);

}  // namespace bq
