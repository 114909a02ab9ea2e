// Loading real part list files: the documented example and the rules a file writer relies on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parts/part_database.h"
#include "tests/parts/part_list_files.h"

namespace bq {
namespace {

using test::kDemo8;
using test::LoadText;

std::vector<std::string> Names(const PartDatabase& db) {
  std::vector<std::string> names;
  for (const auto& [name, record] : db.parts()) names.push_back(name);
  return names;
}

const PartRecord& Only(const PartDatabase& db) {
  EXPECT_EQ(db.size(), 1u);
  return db.parts().begin()->second;
}

TEST(LoadPartList, ReadsTheDemoChip) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, kDemo8), 1);
  EXPECT_TRUE(db.loaded());
  const PartRecord* r = db.Find("DEMO-8");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->signature, 0x1E9999u);
  EXPECT_EQ(r->flashPageSizeW, 32);
  EXPECT_EQ(r->flashNoOfPages, 128u);
  EXPECT_EQ(r->FlashBytes(), 8192u);
  EXPECT_EQ(r->eepromPageSize, 4);
  EXPECT_EQ(r->eepromNoOfPages, 128u);
  EXPECT_EQ(r->EepromBytes(), 512u);
  EXPECT_EQ(r->hvMode, 1);

  ASSERT_EQ(r->osccal.size(), 1u);
  EXPECT_EQ(r->osccal.at(0).label, "8.0 MHz");
  EXPECT_EQ(r->osccal.at(0).address, 0);

  ASSERT_EQ(r->fuseBits.size(), 3u);
  const BitFieldDesc& cksel = r->fuseBits.at(0);
  EXPECT_EQ(cksel.name, "CKSEL");
  EXPECT_EQ(cksel.text, "Clock source");
  EXPECT_EQ(cksel.mask, 0x0F);
  EXPECT_TRUE(cksel.isEnumerator);
  EXPECT_EQ(cksel.targetByte, kTargetLow);
  ASSERT_EQ(cksel.choices.size(), 2u);
  EXPECT_EQ(cksel.choices.at(0).value, 0);
  EXPECT_EQ(cksel.choices.at(0).text, "External clock");
  EXPECT_EQ(cksel.choices.at(1).value, 2);
  EXPECT_EQ(cksel.choices.at(1).text, "Internal RC oscillator");
  const BitFieldDesc& ckout = r->fuseBits.at(1);
  EXPECT_EQ(ckout.name, "CKOUT");
  EXPECT_EQ(ckout.mask, 0x40);
  EXPECT_FALSE(ckout.isEnumerator);
  EXPECT_TRUE(ckout.choices.empty());
  EXPECT_EQ(ckout.targetByte, kTargetLow);
  const BitFieldDesc& eesave = r->fuseBits.at(2);
  EXPECT_EQ(eesave.name, "EESAVE");
  EXPECT_EQ(eesave.text, "Preserve EEPROM through chip erase");
  EXPECT_EQ(eesave.mask, 0x08);
  EXPECT_EQ(eesave.targetByte, kTargetHigh);

  EXPECT_TRUE(r->hasDefaultLow);
  EXPECT_EQ(r->defaultLow, 0x62);
  EXPECT_TRUE(r->hasDefaultHigh);
  EXPECT_EQ(r->defaultHigh, 0xD9);
  EXPECT_FALSE(r->hasDefaultExtended);

  ASSERT_EQ(r->lockBits.size(), 1u);
  const BitFieldDesc& lb = r->lockBits.at(0);
  EXPECT_EQ(lb.name, "LB");
  EXPECT_EQ(lb.text, "Lock mode");
  EXPECT_EQ(lb.mask, 0x03);
  EXPECT_TRUE(lb.isEnumerator);
  EXPECT_EQ(lb.targetByte, kTargetLockBit);
  ASSERT_EQ(lb.choices.size(), 2u);
  EXPECT_EQ(lb.choices.at(0).value, 3);
  EXPECT_EQ(lb.choices.at(0).text, "No lock");
  EXPECT_EQ(lb.choices.at(1).value, 0);
  EXPECT_EQ(lb.choices.at(1).text, "Programming and verification disabled");
}

