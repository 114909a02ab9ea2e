#include "core/nearest.h"

#include <algorithm>
#include <cctype>

namespace bq {

std::size_t EditDistance(const std::string& a, const std::string& b) {
  auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  };
  const std::size_t n = a.size(), m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[n][m];
}

std::vector<std::string> NearestNames(const std::string& given,
                                      const std::vector<std::string>& candidates,
                                      std::size_t max) {
  const std::size_t limit = std::max<std::size_t>(1, (given.size() + 2) / 3);
  std::vector<std::pair<std::size_t, std::size_t>> scored;  // distance, index
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const std::size_t distance = EditDistance(given, candidates[i]);
    if (distance <= limit) scored.emplace_back(distance, i);
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> names;
  for (const auto& [distance, index] : scored) {
    if (names.size() == max) break;
    if (std::find(names.begin(), names.end(), candidates[index]) == names.end()) {
      names.push_back(candidates[index]);
    }
  }
  return names;
}

}  // namespace bq
