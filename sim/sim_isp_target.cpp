#include "sim/sim_isp_target.h"

#include <utility>

namespace bq {

std::vector<IspLockoutField> IspLockoutFields(const PartRecord& part) {
  std::vector<IspLockoutField> fields;
  for (const auto& [sequence, field] : part.fuseBits) {
    if (field.mask == 0) continue;
    if (field.name == "RSTDISBL" || field.name == "DWEN")
      fields.push_back({field.targetByte, field.mask, true});
    else if (field.name == "SPIEN")
      fields.push_back({field.targetByte, field.mask, false});
  }
  return fields;
}

std::uint8_t SimIspTarget::FuseByte(std::uint8_t code) const {
  switch (code) {
    case kTargetLow:
      return chip_.low;
    case kTargetHigh:
      return chip_.high;
    case kTargetExtended:
      return chip_.extended;
    case kTargetLockBit:
      return chip_.lock;
    default:
      return 0xFF;
  }
}

bool SimIspTarget::LockedOut() const {
  for (const IspLockoutField& f : lockout_) {
    const bool programmed = (FuseByte(f.byte) & f.mask) == 0;
    if (programmed == f.locksWhenProgrammed) return true;
  }
  return false;
}

void SimIspTarget::ResetLow() {
  listening_ = connected_ && !LockedOut();
  enabled_ = false;
  position_ = 0;
  flashBuffer_.assign(chip_.flashPageBytes, -1);
  eepromBuffer_.assign(chip_.eepromPageBytes, -1);
}

void SimIspTarget::Release() {
  listening_ = false;
  enabled_ = false;
  position_ = 0;
}

std::uint32_t SimIspTarget::WordAddress() const {
  return std::uint32_t{extended_} << 16 | std::uint32_t{frame_[1]} << 8 | frame_[2];
}

std::uint8_t SimIspTarget::ReadOut() const {
  if (!enabled_) return 0x00;
  const std::uint8_t* b = frame_;
  switch (b[0]) {
    case 0x20:
    case 0x28: {
      // Lock mode 3 disables verification: the chip gives filler, as the other reads here.
      if (chip_.flash.empty() || chip_.ReadLocked()) return 0xFF;
      const std::size_t byte = (std::size_t{WordAddress()} * 2 + (b[0] == 0x28 ? 1 : 0));
      return chip_.flash[byte % chip_.flash.size()];
    }
    case 0xA0: {
      if (chip_.eeprom.empty() || chip_.ReadLocked()) return 0xFF;
      return chip_.eeprom[(std::size_t{b[1]} << 8 | b[2]) % chip_.eeprom.size()];
    }
    case 0x30: {
      const unsigned index = b[2] & 0x03u;
      if (index == 3) return 0xFF;
      return static_cast<std::uint8_t>(chip_.signature >> (16 - 8 * index));
    }
    case 0x38:
      return SimChip::Calibration(b[2]);
    case 0x50:
      return b[1] == 0x08 ? chip_.extended : chip_.low;
    case 0x58:
      return b[1] == 0x08 ? chip_.high : chip_.lock;
    case 0xF0:
      return stuckBusy_ ? 0x01 : 0x00;
    default:
      return 0x00;
  }
}

void SimIspTarget::Execute() {
  const std::uint8_t* b = frame_;
  if (b[0] == 0xAC && b[1] == 0x53) {
    enabled_ = true;
    return;
  }
  if (!enabled_) return;
  // A chip stuck in a write takes no new work.
  const bool writes = !stuckBusy_;
  const bool locked = chip_.WriteLocked();
  switch (b[0]) {
    case 0xAC:
      if (!writes) return;
      if ((b[1] & 0xE0u) == 0x80u) {
        chip_.Erase();
      } else if ((b[1] & 0xE0u) == 0xE0u) {
        chip_.lock &= static_cast<std::uint8_t>(b[3] | 0xC0u);  // bits only go to programmed
      } else if (b[1] == 0xA0) {
        chip_.low = b[3];
      } else if (b[1] == 0xA8) {
        chip_.high = b[3];
      } else if (b[1] == 0xA4) {
        chip_.extended = b[3];
      }
      return;
    case 0x4D:
      extended_ = b[2];
      return;
    case 0x40:
    case 0x48: {
      const unsigned high = b[0] == 0x48 ? 1 : 0;
      if (!flashBuffer_.empty()) {
        const std::size_t words = flashBuffer_.size() / 2;
        const std::size_t offset = (std::size_t{b[1]} << 8 | b[2]) % words;
        flashBuffer_[offset * 2 + high] = b[3];
      } else if (writes && !locked && !chip_.flash.empty()) {
        const std::size_t byte = std::size_t{WordAddress()} * 2 + high;
        chip_.flash[byte % chip_.flash.size()] &= b[3];
      }
      return;
    }
    case 0x4C: {
      if (flashBuffer_.empty()) return;
      const std::size_t words = flashBuffer_.size() / 2;
      const std::size_t start = (std::size_t{WordAddress()} - WordAddress() % words) * 2;
      for (std::size_t i = 0; i < flashBuffer_.size(); ++i) {
        if (flashBuffer_[i] < 0) continue;
        if (writes && !locked && start + i < chip_.flash.size())
          chip_.flash[start + i] &= static_cast<std::uint8_t>(flashBuffer_[i]);
        flashBuffer_[i] = -1;
      }
      return;
    }
    case 0xC0: {
      if (writes && !locked && !chip_.eeprom.empty())
        chip_.eeprom[(std::size_t{b[1]} << 8 | b[2]) % chip_.eeprom.size()] = b[3];
      return;
    }
    case 0xC1:
      if (!eepromBuffer_.empty()) eepromBuffer_[b[2] % eepromBuffer_.size()] = b[3];
      return;
    case 0xC2: {
      if (eepromBuffer_.empty() || chip_.eeprom.empty()) return;
      const std::size_t address = (std::size_t{b[1]} << 8 | b[2]) % chip_.eeprom.size();
      const std::size_t start = address - address % eepromBuffer_.size();
      for (std::size_t i = 0; i < eepromBuffer_.size(); ++i) {
        if (eepromBuffer_[i] < 0) continue;
        if (writes && !locked && start + i < chip_.eeprom.size())
          chip_.eeprom[start + i] = static_cast<std::uint8_t>(eepromBuffer_[i]);
        eepromBuffer_[i] = -1;
      }
      return;
    }
    default:
      return;
  }
}

std::uint8_t SimIspTarget::Shift(std::uint8_t in) {
  if (!listening_) return 0x00;
  frame_[position_] = in;
  std::uint8_t out = 0x00;
  switch (position_) {
    case 1:
      out = enabled_ ? frame_[0] : 0x00;
      break;
    case 2:
      // Before programming is enabled the chip only echoes the second byte of Programming
      // Enable, which is how the programmer knows it is in step.
      out = (enabled_ || (frame_[0] == 0xAC && frame_[1] == 0x53)) ? frame_[1] : 0x00;
      break;
    case 3:
      out = ReadOut();
      break;
    default:
      break;
  }
  if (++position_ == 4) {
    Execute();
    position_ = 0;
  }
  return out;
}

std::vector<std::uint8_t> SimIspTarget::Transfer(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                                 std::uint8_t b4) {
  return {Shift(b1), Shift(b2), Shift(b3), Shift(b4)};
}

}  // namespace bq
