#include "core/nearest.h"

#include <algorithm>
#include <utility>

#include "core/text.h"

namespace bq {

std::size_t NameDistance(const std::string& a, const std::string& b) {
  const std::string x = ToLowerAscii(a);
  const std::string y = ToLowerAscii(b);
  // Three rows of the optimal string alignment table: two back for the swap.
  std::vector<std::size_t> before(y.size() + 1), previous(y.size() + 1), current(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t cost = x[i - 1] == y[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[y.size()];
}

std::vector<std::string> NearestNames(const std::string& given,
                                      const std::vector<std::string>& candidates, std::size_t max) {
  const std::size_t allowed = std::max<std::size_t>(1, given.size() / 3);
  std::vector<std::pair<std::size_t, const std::string*>> close;
  for (const std::string& candidate : candidates) {
    const bool seen = std::any_of(close.begin(), close.end(),
                                  [&](const auto& entry) { return *entry.second == candidate; });
    if (seen) continue;
    const std::size_t distance = NameDistance(given, candidate);
    if (distance <= allowed) close.emplace_back(distance, &candidate);
  }
  std::stable_sort(close.begin(), close.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (std::size_t i = 0; i < close.size() && i < max; ++i) out.push_back(*close[i].second);
  return out;
}

}  // namespace bq
