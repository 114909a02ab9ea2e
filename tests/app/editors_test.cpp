// The fuse and lock-bit editors and the calibration list, end to end: clicks, choices,
// typed bytes, write, verify, read and default against the simulated chip.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/app/scripted_front_end.h"

namespace bq::test {
namespace {

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

class EditorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartOptions options;
    options.simulate = true;
    options.simulatePart = "ATtiny13";
    ASSERT_EQ(h.Start(options), kExitOk);
    h.Do(kIdIdentify);
    ASSERT_EQ(h.app().selection().ChipSelectorText(), "ATtiny13");
  }
  std::uint32_t Row(FuseEditor& e, const char* name) {
    const int row = e.FindField(name);
    EXPECT_GE(row, 0) << name;
    return static_cast<std::uint32_t>(row);
  }
  void Click(FuseEditorKind e, EditorList list, std::uint32_t row, int column) {
    h.app().EditorCellClicked(e, list, row, column);
  }
  std::string ByteText(FuseEditor& e, std::uint32_t row) { return e.byteRows().at(row).valueText; }

  AppHarness h;
};

TEST_F(EditorsTest, FuseFieldsClickChooseAndType) {
  h.app().SwitchTab(MainTab::Fuses);
  FuseEditor& fuses = h.state().fuseEditor;
  const auto F = FuseEditorKind::Fuses;
  ASSERT_EQ(fuses.byteRows().size(), 2u);
  EXPECT_EQ(fuses.byteRows().at(0).label, "LOW");
  EXPECT_EQ(ByteText(fuses, 0), "0x6A");
  EXPECT_EQ(ByteText(fuses, 1), "0xFF");

  // A bit field: SPIEN programmed (0) shows the checked red box; a click sets the bit.
  const std::uint32_t spien = Row(fuses, "SPIEN");
  EXPECT_EQ(fuses.FieldPicture(spien), 3);
  const int fieldRefreshes = h.view.fieldRefreshes[F];
  Click(F, EditorList::Fields, spien, 2);
  EXPECT_EQ(ByteText(fuses, 0), "0xEA");
  EXPECT_EQ(fuses.FieldPicture(spien), 2);
  EXPECT_GT(h.view.fieldRefreshes[F], fieldRefreshes);
  Click(F, EditorList::Fields, spien, 0);   // the name: nothing
  Click(F, EditorList::Fields, spien, -1);  // no cell: nothing
  EXPECT_EQ(ByteText(fuses, 0), "0xEA");

  // An enumerator opens its choice list on the current value.
  const std::uint32_t cksel = Row(fuses, "CKSEL");
  EXPECT_EQ(fuses.FieldDisplayText(cksel), "Int. RC 9.6 MHz slow start");
  Click(F, EditorList::Fields, cksel, 2);
  EXPECT_EQ(h.view.cell.kind, CellKind::Choice);
  EXPECT_EQ(h.view.cell.choices, (std::vector<std::string>{"Int. RC 9.6 MHz", "Int. RC 128 kHz",
                                                           "Int. RC 9.6 MHz slow start"}));
  EXPECT_EQ(h.view.cell.selected, 2u);
  EXPECT_TRUE(h.app().ListCoveredByCell(F, EditorList::Fields));
  EXPECT_FALSE(h.app().ListCoveredByCell(F, EditorList::Bytes));
  // A click anywhere while it is open only closes it.
  Click(F, EditorList::Fields, spien, 2);
  EXPECT_EQ(h.view.cell.kind, CellKind::None);
  EXPECT_EQ(ByteText(fuses, 0), "0xEA");

  Click(F, EditorList::Fields, cksel, 2);
  h.app().ChoiceCellChosen(1);
  EXPECT_EQ(h.view.cell.kind, CellKind::None);
  EXPECT_EQ(ByteText(fuses, 0), "0xE3");
  EXPECT_EQ(fuses.CurrentChoiceText(cksel), "Int. RC 128 kHz");

  // A byte cell: Enter applies the typed number, Escape does not.
  Click(F, EditorList::Bytes, 1, 1);
  EXPECT_EQ(h.view.cell.kind, CellKind::Byte);
  EXPECT_EQ(h.view.cell.text, "0xFF");
  h.app().ByteCellEntered("037");
  EXPECT_EQ(ByteText(fuses, 1), "0x1F");
  Click(F, EditorList::Bytes, 1, 1);
  h.app().ByteCellAbandoned();
  EXPECT_EQ(h.view.cell.kind, CellKind::None);
  EXPECT_EQ(ByteText(fuses, 1), "0x1F");
  Click(F, EditorList::Bytes, 1, 0);  // the label: nothing
  EXPECT_EQ(h.view.cell.kind, CellKind::None);

  // A tab change closes an open cell without applying it.
  Click(F, EditorList::Bytes, 0, 1);
  h.app().SwitchTab(MainTab::LockBits);
  EXPECT_EQ(h.view.cell.kind, CellKind::None);
  h.app().ByteCellEntered("0");  // too late: the cell is gone
  EXPECT_EQ(ByteText(fuses, 0), "0xE3");
}

