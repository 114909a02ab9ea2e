// Reading the entries of parts programmed over UPDI: the UPDI tag and the named fuse bytes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parts/part_database.h"
#include "tests/parts/part_list_files.h"

namespace bq {
namespace {

using test::LoadText;

constexpr const char* kLayout =
    R"(nvm="0" flash="0x8000" eeprom="0x1400" userrow="0x1300" userbytes="32" sigrow="0x1100" )"
    R"(fusebase="0x1280" lockbase="0x128A" lockbytes="1" unlocked="0xC5" pinshared="1" )"
    R"(pinfuse="SYSCFG0" pinfield="RSTPINCFG" pinupdi="0x1")";

std::string Entry(const std::string& body) {
  return "<AVRPART name=\"DEMO-U\" signature=\"0x1E9422\">\n"
         "  <MEMORY FlashPageSizeW=\"32\" FlashNoOfPages=\"256\" EEpromPageSize=\"32\" "
         "EEpromNoOfPages=\"8\">\n" +
         body + "</AVRPART>\n";
}

const PartRecord& Load(PartDatabase& db, const std::string& text) {
  EXPECT_GE(LoadText(db, text), 1);
  const PartRecord* r = db.Find("DEMO-U");
  EXPECT_NE(r, nullptr);
  static const PartRecord kNone;
  return r ? *r : kNone;
}

std::vector<std::string> FuseNames(const PartRecord& r) {
  std::vector<std::string> names;
  for (const NamedFuseByte& f : r.updi.fuses) names.push_back(f.name);
  return names;
}

TEST(UpdiPartList, ReadsTheLayoutAndEveryNamedFuseByte) {
  PartDatabase db;
  const PartRecord& r = Load(db, Entry(std::string("<UPDI ") + kLayout + R"(>
  <FUSEBYTES>
    <FUSEBYTE name="SYSCFG0" offset="0x05" default="0xC4" text="System Configuration 0">
      <ENUMERATOR mask="0x0C" name="RSTPINCFG" text="Reset Pin Configuration">
        <ENUM val="0x00" name="GPIO" text="GPIO mode">
        <ENUM val="0x01" name="UPDI" text="UPDI mode">
      </ENUMERATOR>
      <BIT mask="0x01" name="EESAVE" text="EEPROM Save">
    </FUSEBYTE>
    <FUSEBYTE name="APPEND" offset="0x07" text="Application Code Section End">
    </FUSEBYTE>
  </FUSEBYTES>
)"));
  EXPECT_TRUE(r.IsUpdi());
  EXPECT_EQ(r.FlashBytes(), 16384u);
  EXPECT_EQ(r.EepromBytes(), 256u);
  const UpdiLayout& u = r.updi;
  EXPECT_EQ(u.nvmVersion, 0);
  EXPECT_EQ(u.flashBase, 0x8000u);
  EXPECT_EQ(u.eepromBase, 0x1400u);
  EXPECT_EQ(u.userRowBase, 0x1300u);
  EXPECT_EQ(u.userRowSize, 32u);
  EXPECT_EQ(u.sigRowBase, 0x1100u);
  EXPECT_EQ(u.fuseBase, 0x1280u);
  EXPECT_EQ(u.lockBase, 0x128Au);
  EXPECT_EQ(u.lockSize, 1);
  EXPECT_EQ(u.lockOpenValue, 0xC5u);
  EXPECT_TRUE(u.pinShared);
  EXPECT_EQ(u.pinFuse, "SYSCFG0");
  EXPECT_EQ(u.pinField, "RSTPINCFG");
  EXPECT_EQ(u.pinUpdiValue, 1);
  ASSERT_EQ(FuseNames(r), (std::vector<std::string>{"SYSCFG0", "APPEND"}));
  const NamedFuseByte& syscfg0 = u.fuses[0];
  EXPECT_EQ(syscfg0.offset, 5);
  EXPECT_TRUE(syscfg0.hasDefault);
  EXPECT_EQ(syscfg0.defaultValue, 0xC4);
  EXPECT_EQ(syscfg0.text, "System Configuration 0");
  ASSERT_EQ(syscfg0.fields.size(), 2u);
  const BitFieldDesc& pin = syscfg0.fields[0];
  EXPECT_EQ(pin.name, "RSTPINCFG");
  EXPECT_EQ(pin.mask, 0x0C);
  EXPECT_TRUE(pin.isEnumerator);
  ASSERT_EQ(pin.choices.size(), 2u);
  EXPECT_EQ(pin.choices.at(1).value, 1);
  EXPECT_EQ(pin.choices.at(1).name, "UPDI");
  EXPECT_EQ(pin.choices.at(1).text, "UPDI mode");
  EXPECT_FALSE(syscfg0.fields[1].isEnumerator);
  EXPECT_FALSE(u.fuses[1].hasDefault);
  EXPECT_TRUE(u.fuses[1].fields.empty());
  // Named fuses are not classic fuse bytes.
  EXPECT_TRUE(r.fuseBits.empty());
}

// Any number of the UPDI tag that is missing, not wholly a number or out of range leaves the
// part without a UPDI layout: it is never programmed at a guessed address.
TEST(UpdiPartList, AnIncompleteOrUnreadableLayoutIsNotUsed) {
  struct Case {
    std::string from, to;  // replaced in the complete tag
    bool present;
  };
  const Case cases[] = {
      {"", "", true},
      {R"(nvm="0" )", "", false},
      {R"(flash="0x8000")", R"(flash="0x8000x")", false},
      {R"(flash="0x8000")", R"(flash="-1")", false},
      {R"(flash="0x8000")", R"(flash="0x100000000")", false},
      {R"(flash="0x8000")", R"(flash="")", false},
      {R"(flash="0x8000")", R"(flash="0100000")", true},  // octal 0x8000
      {R"(flash="0x8000")", R"(flash="08")", false},
      {R"(nvm="0")", R"(nvm="256")", false},
      {R"(lockbytes="1")", R"(lockbytes="0")", false},
      {R"(lockbytes="1")", R"(lockbytes="5")", false},
      {R"(unlocked="0xC5")", R"(unlocked="0x1C5")", false},
      {R"(pinshared="1")", R"(pinshared="2")", false},
      {R"(pinupdi="0x1")", R"(pinupdi="0x100")", false},
      {R"(pinupdi="0x1")", "", true},
  };
  for (const Case& c : cases) {
    std::string layout = kLayout;
    if (!c.from.empty()) layout.replace(layout.find(c.from), c.from.size(), c.to);
    PartDatabase db;
    const PartRecord& r = Load(db, Entry("<UPDI " + layout + ">\n"));
    EXPECT_EQ(r.IsUpdi(), c.present) << layout;
    if (r.IsUpdi()) {
      EXPECT_EQ(r.updi.flashBase, 0x8000u) << layout;
    }
  }
  PartDatabase db;
  const PartRecord& key = Load(
      db, Entry(R"(<UPDI nvm="2" flash="0x800000" eeprom="0x1400" userrow="0x1080" userbytes="32")"
                R"( sigrow="0x1100" fusebase="0x1050" lockbase="0x1040" lockbytes="4")"
                R"( unlocked="0x5CC5C55C" pinshared="0">)"));
  ASSERT_TRUE(key.IsUpdi());
  EXPECT_EQ(key.updi.lockSize, 4);
  EXPECT_EQ(key.updi.lockOpenValue, 0x5CC5C55Cu);
  EXPECT_FALSE(key.updi.pinShared);
  EXPECT_EQ(key.updi.pinFuse, "");
}

// A fuse byte without a name, or with an offset or default that is missing, unreadable or
// beyond one byte, is left out with its fields; the bytes around it are kept.
TEST(UpdiPartList, AFuseByteThatCannotBePlacedIsLeftOut) {
  struct Case {
    std::string attributes;
    bool kept;
    int offset;
    int defaultValue;  // -1: none
  };
  const Case cases[] = {
      {R"(name="X" offset="0x05" default="0xC4")", true, 5, 0xC4},
      {R"(name="X" offset="9")", true, 9, -1},
      {R"(offset="0x05")", false, 0, 0},
      {R"(name="X" default="0x00")", false, 0, 0},
      {R"(name="X" offset="0x100")", false, 0, 0},
      {R"(name="X" offset="5x")", false, 0, 0},
      {R"(name="X" offset="-5")", false, 0, 0},
      {R"(name="X" offset="5" default="0x1FF")", false, 0, 0},
      {R"(name="X" offset="5" default="zz")", false, 0, 0},
  };
  for (const Case& c : cases) {
    PartDatabase db;
    const PartRecord& r = Load(db, Entry(R"(<FUSEBYTES>
  <FUSEBYTE name="WDTCFG" offset="0"><BIT mask="0x01" name="W" text="w"></FUSEBYTE>
  <FUSEBYTE )" + c.attributes + R"(><BIT mask="0x80" name="F" text="f"></FUSEBYTE>
  <FUSEBYTE name="Z" offset="0xFF"></FUSEBYTE>
</FUSEBYTES>
)"));
    const std::vector<std::string> want = c.kept ? std::vector<std::string>{"WDTCFG", "X", "Z"}
                                                 : std::vector<std::string>{"WDTCFG", "Z"};
    ASSERT_EQ(FuseNames(r), want) << c.attributes;
    EXPECT_FALSE(r.IsUpdi());  // named fuses alone make no UPDI layout
    ASSERT_EQ(r.updi.fuses[0].fields.size(), 1u) << c.attributes;
    if (!c.kept) continue;
    const NamedFuseByte& x = r.updi.fuses[1];
    EXPECT_EQ(x.offset, c.offset) << c.attributes;
    EXPECT_EQ(x.hasDefault, c.defaultValue >= 0) << c.attributes;
    if (c.defaultValue >= 0) {
      EXPECT_EQ(x.defaultValue, c.defaultValue) << c.attributes;
    }
    ASSERT_EQ(x.fields.size(), 1u);
    EXPECT_EQ(x.fields[0].name, "F");
  }
}

TEST(UpdiPartList, BytesAreKeptByOffsetAndARepeatReplacesTheEarlierByte) {
  PartDatabase db;
  const PartRecord& r = Load(db, Entry(R"(<FUSEBYTES>
  <FUSEBYTE name="SYSCFG1" offset="6" default="0x07">
  <FUSEBYTE name="WDTCFG" offset="0" default="0x00">
  <FUSEBYTE name="OSCCFG" offset="2" default="0x01">
  <FUSEBYTE name="OSCCFG" offset="2" default="0x02">
  <FUSEBYTE name="BODCFG" offset="6" default="0x00">
</FUSEBYTES>
)"));
  // A missing /FUSEBYTE is ended by the next FUSEBYTE; OSCCFG given twice keeps the second,
  // and BODCFG at SYSCFG1's offset replaces it.
  ASSERT_EQ(FuseNames(r), (std::vector<std::string>{"WDTCFG", "OSCCFG", "BODCFG"}));
  EXPECT_EQ(r.updi.fuses[1].defaultValue, 0x02);

  PartDatabase again;
  const PartRecord& second =
      Load(again, Entry(R"(<FUSEBYTES><FUSEBYTE name="A" offset="1"></FUSEBYTES>
<FUSEBYTES><FUSEBYTE name="B" offset="2"></FUSEBYTES>
)"));
  EXPECT_EQ(FuseNames(second), std::vector<std::string>{"B"});  // a second block starts afresh
}

TEST(UpdiPartList, UpdiTagsAndClassicFuseTagsInOneEntryEachKeepTheirOwn) {
  PartDatabase db;
  const PartRecord& r = Load(db, Entry(std::string(R"(<FUSE>
  <LOW><BIT name="CKOUT" text="Clock output" mask="0x40"></LOW>
  <DEFAULTLOW val="0x62">
  <FUSEBYTE name="INFUSE" offset="1">
</FUSE>
<BIT name="STRAY" text="outside any block" mask="0x01">
<UPDI )") + kLayout + R"(>
<FUSEBYTES>
  <LOW>
  <FUSEBYTE name="WDTCFG" offset="0"><BIT name="PERIOD" text="Period" mask="0x0F"></FUSEBYTE>
  <BIT name="BETWEEN" text="between bytes" mask="0x02">
  <DEFAULTHIGH val="0x11">
</FUSEBYTES>
<LOCKBIT><BIT name="LB1" text="Lock" mask="0x01"></LOCKBIT>
)"));
  ASSERT_EQ(r.fuseBits.size(), 1u);
  EXPECT_EQ(r.fuseBits.at(0).name, "CKOUT");
  EXPECT_TRUE(r.hasDefaultLow);
  EXPECT_FALSE(r.hasDefaultHigh);
  ASSERT_EQ(r.lockBits.size(), 1u);
  EXPECT_TRUE(r.IsUpdi());
  ASSERT_EQ(FuseNames(r), std::vector<std::string>{"WDTCFG"});
  ASSERT_EQ(r.updi.fuses[0].fields.size(), 1u);
  EXPECT_EQ(r.updi.fuses[0].fields[0].name, "PERIOD");
  EXPECT_EQ(r.updi.fuses[0].fields[0].targetByte, 0);
}

TEST(UpdiPartList, AMissingBlockCloseStillEndsThePartAtItsClose) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, Entry(R"(<FUSEBYTES><FUSEBYTE name="A" offset="1">
)") + R"(<AVRPART name="NEXT" signature="0x1E9999"><MEMORY FlashPageSizeW="16" FlashNoOfPages="4">
</AVRPART>
)"),
            2);
  EXPECT_EQ(FuseNames(*db.Find("DEMO-U")), std::vector<std::string>{"A"});
  EXPECT_EQ(db.Find("NEXT")->flashNoOfPages, 4u);
}

TEST(UpdiPartList, ClassicValueNamesStayEmptyEvenWhereATextSaysName) {
  PartDatabase db;
  const PartRecord& r = Load(db, Entry(R"(<FUSE><LOW>
  <ENUMERATOR name="CKSEL" text="Clock" mask="0x0F"><ENUM val="1" text="a name="odd""></ENUMERATOR>
</LOW></FUSE>
)"));
  ASSERT_EQ(r.fuseBits.size(), 1u);
  EXPECT_EQ(r.fuseBits.at(0).choices.at(0).name, "");
}

}  // namespace
}  // namespace bq
