#include "sim/sim_chip.h"

#include <algorithm>

namespace bq {

SimChip SimChip::FromPart(const std::string& name, const PartRecord& part) {
  SimChip chip;
  chip.partName = name;
  chip.signature = part.signature & 0xFFFFFFu;
  chip.hvMode = part.hvMode;
  chip.flashPageBytes = part.flashPageSizeW * 2u;
  chip.eepromPageBytes = part.eepromPageSize;
  chip.flash.assign(part.FlashBytes(), 0xFF);
  chip.eeprom.assign(part.EepromBytes(), 0xFF);
  chip.low = part.hasDefaultLow ? part.defaultLow : 0xFF;
  chip.high = part.hasDefaultHigh ? part.defaultHigh : 0xFF;
  chip.extended = part.hasDefaultExtended ? part.defaultExtended : 0xFF;
  chip.lock = 0xFF;
  return chip;
}

void SimChip::Erase() {
  std::fill(flash.begin(), flash.end(), 0xFF);
  std::fill(eeprom.begin(), eeprom.end(), 0xFF);
  lock = 0xFF;
}

}  // namespace bq
