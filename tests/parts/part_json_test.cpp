// The one-line JSON form of a part record.

#include "parts/part_json.h"

#include <gtest/gtest.h>

#include "parts/part_database.h"
#include "tests/parts/part_list_files.h"

namespace bq {
namespace {

TEST(PartRecordJson, DescribesTheDemoChipOnOneLine) {
  PartDatabase db;
  ASSERT_EQ(test::LoadText(db, test::kDemo8), 1);
  EXPECT_EQ(
      PartRecordJson("DEMO-8", *db.Find("DEMO-8")),
      R"({"name":"DEMO-8","signature":2005401,"flashPageSizeW":32,"flashNoOfPages":128,)"
      R"("eepromPageSize":4,"eepromNoOfPages":128,"hvMode":1,"defaultLow":98,"defaultHigh":217,)"
      R"("defaultExtended":null,"osccal":[{"label":"8.0 MHz","address":0}],"fuseBits":[)"
      R"({"name":"CKSEL","text":"Clock source","mask":15,"isEnumerator":true,"targetByte":1,)"
      R"("choices":[{"value":0,"text":"External clock"},{"value":2,"text":"Internal RC oscillator"}]},)"
      R"({"name":"CKOUT","text":"Clock output","mask":64,"isEnumerator":false,"targetByte":1,"choices":[]},)"
      R"({"name":"EESAVE","text":"Preserve EEPROM through chip erase","mask":8,"isEnumerator":false,)"
      R"("targetByte":2,"choices":[]}],"lockBits":[{"name":"LB","text":"Lock mode","mask":3,)"
      R"("isEnumerator":true,"targetByte":4,"choices":[{"value":3,"text":"No lock"},)"
      R"({"value":0,"text":"Programming and verification disabled"}]}]})");
}

TEST(PartRecordJson, AnEmptyRecordHasNullDefaultsAndEmptyLists) {
  EXPECT_EQ(PartRecordJson("X", PartRecord{}),
            R"({"name":"X","signature":0,"flashPageSizeW":0,"flashNoOfPages":0,"eepromPageSize":0,)"
            R"("eepromNoOfPages":0,"hvMode":0,"defaultLow":null,"defaultHigh":null,)"
            R"("defaultExtended":null,"osccal":[],"fuseBits":[],"lockBits":[]})");
}

TEST(PartRecordJson, AUpdiPartAddsItsLayoutAndNamedFuseBytesWithValueNames) {
  PartRecord r;
  r.updi.present = true;
  r.updi.nvmVersion = 2;
  r.updi.flashBase = 0x800000;
  r.updi.lockSize = 4;
  r.updi.lockOpenValue = 0x5CC5C55C;
  NamedFuseByte& fuse = r.updi.fuses.emplace_back();
  fuse.name = "SYSCFG0";
  fuse.offset = 5;
  fuse.text = "System Configuration 0";
  BitFieldDesc& field = fuse.fields.emplace_back();
  field.name = "EESAVE";
  field.mask = 1;
  field.isEnumerator = true;
  field.choices[0] = EnumChoice{1, "EEPROM kept", "KEEP"};
  const std::string json = PartRecordJson("X", r);
  EXPECT_NE(
      json.find(R"("lockBits":[],"updi":{"present":true,"nvmVersion":2,"flashBase":8388608,)"
                R"("eepromBase":0,"userRowBase":0,"userRowSize":0,"sigRowBase":0,"fuseBase":0,)"
                R"("lockBase":0,"lockSize":4,"lockOpenValue":1556464988,"pinShared":false,)"
                R"("pinFuse":"","pinField":"","pinUpdiValue":0,"fuses":[{"name":"SYSCFG0",)"
                R"("text":"System Configuration 0","offset":5,"default":null,"fields":[)"
                R"({"name":"EESAVE","text":"","mask":1,"isEnumerator":true,"targetByte":0,)"
                R"("choices":[{"value":1,"name":"KEEP","text":"EEPROM kept"}]}]}]}})"),
      std::string::npos)
      << json;
}

TEST(PartRecordJson, EscapesQuotesAndControlsKeepsUtf8AndReplacesBrokenBytes) {
  PartRecord r;
  r.hasDefaultExtended = true;
  r.defaultExtended = 255;
  r.signature = 0xFFFFFFFF;
  r.osccal[0].label = std::string("a\"b\\c\td\x7F\xC3\xA9\n/<>", 14);
  r.osccal[0].label += '\0';
  r.osccal[0].label += "\xE6\x97\xA5\xFF\xC3";  // UTF-8 stays; broken bytes become U+FFFD
  const std::string json = PartRecordJson("\x01", r);
  EXPECT_NE(json.find(R"("name":"\u0001")"), std::string::npos);
  EXPECT_NE(json.find(R"("signature":4294967295)"), std::string::npos);
  EXPECT_NE(json.find(R"("defaultExtended":255)"), std::string::npos);
  EXPECT_NE(json.find("\"label\":\"a\\\"b\\\\c\\u0009d\\u007F\xC3\xA9\\u000A/<>\\u0000\xE6\x97\xA5"
                      "\\uFFFD\\uFFFD\""),
            std::string::npos)
      << json;
}

}  // namespace
}  // namespace bq
