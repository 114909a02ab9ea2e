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
  for (const auto& [sequence, field] : part.fuseBits) {
    if (field.mask == 0) continue;
    if (field.name == "EESAVE" && chip.eesaveMask == 0) {
      chip.eesaveMask = field.mask;
      chip.eesaveByte = field.targetByte;
    } else if (field.name == "RSTDISBL" && chip.rstdisblMask == 0) {
      chip.rstdisblMask = field.mask;
      chip.rstdisblByte = field.targetByte;
    }
  }
  return chip;
}

bool SimChip::EepromSavedOnErase() const {
  return FieldProgrammed(eesaveMask, eesaveByte);
}

bool SimChip::FieldProgrammed(std::uint8_t mask, std::uint8_t target) const {
  std::uint8_t byte = 0xFF;
  switch (target) {
    case kTargetLow:
      byte = low;
      break;
    case kTargetHigh:
      byte = high;
      break;
    case kTargetExtended:
      byte = extended;
      break;
    default:
      return false;
  }
  return mask != 0 && (byte & mask) == 0;
}

void SimChip::Erase() {
  std::fill(flash.begin(), flash.end(), 0xFF);
  if (!EepromSavedOnErase()) std::fill(eeprom.begin(), eeprom.end(), 0xFF);
  lock = 0xFF;
}

}  // namespace bq