TEST(LoadPartList, CrLfFileReadsTheSameAsLf) {
  std::string crlf;
  for (const char c : kDemo8) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  PartDatabase lf;
  PartDatabase dos;
  ASSERT_EQ(LoadText(lf, kDemo8), 1);
  ASSERT_EQ(LoadText(dos, crlf), 1);
  EXPECT_EQ(dos.Find("DEMO-8")->fuseBits.at(2).text, lf.Find("DEMO-8")->fuseBits.at(2).text);
  EXPECT_EQ(dos.Find("DEMO-8")->lockBits.at(0).choices.size(), 2u);
}

TEST(LoadPartList, AFileThatCannotBeOpenedGivesAnEmptyUnloadedDatabase) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, kDemo8), 1);
  ASSERT_TRUE(db.SelectPartByName("DEMO-8"));
  const test::ScratchFolder folder;
  EXPECT_EQ(LoadPartList(db, (folder.path() / "missing.cfg").string()), 0);
  EXPECT_EQ(db.size(), 0u);
  EXPECT_FALSE(db.loaded());
  EXPECT_FALSE(db.selected());
  std::string name = "stale";
  EXPECT_FALSE(db.NextPartName(name));
  EXPECT_EQ(name, "");
}

TEST(LoadPartList, ALoadReplacesWhatAnEarlierLoadHeld) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, kDemo8), 1);
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="OTHER" signature="0x1E0001"></AVRPART>)"), 1);
  EXPECT_EQ(Names(db), std::vector<std::string>{"OTHER"});
}

TEST(LoadPartList, TagAndAttributeNamesIgnoreCase) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<avrpart Name="X" SIGNATURE="0x1E9502">
<memory flashpagesizew="16" FLASHnoofpages="64" eeprompagesize="4" eepromnoofpages="32">
<HvMode VAL="3"><Fuse><low><bit NAME="b" Text="t" MASK="1"></LOW></fuse></AvrPart>)"),
            1);
  const PartRecord& r = *db.Find("X");
  EXPECT_EQ(r.signature, 0x1E9502u);
  EXPECT_EQ(r.FlashBytes(), 2048u);
  EXPECT_EQ(r.EepromBytes(), 128u);
  EXPECT_EQ(r.hvMode, 3);
  ASSERT_EQ(r.fuseBits.size(), 1u);
  EXPECT_EQ(r.fuseBits.at(0).name, "b");
}

TEST(LoadPartList, OnlyASpaceSeparatesTheTagNameFromItsAttributes) {
  PartDatabase db;
  // A tab, or a line break onto an unindented line, glues the attributes to the name.
  EXPECT_EQ(LoadText(db, "<AVRPART\tname=\"T\" signature=\"0x1E0001\"></AVRPART>"), 0);
  EXPECT_EQ(LoadText(db, "<AVRPART\nname=\"T\" signature=\"0x1E0001\"></AVRPART>"), 0);
  // An indented continuation line keeps its blank, and a break inside attributes is harmless.
  ASSERT_EQ(LoadText(db, "<AVRPART\n  name=\"T\"\nsignature=\"0x1E\r\n0001\">\n"
                         "<MEMORY\tFlashPageSizeW=\"8\" FlashNoOfPages=\"8\">\n"
                         "<HVMODE\nval=\"1\"></AVRPART>"),
            1);
  const PartRecord& r = *db.Find("T");
  EXPECT_EQ(r.signature, 0x1E0001u);
  EXPECT_EQ(r.flashPageSizeW, 0);
  EXPECT_EQ(r.hvMode, 0);
}

TEST(LoadPartList, RejectedPartsLeaveNoTraceAndLoadingGoesOn) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(
<AVRPART><MEMORY FlashPageSizeW="1" FlashNoOfPages="1"></AVRPART>
<AVRPART name="" signature="0x1E0001"><HVMODE val="1"></AVRPART>
<AVRPART name="SEVEN" signature="0x1E001"></AVRPART>
<AVRPART name="NINE" signature="0x1E00001"></AVRPART>
<AVRPART name="NOSIG"></AVRPART>
<AVRPART name="GOOD" signature="0x1E0002"><HVMODE val="3"></AVRPART>
<AVRPART name="BAD" signature="0x1E03"><OSCCAL val="1" text="x"></AVRPART>)"),
            1);
  const PartRecord& r = Only(db);
  EXPECT_EQ(db.parts().begin()->first, "GOOD");
  EXPECT_EQ(r.hvMode, 3);
  EXPECT_TRUE(r.osccal.empty());
  EXPECT_EQ(r.flashNoOfPages, 0u);
}

