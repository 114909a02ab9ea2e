#pragma once
// Small part records built in code for the model tests.

#include <vector>

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
  for (const auto& [value, text] : choices) f.choices[n++] = EnumChoice{value, text, {}};
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

// The field's named values given their own names, in choice order.
inline BitFieldDesc Named(BitFieldDesc field, std::initializer_list<const char*> names) {
  auto choice = field.choices.begin();
  for (const char* name : names) (choice++)->second.name = name;
  return field;
}

// TINYUPDI: a UPDI part laid out as a tinyAVR 1-series: named fuse bytes with a gap at offsets
// 3 and 4, a byte without fields (APPEND) and one without a factory value (BOOTEND), and the
// UPDI pin shared with RESET and GPIO through SYSCFG0.RSTPINCFG (1 keeps UPDI).
inline void AddUpdiTestPart(PartDatabase& db) {
  PartRecord& p = db.RecordFor("TINYUPDI");
  p.signature = 0x1E9422;
  p.flashPageSizeW = 32;
  p.flashNoOfPages = 256;
  p.eepromPageSize = 32;
  p.eepromNoOfPages = 8;
  UpdiLayout& u = p.updi;
  u.present = true;
  u.flashBase = 0x8000;
  u.fuseBase = 0x1280;
  u.pinShared = true;
  u.pinFuse = "SYSCFG0";
  u.pinField = "RSTPINCFG";
  u.pinUpdiValue = 1;
  auto byte = [&u](const char* name, std::uint8_t offset, bool hasDefault, std::uint8_t value,
                   std::vector<BitFieldDesc> fields) {
    NamedFuseByte b;
    b.name = name;
    b.offset = offset;
    b.hasDefault = hasDefault;
    b.defaultValue = value;
    b.fields = std::move(fields);
    u.fuses.push_back(std::move(b));
  };
  byte("WDTCFG", 0, true, 0x00, {EnumField("PERIOD", 0x0F, 0, {{0, "Off"}, {1, "8 cycles"}})});
  byte("BODCFG", 1, true, 0x00,
       {EnumField("SLEEP", 0x03, 0, {{0, "Disabled"}, {1, "Enabled"}, {2, "Sampled"}}),
        EnumField("ACTIVE", 0x0C, 0, {{0, "Disabled"}, {1, "Enabled"}, {2, "Sampled"}}),
        BitField("SAMPFREQ", 0x10, 0),
        EnumField("LVL", 0xE0, 0, {{0, "1.8 V"}, {2, "2.6 V"}, {7, "4.2 V"}})});
  byte("OSCCFG", 2, true, 0x02,
       {EnumField("FREQSEL", 0x03, 0, {{1, "16 MHz"}, {2, "20 MHz"}}),
        BitField("OSCLOCK", 0x80, 0)});
  byte("SYSCFG0", 5, true, 0xC4,
       {EnumField("CRCSRC", 0xC0, 0, {{0, "Flash"}, {3, "No CRC"}}), BitField("EESAVE", 0x01, 0),
        Named(EnumField("RSTPINCFG", 0x0C, 0,
                        {{0, "GPIO mode"}, {1, "UPDI mode"}, {2, "Reset mode"}}),
              {"GPIO", "UPDI", "RST"})});
  byte("SYSCFG1", 6, true, 0x07, {EnumField("SUT", 0x07, 0, {{0, "0 ms"}, {7, "64 ms"}})});
  byte("APPEND", 7, true, 0x00, {});
  byte("BOOTEND", 8, false, 0x00, {});
}

}  // namespace bq::test
