#include "sim/sim_chip.h"

#include <algorithm>
#include <cstdio>

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
    } else if (field.name == "DWEN" && chip.dwenMask == 0) {
      chip.dwenMask = field.mask;
      chip.dwenByte = field.targetByte;
    } else if (field.name == "SPIEN" && chip.spienMask == 0) {
      chip.spienMask = field.mask;
      chip.spienByte = field.targetByte;
    } else if ((field.name == "SUT_CKSEL" || field.name == "CKSEL") && field.isEnumerator &&
               chip.clockMask == 0) {
      chip.clockMask = field.mask;
      chip.clockByte = field.targetByte;
      for (const auto& [row, choice] : field.choices) {
        if (choice.text.rfind("Ext.", 0) == 0) chip.externalClockValues.push_back(choice.value);
      }
    }
  }
  return chip;
}

bool SimChip::EepromSavedOnErase() const {
  return FieldProgrammed(eesaveMask, eesaveByte);
}

std::uint8_t SimChip::Byte(std::uint8_t target) const {
  switch (target) {
    case kTargetLow:
      return low;
    case kTargetHigh:
      return high;
    case kTargetExtended:
      return extended;
    default:
      return 0xFF;
  }
}

bool SimChip::FieldProgrammed(std::uint8_t mask, std::uint8_t target) const {
  if (target < kTargetLow || target > kTargetExtended) return false;
  return mask != 0 && (Byte(target) & mask) == 0;
}

bool SimChip::ClockMissing() const {
  if (clockMask == 0) return false;
  int shift = 0;
  while ((clockMask & (1u << shift)) == 0) ++shift;
  const std::uint8_t value = static_cast<std::uint8_t>((Byte(clockByte) & clockMask) >> shift);
  return std::find(externalClockValues.begin(), externalClockValues.end(), value) !=
         externalClockValues.end();
}

bool SimChip::IspLockedOutAtEntry(bool clockFitted) const {
  const bool spiOff = spienMask != 0 && !FieldProgrammed(spienMask, spienByte);
  return FieldProgrammed(dwenMask, dwenByte) || spiOff || (!clockFitted && ClockMissing());
}

bool SimChip::IspLockedOut() const {
  return ResetDisabled() || IspLockedOutAtEntry();
}

void SimChip::Erase() {
  std::fill(flash.begin(), flash.end(), 0xFF);
  if (!EepromSavedOnErase()) std::fill(eeprom.begin(), eeprom.end(), 0xFF);
  lock = 0xFF;
}

namespace {
constexpr const char* kChipFileHeading = "brindlequartz simulated chip";
}  // namespace

std::string SimChipFileText(const SimChip& chip) {
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X", chip.low, chip.high, chip.extended,
                chip.lock);
  std::string text = std::string(kChipFileHeading) + "\n" + chip.partName + "\n" + bytes + "\n";
  text.append(chip.flash.begin(), chip.flash.end());
  text.append(chip.eeprom.begin(), chip.eeprom.end());
  return text;
}

bool LoadSimChipFileText(const std::string& text, SimChip& chip, std::string* why) {
  auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  const std::size_t first = text.find('\n');
  const std::size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  const std::size_t third = second == std::string::npos ? second : text.find('\n', second + 1);
  if (third == std::string::npos || text.compare(0, first, kChipFileHeading) != 0) {
    return fail("not a simulated chip");
  }
  const std::string part = text.substr(first + 1, second - first - 1);
  if (part != chip.partName) return fail("holds a " + part + ", not a " + chip.partName);
  unsigned low = 0, high = 0, extended = 0, lock = 0;
  char end = 0;
  const std::string bytes = text.substr(second + 1, third - second - 1);
  if (std::sscanf(bytes.c_str(), "%2x %2x %2x %2x%c", &low, &high, &extended, &lock, &end) != 4) {
    return fail("its fuse and lock bytes are unreadable");
  }
  const std::size_t data = third + 1;
  if (text.size() - data != chip.flash.size() + chip.eeprom.size()) {
    return fail("its memories are not the " + std::to_string(chip.flash.size()) + " + " +
                std::to_string(chip.eeprom.size()) + " bytes of a " + chip.partName);
  }
  std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(data), chip.flash.size(),
              chip.flash.begin());
  std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(data + chip.flash.size()),
              chip.eeprom.size(), chip.eeprom.begin());
  chip.low = static_cast<std::uint8_t>(low);
  chip.high = static_cast<std::uint8_t>(high);
  chip.extended = static_cast<std::uint8_t>(extended);
  chip.lock = static_cast<std::uint8_t>(lock);
  return true;
}

}  // namespace bq