TEST(LoadPartList, ValuesAreTrimmedAndTheSignatureLengthIsCountedAfterwards) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, "<AVRPART name=\"  DEMO-8\t\" signature=\" 0x1E9999  \"></AVRPART>"
                         "<AVRPART name=\"DEC\" signature=\"12345678\"></AVRPART>"),
            2);
  EXPECT_EQ(db.Find("DEMO-8")->signature, 0x1E9999u);
  EXPECT_EQ(db.Find("DEC")->signature, 12345678u);
}

TEST(LoadPartList, AValWordInsideAnEarlierTextIsTakenForTheAttribute) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="C" signature="0x1E0001">
<OSCCAL text="Calibration value" val="1">
<OSCCAL val="1" text="Calibration value"></AVRPART>)"),
            1);
  const PartRecord& r = Only(db);
  ASSERT_EQ(r.osccal.size(), 2u);
  EXPECT_EQ(r.osccal.at(0).label, "Calibration value");
  EXPECT_EQ(r.osccal.at(0).address, 0);  // "val=" read as a number: unreadable, so 0
  EXPECT_EQ(r.osccal.at(1).address, 1);
}

TEST(LoadPartList, NarrowFieldsKeepTheLowBitsPageSizesStayWholeAndUnreadableNumbersAreZero) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="W" signature="0x1E0001">
<MEMORY FlashPageSizeW="0x1FF" FlashNoOfPages="0x12345678" EEpromPageSize="256" EEpromNoOfPages="0x1FFFFFFFF">
<HVMODE val="0x103">
<FUSE><LOW><BIT name="M" text="t" mask="0x180"></LOW><DEFAULTLOW val="-1"></FUSE>
</AVRPART>)"),
            1);
  const PartRecord& r = Only(db);
  EXPECT_EQ(r.flashPageSizeW, 0x1FFu);  // refused when used, never cut to 0xFF
  EXPECT_EQ(r.flashNoOfPages, 0x12345678u);
  EXPECT_EQ(r.eepromPageSize, 256u);
  EXPECT_EQ(r.eepromNoOfPages, 0u);
  EXPECT_EQ(r.hvMode, 3);
  EXPECT_EQ(r.fuseBits.at(0).mask, 0x80);
  EXPECT_EQ(r.defaultLow, 0xFF);
}

TEST(LoadPartList, EveryMemoryTagAssignsAllFourGeometryFields) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="G" signature="0x1E0001">
<MEMORY FlashPageSizeW="32" FlashNoOfPages="128" EEpromPageSize="4" EEpromNoOfPages="128">
<MEMORY FlashPageSizeW="64"></AVRPART>)"),
            1);
  const PartRecord& r = Only(db);
  EXPECT_EQ(r.flashPageSizeW, 64);
  EXPECT_EQ(r.flashNoOfPages, 0u);
  EXPECT_EQ(r.eepromPageSize, 0);
  EXPECT_EQ(r.eepromNoOfPages, 0u);
}

TEST(LoadPartList, APartWithoutOptionalTagsStartsFromZeroAndNoDefaults) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="BARE" signature="0x1E0001"></AVRPART>)"), 1);
  const PartRecord& r = Only(db);
  EXPECT_EQ(r.FlashBytes(), 0u);
  EXPECT_EQ(r.EepromBytes(), 0u);
  EXPECT_EQ(r.hvMode, 0);
  EXPECT_FALSE(r.HasHighVoltageMode());
  EXPECT_FALSE(r.hasDefaultLow || r.hasDefaultHigh || r.hasDefaultExtended);
  EXPECT_TRUE(r.fuseBits.empty() && r.lockBits.empty() && r.osccal.empty());
}

