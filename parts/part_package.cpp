#include "parts/part_package.h"

#include <vector>

namespace bq {

Package PackageOf(const std::string& name) {
  static const struct {
    Package package;
    std::vector<std::string> parts;
  } kTable[] = {
      {Package::Dip8, {"ATtiny13", "ATtiny13A", "ATtiny25", "ATtiny45", "ATtiny85"}},
      {Package::Dip14,
       {"ATtiny24", "ATtiny24A", "ATtiny44", "ATtiny44A", "ATtiny84", "ATtiny84A", "ATtiny841"}},
      {Package::Dip20, {"ATtiny2313", "ATtiny2313A", "ATtiny4313"}},
      {Package::Dip20X61,
       {"ATtiny26", "ATtiny261", "ATtiny261A", "ATtiny461", "ATtiny461A", "ATtiny861",
        "ATtiny861A"}},
      {Package::Dip28,
       {"ATmega8", "ATmega8A", "ATmega48", "ATmega48A", "ATmega48P", "ATmega48PA", "ATmega88",
        "ATmega88A", "ATmega88P", "ATmega88PA", "ATmega168", "ATmega168A", "ATmega168P",
        "ATmega168PA", "ATmega328", "ATmega328P"}},
      {Package::Dip40,
       {"ATmega16", "ATmega16A", "ATmega32", "ATmega32A", "ATmega164P", "ATmega164PA", "ATmega324P",
        "ATmega324PA", "ATmega644", "ATmega644A", "ATmega644P", "ATmega644PA", "ATmega1284",
        "ATmega1284P"}},
  };
  for (const auto& row : kTable) {
    for (const std::string& part : row.parts) {
      if (part == name) return row.package;
    }
  }
  return Package::Other;
}

}  // namespace bq
