#include "ui/fuse_editor.h"

#include <gtest/gtest.h>

#include "tests/ui/test_parts.h"

namespace bq {
namespace {

class FuseEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::FillTestParts(db);
    ASSERT_TRUE(db.SelectPartByName("TINYHV"));
    fuses.ResetEditor();
    locks.ResetEditor();
  }
  std::vector<std::string> ByteListTexts(const FuseEditor& e) {
    std::vector<std::string> out;
    for (const auto& [row, b] : e.byteRows()) out.push_back(b.label + "=" + b.valueText);
    return out;
  }
  PartDatabase db;
  FuseEditor fuses{FuseEditorKind::Fuses, db};
  FuseEditor locks{FuseEditorKind::LockBits, db};
};

TEST_F(FuseEditorTest, ResetTakesThePartsDefaultsAndListsPresentBytes) {
  EXPECT_EQ(fuses.fieldRows().size(), 5u);
  EXPECT_EQ(ByteListTexts(fuses),
            (std::vector<std::string>{"LOW=0x62", "HIGH=0xDF", "EXTENDEND=0xFF"}));
  EXPECT_FALSE(fuses.BytePresent(kTargetLockBit));
  EXPECT_EQ(ByteListTexts(locks), (std::vector<std::string>{"LOCKBIT=0xFF"}));
  EXPECT_FALSE(locks.BytePresent(kTargetLow));

  // A part without an EXTENDED default: no EXTENDEND row, its fields read 0 and show checked.
  ASSERT_TRUE(db.SelectPartByName("MEGAPP"));
  fuses.ResetEditor();
  EXPECT_EQ(ByteListTexts(fuses), (std::vector<std::string>{"LOW=0x62", "HIGH=0xD9"}));
  EXPECT_EQ(fuses.FieldValue(2), 0);
  EXPECT_EQ(fuses.FieldPicture(2), 1);

  // No fields at all: picture -1; the lock byte still defaults to 0xFF.
  ASSERT_TRUE(db.SelectPartByName("ISPONLY"));
  fuses.ResetEditor();
  locks.ResetEditor();
  EXPECT_TRUE(fuses.fieldRows().empty());
  EXPECT_TRUE(fuses.byteRows().empty());
  EXPECT_EQ(fuses.FieldPicture(0), -1);
  EXPECT_EQ(ByteListTexts(locks), (std::vector<std::string>{"LOCKBIT=0xFF"}));
}

TEST_F(FuseEditorTest, BitFieldsToggleAndShowCheckedWhenNotOne) {
  // CKDIV8 (mask 0x80) on 0x62 reads 0, shows checked; toggles to 0xE2 and back.
  EXPECT_EQ(fuses.FieldValue(0), 0);
  EXPECT_EQ(fuses.FieldPicture(0), 1);
  EXPECT_EQ(fuses.FieldDisplayText(0), "[x]");
  fuses.ToggleField(0);
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0xE2);
  EXPECT_EQ(fuses.byteRows().at(0).valueText, "0xE2");
  EXPECT_EQ(fuses.FieldPicture(0), 0);
  EXPECT_EQ(fuses.FieldDisplayText(0), "[ ]");
  fuses.ToggleField(0);
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x62);

  // A two-bit field: 0x01 -> 0x00 -> 0x03.
  ASSERT_TRUE(fuses.SetByte(kTargetHigh, 0x01));
  fuses.ToggleField(3);
  EXPECT_EQ(fuses.ByteValue(kTargetHigh), 0x00);
  fuses.ToggleField(3);
  EXPECT_EQ(fuses.ByteValue(kTargetHigh), 0x03);
}

TEST_F(FuseEditorTest, WarningFieldsGetTheRedFrame) {
  struct Case {
    std::uint8_t high;
    int spienPicture;
  } cases[] = {{0xDF, 3}, {0xFF, 2}};
  for (const Case& c : cases) {
    fuses.SetByte(kTargetHigh, c.high);
    EXPECT_EQ(fuses.FieldPicture(2), c.spienPicture) << std::hex << int{c.high};
  }
  fuses.SetByte(kTargetLow, 0xFF);
  EXPECT_EQ(fuses.FieldPicture(0), 0);  // CKDIV8 unprogrammed: grey, unchecked
  EXPECT_EQ(fuses.FieldPicture(1), 0);  // enumerators are not drawn as boxes
  for (const char* name : {"RSTDISBL", "SPIEN", "JTAGEN", "OCDEN", "DWEN"})
    EXPECT_TRUE(IsWarningField(name));
  EXPECT_FALSE(IsWarningField("spien"));
  EXPECT_FALSE(IsWarningField("CKDIV8"));
}

TEST_F(FuseEditorTest, ChoicesSetTheFieldAndNameTheCurrentValue) {
  EXPECT_EQ(fuses.FieldValue(1), 2);
  EXPECT_EQ(fuses.CurrentChoiceText(1), "Int 8 MHz");  // first match
  EXPECT_EQ(fuses.ChoiceCellSelection(1), 2u);         // last match preselected
  fuses.ApplyChoice(1, 1);
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x64);
  EXPECT_EQ(fuses.FieldDisplayText(1), "Int 128 kHz");
  fuses.ApplyChoice(1, 7);  // no such choice: nothing changes
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x64);
  fuses.SetByte(kTargetLow, 0x6F);
  EXPECT_EQ(fuses.CurrentChoiceText(1), "");
  EXPECT_EQ(fuses.ChoiceCellSelection(1), 0u);
}

TEST_F(FuseEditorTest, ValuesTooWideForTheFieldStayInsideIt) {
  // A value of 0x1F in a 4-bit field must not clear or set bit 4 (CKDIV8 is bit 7, but the
  // byte's other bits belong to other fields).
  fuses.SetByte(kTargetLow, 0x80);
  fuses.SetFieldValue(1, 0x1F);
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x8F);
}

TEST_F(FuseEditorTest, TypedBytesUseBaseDetection) {
  struct Case {
    const char* text;
    std::uint8_t expected;
  } cases[] = {{"0x1F", 0x1F},  {"31", 0x1F},  {"037", 0x1F}, {"0X1f", 0x1F}, {"zz", 0x00},
               {"0x1FF", 0xFF}, {"12abc", 12}, {"", 0x00},    {" 7", 7},      {"0x", 0}};
  for (const Case& c : cases) {
    fuses.ApplyByteText(1, c.text);  // byte row 1 is HIGH
    EXPECT_EQ(fuses.ByteValue(kTargetHigh), c.expected) << c.text;
    EXPECT_EQ(fuses.byteRows().at(1).label, "HIGH");
  }
  // Without byte rows nothing happens.
  ASSERT_TRUE(db.SelectPartByName("ISPONLY"));
  fuses.ResetEditor();
  fuses.ApplyByteText(0, "0x12");
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0);
}

TEST_F(FuseEditorTest, FindsFieldsByNameIgnoringCase) {
  EXPECT_EQ(fuses.FindField("spien"), 2);
  EXPECT_EQ(fuses.FindField("NOPE"), -1);
  EXPECT_EQ(locks.FindField("LB"), 0);
  EXPECT_EQ(locks.FieldDisplayText(0), "No lock");
}

}  // namespace
}  // namespace bq