TEST(LoadPartList, FieldsCountOnlyWhileAFuseByteIsOpen) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="F" signature="0x1E0001"><FUSE>
<BIT name="before" text="t" mask="1">
<LOW><BIT name="L0" text="t" mask="1"></HIGH>
<BIT name="between" text="t" mask="2">
<ENUMERATOR name="orphan" text="t" mask="3"><ENUM val="1" text="lost"></ENUMERATOR>
<LOW/><BIT name="selfclosed" text="t" mask="4">
<EXTENDED><DEFAULTEXTENDED val="0xFD"><BIT name="E0" text="t" mask="1"></EXTENDED>
<HIGH><BIT name="H0" text="t" mask="8"><BIT name="H1"></HIGH>
</FUSE></AVRPART>)"),
            1);
  const PartRecord& r = Only(db);
  ASSERT_EQ(r.fuseBits.size(), 4u);
  EXPECT_EQ(r.fuseBits.at(0).name, "L0");
  EXPECT_EQ(r.fuseBits.at(0).targetByte, kTargetLow);
  EXPECT_EQ(r.fuseBits.at(1).name, "E0");
  EXPECT_EQ(r.fuseBits.at(1).targetByte, kTargetExtended);
  EXPECT_EQ(r.fuseBits.at(2).name, "H0");
  EXPECT_EQ(r.fuseBits.at(2).targetByte, kTargetHigh);
  // A field with only a name is still a field; its missing mask reads as 0.
  EXPECT_EQ(r.fuseBits.at(3).name, "H1");
  EXPECT_EQ(r.fuseBits.at(3).mask, 0);
  EXPECT_TRUE(r.hasDefaultExtended);
  EXPECT_EQ(r.defaultExtended, 0xFD);
  EXPECT_FALSE(r.hasDefaultLow);
}

TEST(LoadPartList, ASecondFuseBlockOverwritesFromTheStartAndClearsTheDefaults) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="T" signature="0x1E0001">
<FUSE><DEFAULTLOW val="1"><DEFAULTHIGH val="2"><DEFAULTEXTENDED val="3">
<LOW><ENUMERATOR name="A" text="a" mask="3"><ENUM val="0" text="zero"><ENUM val="1" text="one"></ENUMERATOR>
<BIT name="B" text="b" mask="4"><BIT name="C" text="c" mask="8"></LOW></FUSE>
<FUSE><HIGH><ENUMERATOR name="X" text="x" mask="0x30"><ENUM val="2" text="two"></ENUMERATOR>
<BIT name="Y" text="y" mask="1"></HIGH><DEFAULTHIGH val="0x99"></FUSE>
</AVRPART>)"),
            1);
  const PartRecord& r = Only(db);
  EXPECT_FALSE(r.hasDefaultLow);
  EXPECT_TRUE(r.hasDefaultHigh);
  EXPECT_EQ(r.defaultHigh, 0x99);
  EXPECT_FALSE(r.hasDefaultExtended);
  ASSERT_EQ(r.fuseBits.size(), 3u);
  const BitFieldDesc& x = r.fuseBits.at(0);
  EXPECT_EQ(x.name, "X");
  EXPECT_EQ(x.targetByte, kTargetHigh);
  // Named values are overwritten from 0 upward too; the ones beyond remain.
  ASSERT_EQ(x.choices.size(), 2u);
  EXPECT_EQ(x.choices.at(0).text, "two");
  EXPECT_EQ(x.choices.at(1).text, "one");
  EXPECT_EQ(r.fuseBits.at(1).name, "Y");
  EXPECT_EQ(r.fuseBits.at(2).name, "C");
  EXPECT_EQ(r.fuseBits.at(2).targetByte, kTargetLow);
}

TEST(LoadPartList, ARepeatedPartNameOverwritesTheFirstEntry) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="DUP" signature="0x1E0001">
<HVMODE val="1"><OSCCAL val="1" text="one"><OSCCAL val="2" text="two">
<LOCKBIT><BIT name="L1" text="a" mask="1"><BIT name="L2" text="b" mask="2"></LOCKBIT></AVRPART>
<AVRPART name="DUP" signature="0x1E0002">
<OSCCAL val="9" text="nine"><LOCKBIT><BIT name="K1" text="k" mask="4"></LOCKBIT></AVRPART>)"),
            1);
  const PartRecord& r = Only(db);
  EXPECT_EQ(r.signature, 0x1E0002u);
  EXPECT_EQ(r.hvMode, 1);  // not given again, so kept
  ASSERT_EQ(r.osccal.size(), 2u);
  EXPECT_EQ(r.osccal.at(0).label, "nine");
  EXPECT_EQ(r.osccal.at(0).address, 9);
  EXPECT_EQ(r.osccal.at(1).label, "two");
  ASSERT_EQ(r.lockBits.size(), 2u);
  EXPECT_EQ(r.lockBits.at(0).name, "K1");
  EXPECT_EQ(r.lockBits.at(1).name, "L2");
}

