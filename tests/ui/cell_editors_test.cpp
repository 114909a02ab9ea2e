#include "ui/cell_editors.h"

#include <gtest/gtest.h>

#include "tests/ui/test_parts.h"
#include "ui/chip_selection.h"

namespace bq {
namespace {

class CellEditorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::FillTestParts(db);
    ASSERT_TRUE(db.SelectPartByName("TINYHV"));
    fuses.ResetEditor();
    locks.ResetEditor();
  }
  PartDatabase db;
  FuseEditor fuses{FuseEditorKind::Fuses, db};
  FuseEditor locks{FuseEditorKind::LockBits, db};
  CellEditors cells;
};

TEST_F(CellEditorsTest, ClicksOutsideTheValueCellDoNothing) {
  for (int column : {-1, 0, 1}) {
    EXPECT_FALSE(cells.Click(fuses, EditorList::Fields, 0, column));
    EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x62);
  }
  EXPECT_FALSE(cells.Click(fuses, EditorList::Bytes, 0, 0));
  EXPECT_EQ(cells.open(), CellKind::None);
}

TEST_F(CellEditorsTest, BitFieldTogglesEnumeratorOpensItsChoices) {
  cells.Click(fuses, EditorList::Fields, 0, 2);
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0xE2);
  EXPECT_EQ(cells.open(), CellKind::None);

  cells.Click(fuses, EditorList::Fields, 1, 2);
  ASSERT_EQ(cells.open(), CellKind::Choice);
  EXPECT_TRUE(cells.Covers(fuses, EditorList::Fields));
  EXPECT_FALSE(cells.Covers(fuses, EditorList::Bytes));
  EXPECT_FALSE(cells.Covers(locks, EditorList::Fields));
  EXPECT_EQ(cells.InitialChoice(), 2u);
  cells.ChoiceMade(1);
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0xE4);
  EXPECT_EQ(cells.open(), CellKind::None);
}

TEST_F(CellEditorsTest, ByteFieldAppliesOnEnterOnly) {
  cells.Click(fuses, EditorList::Bytes, 1, 1);
  ASSERT_EQ(cells.open(), CellKind::Byte);
  EXPECT_EQ(cells.InitialByteText(), "0xDF");
  cells.ByteCellAbandoned();
  EXPECT_EQ(fuses.ByteValue(kTargetHigh), 0xDF);
  cells.Click(fuses, EditorList::Bytes, 1, 1);
  cells.ByteTextEntered("037");
  EXPECT_EQ(fuses.ByteValue(kTargetHigh), 0x1F);
  EXPECT_EQ(cells.open(), CellKind::None);
}

TEST_F(CellEditorsTest, AClickWhileACellIsOpenOnlyClosesIt) {
  cells.Click(locks, EditorList::Bytes, 0, 1);
  ASSERT_EQ(cells.open(), CellKind::Byte);
  // A bit field's value cell in the other editor: the byte field closes, nothing toggles.
  EXPECT_TRUE(cells.Click(fuses, EditorList::Fields, 0, 2));
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x62);
  EXPECT_EQ(cells.open(), CellKind::None);
  EXPECT_FALSE(cells.CloseCellEditors());
}

}  // namespace
}  // namespace bq

namespace bq {
namespace {

TEST(CellEditorsSelection, ChoosingAChipClosesTheOpenCell) {
  PartDatabase db;
  test::FillTestParts(db);
  FuseEditor fuses{FuseEditorKind::Fuses, db};
  FuseEditor locks{FuseEditorKind::LockBits, db};
  CellEditors cells;
  ChipSelection selection{db, &fuses, &locks, nullptr};
  selection.SetCellEditors(&cells);
  selection.FillChipSelector();
  ASSERT_TRUE(selection.PickChipByName("TINYHV"));
  selection.ApplyChipSelection();
  cells.Click(fuses, EditorList::Bytes, 0, 1);
  ASSERT_EQ(cells.open(), CellKind::Byte);
  selection.PickChip(1);
  EXPECT_EQ(cells.open(), CellKind::None);
}

}  // namespace
}  // namespace bq
