#pragma once
// What the program knows about one chip, as read from the part list.

#include <cstdint>
#include <map>
#include <string>

namespace bq {

// Which configuration byte a field or a request concerns; the same codes select bytes on the wire.
enum TargetByte : std::uint8_t {
  kTargetLow = 1,
  kTargetHigh = 2,
  kTargetExtended = 3,
  kTargetLockBit = 4,
};

struct EnumChoice {
  std::uint8_t value = 0;  // counted from the lowest set bit of the field's mask
  std::string text;
};

struct BitFieldDesc {
  std::string name;
  std::string text;
  std::uint8_t mask = 0;
  bool isEnumerator = false;
  std::map<std::uint32_t, EnumChoice> choices;  // by sequence number, file order
  std::uint8_t targetByte = 0;                  // a TargetByte code
};

struct OsccalEntry {
  std::string label;
  std::uint8_t address = 0;
};

using BitFieldMap = std::map<std::uint32_t, BitFieldDesc>;
using OsccalMap = std::map<std::uint32_t, OsccalEntry>;

struct PartRecord {
  std::uint32_t signature = 0;
  bool hasDefaultLow = false;
  bool hasDefaultHigh = false;
  bool hasDefaultExtended = false;
  BitFieldMap fuseBits;
  BitFieldMap lockBits;
  OsccalMap osccal;
  std::uint8_t defaultLow = 0;
  std::uint8_t defaultHigh = 0;
  std::uint8_t defaultExtended = 0;
  // Page sizes are kept as the list gives them, so a part whose pages a transfer cannot carry
  // is refused rather than programmed with a page size cut to 8 bits.
  std::uint32_t flashPageSizeW = 0;
  std::uint32_t flashNoOfPages = 0;
  std::uint32_t eepromPageSize = 0;
  std::uint32_t eepromNoOfPages = 0;
  std::uint8_t hvMode = 0;  // 1, 2 parallel, 3 serial, anything else: ISP only

  // Memory sizes in bytes, 0xFFFFFFFF when larger than 32 bits can say.
  std::uint32_t FlashBytes() const { return Saturated(std::uint64_t{flashPageSizeW} * 2u * flashNoOfPages); }
  std::uint32_t EepromBytes() const { return Saturated(std::uint64_t{eepromPageSize} * eepromNoOfPages); }
  static std::uint32_t Saturated(std::uint64_t bytes) {
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bytes);
  }
  bool HasHighVoltageMode() const { return hvMode >= 1 && hvMode <= 3; }
};

}  // namespace bq