TEST(LoadPartList, PartsAreKeptInByteOrderOfTheirNames) {
  PartDatabase db;
  std::string text;
  for (const char* name : {"b", "B", "a", "AB", "A", "_", "1"}) {
    text += std::string("<AVRPART name=\"") + name + "\" signature=\"0x1E0001\"></AVRPART>\n";
  }
  ASSERT_EQ(LoadText(db, text), 7);
  EXPECT_EQ(Names(db), (std::vector<std::string>{"1", "A", "AB", "B", "_", "a", "b"}));
}

TEST(LoadPartList, CommentsAndDeclarationsAreJustUnknownTags) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<?xml version="1.0"?>
<!-- old entry: <AVRPART name="OLD" signature="0x1E0001"> -->
<!-- a > b <AVRPART name="INSIDE" signature="0x1E0002"></AVRPART> -->
<AVRPART name="P" signature="0x1E0003"><!-- <HVMODE val="2"> --></AVRPART>)"),
            2);
  EXPECT_EQ(Names(db), (std::vector<std::string>{"INSIDE", "P"}));
  EXPECT_EQ(db.Find("P")->hvMode, 0);
}

TEST(LoadPartList, ATagCutOffAtTheEndEndsLoadingAndKeepsWhatCameBefore) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, std::string(kDemo8) +
                             R"(<AVRPART name="NEXT" signature="0x1E0002"><MEMORY FlashPageSizeW="8")"),
            2);
  EXPECT_EQ(db.Find("DEMO-8")->fuseBits.size(), 3u);
  // The cut part's record exists, but the incomplete MEMORY tag changed nothing.
  EXPECT_EQ(db.Find("NEXT")->flashPageSizeW, 0);
}

TEST(LoadPartList, AMissingEnumeratorCloseSwallowsEveryLaterEnum) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="A" signature="0x1E0001"><FUSE><LOW>
<ENUMERATOR name="E" text="t" mask="3"><ENUM val="1" text="one">
<BIT name="lost" text="t" mask="4"></LOW></FUSE></AVRPART>
<AVRPART name="B" signature="0x1E0002"><LOCKBIT><ENUMERATOR name="L" text="t" mask="3">
<ENUM val="2" text="two"></ENUMERATOR></LOCKBIT></AVRPART>)"),
            1);
  const PartRecord& a = *db.Find("A");
  ASSERT_EQ(a.fuseBits.size(), 1u);
  const auto& choices = a.fuseBits.at(0).choices;
  ASSERT_EQ(choices.size(), 2u);
  EXPECT_EQ(choices.at(1).text, "two");
}

TEST(LoadPartList, AMissingPartCloseMergesTheNextEntryIntoTheCurrentPart) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, R"(<AVRPART name="FIRST" signature="0x1E0001"><HVMODE val="1">
<AVRPART name="SECOND" signature="0x1E0002"><HVMODE val="3"><OSCCAL val="5" text="c"></AVRPART>
<AVRPART name="THIRD" signature="0x1E0003"></AVRPART>)"),
            2);
  EXPECT_EQ(Names(db), (std::vector<std::string>{"FIRST", "THIRD"}));
  const PartRecord& first = *db.Find("FIRST");
  EXPECT_EQ(first.signature, 0x1E0001u);
  EXPECT_EQ(first.hvMode, 3);
  EXPECT_EQ(first.osccal.at(0).address, 5);
}

TEST(LoadPartList, NamesAndTextsStayTheBytesOfTheFile) {
  PartDatabase db;
  ASSERT_EQ(LoadText(db, "<AVRPART name=\"Caf\xE9 &amp;\" signature=\"0x1E0001\">"
                         "<OSCCAL val=\"1\" text=\"8 MHz \xC2\xB1 1%\"></AVRPART>"),
            1);
  const auto& [name, r] = *db.parts().begin();
  EXPECT_EQ(name, "Caf\xE9 &amp;");
  EXPECT_EQ(r.osccal.at(0).label, "8 MHz \xC2\xB1 1%");
}

}  // namespace
}  // namespace bq
