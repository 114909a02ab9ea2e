#pragma once
// Small part records built in code for the model tests.

#include "parts/part_database.h"

namespace bq::test {

inline BitFieldDesc BitField(const char* name, std::uint8_t mask, std::uint8_t target) {
  BitFieldDesc f;
  f.name = name;
  f.text = std::string("text of ") + name;
  f.mask = mask;
  f.targetByte = target;
  return f;
}

inline BitFieldDesc EnumField(const char* name, std::uint8_t mask, std::uint8_t target,
                              std::initializer_list<std::pair<std::uint8_t, const char*>> choices) {
  BitFieldDesc f = BitField(name, mask, target);
  f.isEnumerator = true;
  std::uint32_t n = 0;
  for (const auto& [value, text] : choices) f.choices[n++] = EnumChoice{value, text, ""};
  return f;
}

// TINYHV: HVSP part with low/high/extended fuses, lock bits and two calibration bytes.
// MEGAPP: HVPP mode 1, no extended fuse default, no calibration bytes.
// ISPONLY: no high-voltage mode, same flash size as TINYHV.
inline void FillTestParts(PartDatabase& db) {
  PartRecord& t = db.RecordFor("TINYHV");
  t.signature = 0x1E930B;
  t.flashPageSizeW = 32;
  t.flashNoOfPages = 128;
  t.eepromPageSize = 4;
  t.eepromNoOfPages = 128;
  t.hvMode = 3;
  t.hasDefaultLow = t.hasDefaultHigh = t.hasDefaultExtended = true;
  t.defaultLow = 0x62;
  t.defaultHigh = 0xDF;
  t.defaultExtended = 0xFF;
  t.fuseBits[0] = BitField("CKDIV8", 0x80, kTargetLow);
  t.fuseBits[1] =
      EnumField("CKSEL", 0x0F, kTargetLow, {{2, "Int 8 MHz"}, {4, "Int 128 kHz"}, {2, "dup"}});
  t.fuseBits[2] = BitField("SPIEN", 0x20, kTargetHigh);
  t.fuseBits[3] = BitField("BODLEVEL", 0x03, kTargetHigh);
  t.fuseBits[4] = BitField("SELFPRGEN", 0x01, kTargetExtended);
  t.lockBits[0] =
      EnumField("LB", 0x03, kTargetLockBit, {{3, "No lock"}, {2, "Write lock"}, {0, "Full lock"}});
  t.osccal[0] = OsccalEntry{"8.0 MHz", 0};
  t.osccal[1] = OsccalEntry{"6.4 MHz", 1};

  PartRecord& m = db.RecordFor("MEGAPP");
  m.signature = 0x1E950F;
  m.flashPageSizeW = 64;
  m.flashNoOfPages = 256;
  m.eepromPageSize = 4;
  m.eepromNoOfPages = 256;
  m.hvMode = 1;
  m.hasDefaultLow = m.hasDefaultHigh = true;
  m.defaultLow = 0x62;
  m.defaultHigh = 0xD9;
  m.fuseBits[0] = BitField("CKDIV8", 0x80, kTargetLow);
  m.fuseBits[1] = BitField("RSTDISBL", 0x80, kTargetHigh);
  m.fuseBits[2] = BitField("BODLEVEL0", 0x01, kTargetExtended);

  PartRecord& i = db.RecordFor("ISPONLY");
  i.signature = 0x1E9007;
  i.flashPageSizeW = 32;
  i.flashNoOfPages = 128;
  i.eepromPageSize = 0;
  i.eepromNoOfPages = 0;
  i.hvMode = 0;
  db.FinishLoad();
}

}  // namespace bq::test
