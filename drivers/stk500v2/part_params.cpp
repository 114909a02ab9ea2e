#include "drivers/stk500v2/part_params.h"

#include <iterator>

namespace bq::stk500v2 {

namespace {

const PartParams kParts[] = {
#include "drivers/stk500v2/part_params.inc"
};

// The values most classic parts' device files give, with the longest delays among them.
const PartParams kGeneric = {"",
                             {200, 100, 25, 32, 0, 0x53, 3, 1, 1, 55, 1, 0x41, 10, 0x40, 0x4C, 0x20,
                              0x00, 0x00, 0x41, 20, 0xC1, 0xC2, 0xA0, 0x00, 0x00, 4, 4, 4, 4},
                             false,
                             {},
                             false,
                             {}};

}  // namespace

const PartParams* FindPartParams(std::string_view part) {
  for (const PartParams& p : kParts) {
    if (part == p.part) return &p;
  }
  return nullptr;
}

const PartParams& GenericParams() { return kGeneric; }

}  // namespace bq::stk500v2
