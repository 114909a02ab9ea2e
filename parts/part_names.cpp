#include "parts/part_names.h"

#include <string_view>

#include "core/nearest.h"
#include "core/text.h"

namespace bq {
namespace {

// The part of a unique match in one of the loose steps; null when none or several fit.
template <typename Fits>
const PartDatabase::PartMap::value_type* OnlyMatch(const PartDatabase& parts, Fits fits) {
  const PartDatabase::PartMap::value_type* found = nullptr;
  for (const auto& entry : parts.parts()) {
    if (!fits(entry.first)) continue;
    if (found) return nullptr;
    found = &entry;
  }
  return found;
}

}  // namespace

std::string PartShortId(const std::string& name) {
  struct Family {
    std::string_view prefix;  // upper case
    std::string_view id;
  };
  static constexpr Family kFamilies[] = {
      {"ATMEGA", "m"}, {"ATTINY", "t"}, {"AT90USB", "usb"}, {"AT90CAN", "can"}};
  const std::string upper = ToUpperAscii(name);
  for (const Family& family : kFamilies) {
    if (upper.size() > family.prefix.size() && upper.rfind(family.prefix, 0) == 0) {
      return std::string(family.id) + ToLowerAscii(name.substr(family.prefix.size()));
    }
  }
  return {};
}

const PartRecord* FindPartByAnyName(const PartDatabase& parts, const std::string& given,
                                    std::string* canonicalName) {
  if (given.empty()) return nullptr;
  const PartDatabase::PartMap::value_type* found = nullptr;
  if (const auto it = parts.parts().find(given); it != parts.parts().end()) {
    found = &*it;
  }
  const std::string lower = ToLowerAscii(given);
  if (!found) {
    found = OnlyMatch(parts, [&](const std::string& name) { return ToLowerAscii(name) == lower; });
  }
  if (!found) {
    found = OnlyMatch(parts, [&](const std::string& name) { return PartShortId(name) == lower; });
  }
  if (!found) return nullptr;
  if (canonicalName) *canonicalName = found->first;
  return &found->second;
}

std::vector<std::string> NearestPartNames(const PartDatabase& parts, const std::string& given,
                                          std::size_t max) {
  std::vector<std::string> candidates;
  candidates.reserve(parts.size());
  for (const auto& entry : parts.parts()) {
    const std::string id = PartShortId(entry.first);
    const bool idCloser = !id.empty() && NameDistance(given, id) < NameDistance(given, entry.first);
    candidates.push_back(idCloser ? id : entry.first);
  }
  return NearestNames(given, candidates, max);
}

std::string NoSuchPartText(const PartDatabase& parts, const std::string& given,
                           const std::string& where) {
  std::string text = "no part named '" + given + "' in " + where;
  const std::vector<std::string> near = NearestPartNames(parts, given, 3);
  for (std::size_t i = 0; i < near.size(); ++i) {
    text += (i == 0 ? "; did you mean " : i + 1 == near.size() ? " or " : ", ") + near[i];
  }
  return near.empty() ? text : text + "?";
}

}  // namespace bq
