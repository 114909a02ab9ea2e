#include "ui/chip_selection.h"

#include <gtest/gtest.h>

#include "tests/ui/test_parts.h"
#include "ui/calibration_view.h"
#include "ui/fuse_editor.h"

namespace bq {
namespace {

class CountingView : public ChipSelectionView {
 public:
  void OnChipInfoChanged(const ChipInfoTexts& t) override { info = t; }
  void OnChipMemorySizeChanged(std::uint8_t kind) override {
    ++(kind == 1 ? flashRedraws : eepromRedraws);
  }
  void ShowPartNotFound() override { ++notFound; }
  void CloseCellEditors() override { ++closes; }
  ChipInfoTexts info;
  int flashRedraws = 0, eepromRedraws = 0, notFound = 0, closes = 0;
};

class ChipSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::FillTestParts(db);
    selection.SetView(&view);
    selection.FillChipSelector();
  }
  void Pick(const std::string& name) {
    ASSERT_TRUE(selection.PickChipByName(name));
    selection.ApplyChipSelection();
  }
  PartDatabase db;
  FuseEditor fuses{FuseEditorKind::Fuses, db};
  FuseEditor locks{FuseEditorKind::LockBits, db};
  CalibrationView calibration{db};
  ChipSelection selection{db, &fuses, &locks, &calibration};
  CountingView view;
};

TEST_F(ChipSelectionTest, FirstPartIsAppliedWithGeometryInfoAndEditors) {
  EXPECT_EQ(selection.chipEntries(), (std::vector<std::string>{"ISPONLY", "MEGAPP", "TINYHV"}));
  Pick("TINYHV");
  const SelectedChip& c = selection.chip();
  EXPECT_EQ(c.name, "TINYHV");
  EXPECT_EQ(c.ChipFlashBytes, 8192u);
  EXPECT_EQ(c.flashRows, 512u);
  EXPECT_EQ(c.ChipEepromBytes, 512u);
  EXPECT_EQ(c.flashPageSizeW, 32);
  EXPECT_EQ(c.eepromPageCount, 128u);
  EXPECT_EQ(view.info.signature, "0x1E 0x93 0x0B");
  EXPECT_EQ(view.info.flash, "8 KB");
  EXPECT_EQ(view.info.eeprom, "512 Bytes");
  EXPECT_EQ(selection.modeEntries(), (std::vector<std::string>{"HVSP", "ISP"}));
  EXPECT_EQ(selection.SelectedProgMode(), 3);
  EXPECT_EQ(fuses.ByteValue(kTargetHigh), 0xDF);
  EXPECT_EQ(calibration.entries().size(), 2u);
  EXPECT_GE(view.closes, 1);
}

TEST_F(ChipSelectionTest, ModeChoiceSurvivesAnotherHighVoltagePart) {
  Pick("MEGAPP");
  EXPECT_EQ(selection.modeEntries(), (std::vector<std::string>{"HVPP", "ISP"}));
  EXPECT_EQ(selection.SelectedProgMode(), 1);
  selection.PickMode(1);
  EXPECT_EQ(selection.SelectedProgMode(), 4);
  Pick("TINYHV");  // mode 3 after mode 1 keeps "ISP", with HVSP as entry 0
  EXPECT_EQ(selection.modeEntries(), (std::vector<std::string>{"HVSP", "ISP"}));
  EXPECT_EQ(selection.ModeSelectorText(), "ISP");
  EXPECT_EQ(selection.SelectedProgMode(), 4);
  selection.PickMode(0);
  EXPECT_EQ(selection.SelectedProgMode(), 3);

  Pick("ISPONLY");
  EXPECT_EQ(selection.modeEntries(), (std::vector<std::string>{"ISP"}));
  EXPECT_EQ(selection.SelectedProgMode(), 4);
  EXPECT_EQ(selection.HvMode(), 0);
  Pick("MEGAPP");  // from the ISP-only list, index 0 is re-applied: the HV entry
  EXPECT_EQ(selection.SelectedProgMode(), 1);
}

TEST_F(ChipSelectionTest, AUpdiPartOffersOnlyItsUpdiWire) {
  test::AddUpdiTestPart(db);
  db.FinishLoad();
  selection.FillChipSelector();
  Pick("TINYHV");
  selection.PickMode(0);  // HVSP
  Pick("TINYUPDI");
  EXPECT_EQ(selection.modeEntries(), std::vector<std::string>{"UPDI"});
  EXPECT_EQ(selection.ModeSelectorText(), "UPDI");
  EXPECT_EQ(selection.SelectedProgMode(), kProgModeIsp);  // as identify leaves the engine
  ASSERT_TRUE(db.SelectPartByName("TINYUPDI"));
  selection.SelectDetectedChip(false);
  EXPECT_EQ(selection.ModeSelectorText(), "UPDI");
  Pick("TINYHV");
  EXPECT_EQ(selection.modeEntries(), (std::vector<std::string>{"HVSP", "ISP"}));
}

TEST_F(ChipSelectionTest, OnlyChangedSizesRedrawTheHexViews) {
  Pick("TINYHV");
  const int flash = view.flashRedraws, eeprom = view.eepromRedraws;
  Pick("ISPONLY");  // same flash size, no EEPROM
  EXPECT_EQ(view.flashRedraws, flash);
  EXPECT_EQ(view.eepromRedraws, eeprom + 1);
  EXPECT_EQ(selection.chip().ChipEepromBytes, 0u);
}

TEST_F(ChipSelectionTest, DetectedChipSelectsPartAndConnection) {
  ASSERT_TRUE(db.SelectPartBySignature(0x1E950F));
  selection.SelectDetectedChip(false);
  EXPECT_EQ(selection.ChipSelectorText(), "MEGAPP");
  EXPECT_EQ(selection.ModeSelectorText(), "ISP");
  EXPECT_EQ(selection.SelectedProgMode(), 4);
  ASSERT_TRUE(db.SelectPartBySignature(0x1E930B));
  selection.SelectDetectedChip(true);
  EXPECT_EQ(selection.ChipSelectorText(), "TINYHV");
  EXPECT_EQ(selection.SelectedProgMode(), 3);
}

TEST_F(ChipSelectionTest, UnknownNameEmptiesOnlyTheChipName) {
  Pick("TINYHV");
  db.ClearParts();
  selection.ApplyChipSelection();
  EXPECT_EQ(view.notFound, 1);
  EXPECT_EQ(selection.chip().name, "");
  EXPECT_EQ(selection.chip().ChipFlashBytes, 8192u);
  EXPECT_EQ(selection.modeEntries().size(), 2u);
}

TEST_F(ChipSelectionTest, CalibrationValuesAreClearedByEverySelection) {
  Pick("TINYHV");
  calibration.SetValueText(0, "0x9A");
  calibration.SetValueText(1, "0xA1");
  calibration.SetValueText(7, "0x00");  // no such entry
  EXPECT_EQ(calibration.ValueText(1), "0xA1");
  EXPECT_EQ(calibration.values().size(), 2u);
  Pick("TINYHV");
  EXPECT_EQ(calibration.ValueText(0), "");
  EXPECT_EQ(calibration.entries().at(1).label, "6.4 MHz");
  Pick("MEGAPP");
  EXPECT_TRUE(calibration.entries().empty());
}

}  // namespace
}  // namespace bq