TEST_F(EditorsTest, FusesWriteVerifyReadAndDefault) {
  h.app().SwitchTab(MainTab::Fuses);
  FuseEditor& fuses = h.state().fuseEditor;
  const auto F = FuseEditorKind::Fuses;
  Click(F, EditorList::Bytes, 0, 1);
  h.app().ByteCellEntered("0x62");

  std::uint32_t mark = h.LogMark();
  h.Do(kIdFuseWrite);
  EXPECT_TRUE(Has(h.LogSince(mark), "Write fuses"));
  EXPECT_EQ(h.Chip("ATtiny13").low, 0x62);
  EXPECT_EQ(h.Chip("ATtiny13").high, 0xFF);

  mark = h.LogMark();
  h.Do(kIdFuseVerify);
  EXPECT_TRUE(Has(h.LogSince(mark), "Fuse bits verification OK"));
  Click(F, EditorList::Fields, Row(fuses, "CKDIV8"), 2);
  mark = h.LogMark();
  h.Do(kIdFuseVerify);
  EXPECT_TRUE(Has(h.LogSince(mark), "Fuse bits verification FAILED"));
  EXPECT_EQ(ByteText(fuses, 0), "0x72");  // a verify leaves the editor alone

  // Read: the bytes read travel with the job's events; the editor takes them, and its lists
  // follow, only when the user interface drains.
  h.Chip("ATtiny13").low = 0x55;
  h.app().Command(kIdFuseRead);
  h.state().jobs.WaitIdle();
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x72);
  EXPECT_EQ(ByteText(fuses, 0), "0x72");
  h.app().Drain();
  EXPECT_EQ(fuses.ByteValue(kTargetLow), 0x55);
  EXPECT_EQ(ByteText(fuses, 0), "0x55");

  h.Do(kIdFuseSetDefault);
  EXPECT_EQ(h.NewestLog(), "Set Default Fuses");
  EXPECT_EQ(h.state().log.Row(0).kind, LogKind::LogInfo);
  EXPECT_EQ(ByteText(fuses, 0), "0x6A");
}

TEST_F(EditorsTest, LockBitsChooseWriteVerifyReadAndDefault) {
  h.app().SwitchTab(MainTab::LockBits);
  FuseEditor& lock = h.state().lockEditor;
  const auto L = FuseEditorKind::LockBits;
  ASSERT_EQ(lock.byteRows().size(), 1u);
  EXPECT_EQ(lock.byteRows().at(0).label, "LOCKBIT");
  EXPECT_EQ(ByteText(lock, 0), "0xFF");
  const std::uint32_t lb = Row(lock, "LB");
  EXPECT_EQ(lock.CurrentChoiceText(lb), "No lock");
  Click(L, EditorList::Fields, lb, 2);
  h.app().ChoiceCellChosen(1);
  EXPECT_EQ(ByteText(lock, 0), "0xFE");

  std::uint32_t mark = h.LogMark();
  h.Do(kIdLockWrite);
  EXPECT_TRUE(Has(h.LogSince(mark), "Write lock bits"));
  EXPECT_EQ(h.Chip("ATtiny13").lock, 0xFE);
  mark = h.LogMark();
  h.Do(kIdLockVerify);
  EXPECT_TRUE(Has(h.LogSince(mark), "Lock bits verification OK"));

  h.Chip("ATtiny13").lock = 0xFC;
  h.Do(kIdLockRead);
  EXPECT_EQ(ByteText(lock, 0), "0xFC");
  EXPECT_EQ(lock.CurrentChoiceText(lb), "Programming and verification disabled");

  h.Do(kIdLockSetDefault);
  EXPECT_EQ(h.NewestLog(), "Set Default Lock Bits");
  EXPECT_EQ(ByteText(lock, 0), "0xFF");
}

TEST_F(EditorsTest, IspFuseWriteThatLocksOutOrChangesTheClockAsksOnceWithNoAsDefault) {
  // The chip on the ISP cable, the mode selector on ISP.
  h.state().portOverride = "sim:ATtiny13:isp";
  ASSERT_TRUE(ReopenSerialPort(h.state()));
  h.PickMode("ISP");
  h.app().SwitchTab(MainTab::Fuses);
  FuseEditor& fuses = h.state().fuseEditor;
  const auto F = FuseEditorKind::Fuses;
  SimChip& chip = h.Chip("ATtiny13");
  Click(F, EditorList::Fields, Row(fuses, "RSTDISBL"), 2);  // HIGH 0xFF -> 0xFE: programmed
  ASSERT_EQ(fuses.ByteValue(kTargetHigh), 0xFE);

  // No (the default answer): the warning in the log, nothing sent, the chip unchanged.
  h.view.boxes.clear();
  std::uint32_t mark = h.LogMark();
  h.Do(kIdFuseWrite);
  ASSERT_EQ(h.view.boxes.size(), 1u);
  EXPECT_EQ(h.view.boxes[0].kind, "warning-default-no");
  EXPECT_NE(h.view.boxes[0].text.find("RSTDISBL programmed: the reset pin becomes an I/O pin"),
            std::string::npos);
  const std::vector<std::string> refused = h.LogSince(mark);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].rfind("RSTDISBL programmed", 0), 0u);
  EXPECT_EQ(chip.high, 0xFF);

  // Yes writes.
  h.view.warningAnswers = {true};
  h.Do(kIdFuseWrite);
  EXPECT_EQ(h.view.boxes.size(), 2u);
  EXPECT_EQ(chip.high, 0xFE);

  // The clock source is compared with the bytes last read, not with the part's defaults.
  chip.high = 0xFF;
  chip.low = 0x63;  // CKSEL "Int. RC 128 kHz"; the default is 0x6A
  h.Do(kIdFuseRead);
  Click(F, EditorList::Fields, Row(fuses, "CKDIV8"), 2);
  h.view.boxes.clear();
  h.Do(kIdFuseWrite);
  EXPECT_TRUE(h.view.boxes.empty());
  EXPECT_EQ(chip.low, 0x73);
  h.Do(kIdFuseSetDefault);  // CKSEL back to "Int. RC 9.6 MHz slow start"
  h.Do(kIdFuseWrite);
  ASSERT_EQ(h.view.boxes.size(), 1u);
  EXPECT_NE(h.view.boxes[0].text.find("CKSEL changes from \"Int. RC 128 kHz\" to \"Int. RC 9.6 "
                                      "MHz slow start\": ISP will reach the chip only while that "
                                      "clock is present."),
            std::string::npos);
  EXPECT_EQ(chip.low, 0x73);

  // High voltage can undo any fuse: no question there.
  h.state().portOverride = "sim:ATtiny13";
  ASSERT_TRUE(ReopenSerialPort(h.state()));
  h.app().ModeSelectorChanged(0);
  ASSERT_NE(h.state().selection.SelectedProgMode(), kProgModeIsp);
  Click(F, EditorList::Fields, Row(fuses, "RSTDISBL"), 2);
  h.view.boxes.clear();
  h.Do(kIdFuseWrite);
  EXPECT_TRUE(h.view.boxes.empty());
  EXPECT_EQ(chip.high, 0xFE);
}

TEST_F(EditorsTest, ChoosingAnotherChipResetsEditorsAndClosesTheCell) {
  h.app().SwitchTab(MainTab::Fuses);
  Click(FuseEditorKind::Fuses, EditorList::Bytes, 0, 1);
  h.PickChip("ATtiny85");
  EXPECT_EQ(h.view.cell.kind, CellKind::None);
  const FuseEditor& fuses = h.state().fuseEditor;
  ASSERT_EQ(fuses.byteRows().size(), 3u);
  EXPECT_EQ(fuses.byteRows().at(2).label, "EXTENDEND");
  h.PickChip("ATmega8");  // no EXTENDED default: no row
  EXPECT_EQ(fuses.byteRows().size(), 2u);
}

TEST_F(EditorsTest, CalibrationBytesAreReadAndForgottenOnAnotherChip) {
  h.app().SwitchTab(MainTab::Calibration);
  const CalibrationView& cal = h.state().calibration;
  ASSERT_EQ(cal.entries().size(), 2u);
  EXPECT_EQ(cal.entries().at(0).label, "9.6 MHz");
  EXPECT_EQ(cal.ValueText(0), "");
  const int refreshes = h.view.calibrationRefreshes;
  h.Do(kIdCalibrationRead);
  EXPECT_EQ(h.NewestLog(), "Read Calibration Bytes");
  EXPECT_EQ(h.state().log.Row(0).kind, LogKind::LogSuccess);
  EXPECT_EQ(cal.ValueText(0), "0xA0");
  EXPECT_EQ(cal.ValueText(1), "0xA1");
  EXPECT_GT(h.view.calibrationRefreshes, refreshes);

  h.PickChip("ATtiny85");
  ASSERT_EQ(cal.entries().size(), 1u);
  EXPECT_EQ(cal.ValueText(0), "");

  h.PickChip("ATmega8");  // no calibration bytes
  EXPECT_TRUE(cal.entries().empty());
  h.view.defaultWarningAnswer = true;  // the simulated chip is still an ATtiny13
  const std::uint32_t mark = h.LogMark();
  h.Do(kIdCalibrationRead);
  EXPECT_FALSE(Has(h.LogSince(mark), "Read Calibration Bytes"));
}

}  // namespace
}  // namespace bq::test

namespace bq::test {
namespace {

TEST_F(EditorsTest, EditorsDoNotChangeWhileTheWorkerRuns) {
  h.sim().LineFor("sim:ATtiny13")->With([](SimProgrammer& p) {
    p.options().blankCheckTime = std::chrono::milliseconds(400);
  });
  h.app().SwitchTab(MainTab::Fuses);
  FuseEditor& fuses = h.state().fuseEditor;
  const auto F = FuseEditorKind::Fuses;
  Click(F, EditorList::Bytes, 0, 1);  // opened while idle
  const std::uint32_t started = h.LogMark();
  h.app().Command(kIdBlankCheck);
  ASSERT_TRUE(h.state().jobs.IsBusy());
  // The job's own lines (ISP clock, signature) come from the engine thread: after the last
  // of them, only the edits' answers follow the mark.
  ASSERT_TRUE(h.WaitForLog(started, "Read Signature"));
  ASSERT_TRUE(h.state().jobs.IsBusy());
  const std::uint32_t mark = h.LogMark();
  h.app().ByteCellEntered("0");
  EXPECT_EQ(h.view.cell.kind, CellKind::None);
  Click(F, EditorList::Fields, Row(fuses, "SPIEN"), 2);
  Click(F, EditorList::Fields, Row(fuses, "CKSEL"), 2);
  EXPECT_EQ(h.view.cell.kind, CellKind::None);
  Click(F, EditorList::Fields, Row(fuses, "SPIEN"), 0);  // not a value: silently nothing
  h.app().Command(kIdFuseSetDefault);
  h.app().Command(kIdLockSetDefault);
  EXPECT_EQ(h.LogSince(mark), std::vector<std::string>(5, "Programmer is BUSY !!!"));
  EXPECT_EQ(ByteText(fuses, 0), "0x6A");
  h.app().WaitIdleAndDrain();
  Click(F, EditorList::Fields, Row(fuses, "SPIEN"), 2);
  EXPECT_EQ(ByteText(fuses, 0), "0xEA");
}

}  // namespace
}  // namespace bq::test
