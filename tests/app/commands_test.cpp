// Toolbar and menu commands on the Flash and EEPROM tabs, tab changes, tooltips, chip and
// mode changes, against the simulated programmer.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <fstream>
#include <sstream>

#include "sim/sim_fault.h"
#include "tests/app/scripted_front_end.h"

namespace bq::test {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(h.Start(), kExitOk); }
  AppHarness h;
};

TEST_F(CommandsTest, EachTabShowsItsOwnControlsAndOnlyBufferTabsEnableBufferCommands) {
  for (int t : {2, 3, 4, 1, 0}) {
    const MainTab tab = static_cast<MainTab>(t);
    h.app().SwitchTab(tab);
    std::vector<int> expected = Application::TabControls(tab);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(h.view.VisibleControls(), expected) << t;
    const bool buffers = t <= 1;
    for (int id : kBufferToolbarButtons) EXPECT_EQ(h.view.toolbarEnabled[id], buffers) << t;
    for (int id : kBufferMenuItems) EXPECT_EQ(h.view.menuEnabled[id], buffers) << t;
    EXPECT_EQ(h.state().tab, t == 1   ? BufferTab::Eeprom
                             : t == 0 ? BufferTab::Flash
                                      : BufferTab::Other);
  }
}

TEST_F(CommandsTest, TooltipsNameTheMemoryOfTheTab) {
  struct Case {
    MainTab tab;
    int id;
    const char* text;
  };
  const Case cases[] = {
      {MainTab::Flash, kIdClearBuffer, "Clear buffer"},
      {MainTab::Flash, kIdLoadBuffer, "Load file into buffer"},
      {MainTab::Flash, kIdSaveBuffer, "Save buffer to file"},
      {MainTab::Fuses, kIdWriteChip, "Write buffer to flash ROM"},
      {MainTab::Eeprom, kIdWriteChip, "Write buffer to EEPROM"},
      {MainTab::Eeprom, kIdReadChip, "Read EEPROM into buffer"},
      {MainTab::Calibration, kIdReadChip, "Read flash ROM into buffer"},
      {MainTab::Eeprom, kIdBlankCheck, "Blank check of EEPROM"},
      {MainTab::LockBits, kIdBlankCheck, "Blank check of flash ROM"},
      {MainTab::Eeprom, kIdVerifyChip, "Verify EEPROM against buffer"},
      {MainTab::Flash, kIdVerifyChip, "Verify flash ROM against buffer"},
      {MainTab::Eeprom, kIdEraseChip, "Erase chip (flsh ROM and EEPROM)"},
      {MainTab::Flash, kIdIdentify, "Identify chip"},
      {MainTab::Flash, kIdSettings, "Settings"},
      {MainTab::Flash, kIdFuseWrite, ""},
      {MainTab::Flash, 508, ""},
  };
  for (const Case& c : cases) {
    h.app().SwitchTab(c.tab);
    EXPECT_EQ(h.app().ToolbarTooltip(c.id), c.text) << c.id;
  }
}

// The whole round on one memory: load a file, write, verify, clear, read back, blank check,
// erase, save and reload; once through the toolbar on the Flash tab and once through the
// menu on the EEPROM tab.
struct MemoryRound {
  MainTab tab;
  MemoryKind kind;
  std::size_t chipBytes;
  const char* name;  // FLASH or EEPROM
  int load, write, verify, clear, read, blank, erase, save, reload;
};

class MemoryRoundTest : public CommandsTest, public ::testing::WithParamInterface<MemoryRound> {};

TEST_P(MemoryRoundTest, LoadWriteVerifyReadBlankCheckEraseSaveReload) {
  const MemoryRound r = GetParam();
  h.app().SwitchTab(r.tab);
  MemoryBuffer& buffer = r.kind == MEMORY_FLASH ? h.state().flash : h.state().eeprom;
  const auto image = Pattern(r.chipBytes, 0x11);
  const auto file = h.dir() / "image.bin";
  WriteFile(file, image);

  h.view.openAnswers = {file.string()};
  int refills = h.view.hexRefills[r.kind];
  h.Do(r.load);
  EXPECT_EQ(h.NewestLog(), file.string() + " loaded into " + r.name + " buffer");
  EXPECT_EQ(h.view.hexRefills[r.kind], refills + 1);
  ASSERT_EQ(h.view.openRequests.size(), 1u);
  EXPECT_TRUE(h.view.openRequests[0].fileMustExist);
  EXPECT_EQ(h.view.openRequests[0].filters[0].patterns, "*.bin;*.hex;*.eep");

  h.view.progressOps.clear();
  h.Do(r.write);
  EXPECT_FALSE(h.view.progressVisible);
  ASSERT_FALSE(h.view.progressOps.empty());
  EXPECT_EQ(h.view.progressOps.front(), "smooth");
  EXPECT_EQ(h.view.progressOps.back(), "hide");
  const SimChip& chip = h.Chip("ATmega8");
  const std::vector<std::uint8_t>& memory = r.kind == MEMORY_FLASH ? chip.flash : chip.eeprom;
  ASSERT_EQ(memory.size(), r.chipBytes);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));

  h.Do(r.verify);
  EXPECT_EQ(h.NewestLog(), "Verified OK");

  h.Do(r.clear);
  EXPECT_EQ(h.NewestLog(), std::string(r.name) + " buffer cleared");
  EXPECT_EQ(buffer.data()[0], 0xFF);
  refills = h.view.hexRefills[r.kind];
  h.Do(r.read);
  EXPECT_EQ(h.view.hexRefills[r.kind], refills + 1);  // refilled by the worker, via Drain
  EXPECT_TRUE(std::equal(image.begin(), image.end(), buffer.data()));
  EXPECT_EQ(h.app().hexView(r.kind).RowText(0).substr(0, 10), "00000 : 11");

  h.Do(r.blank);
  EXPECT_EQ(h.NewestLog(), "Chip not empty !!!");
  h.Do(r.erase);
  EXPECT_EQ(h.NewestLog(), "Chip erased");
  h.Do(r.blank);
  EXPECT_EQ(h.NewestLog(), "Chip is empty");
  EXPECT_FALSE(h.view.progressVisible);
  h.Do(r.verify);
  EXPECT_EQ(h.NewestLog(), "Chip differ !!!");

  // Save writes the chip's whole memory, trailing 0xFF included, and adds ".bin".
  buffer.data()[r.chipBytes - 1] = 0xFF;
  const auto saved = h.dir() / "saved";
  h.view.saveAnswers = {saved.string()};
  const std::uint32_t mark = h.LogMark();
  h.Do(r.save);
  EXPECT_EQ(h.LogMark(), mark);  // silent
  EXPECT_TRUE(h.view.saveRequests.back().confirmOverwrite);
  EXPECT_EQ(ReadBytes(saved.string() + ".bin").size(), r.chipBytes);

  h.Do(r.clear);
  h.Do(r.reload);
  EXPECT_EQ(h.NewestLog(), "image.bin reloaded");
  EXPECT_TRUE(std::equal(image.begin(), image.end(), buffer.data()));
}

INSTANTIATE_TEST_SUITE_P(
    Tabs, MemoryRoundTest,
    ::testing::Values(MemoryRound{MainTab::Flash, MEMORY_FLASH, 8192, "FLASH", kIdLoadBuffer,
                                  kIdWriteChip, kIdVerifyChip, kIdClearBuffer, kIdReadChip,
                                  kIdBlankCheck, kIdEraseChip, kIdSaveBuffer, kMenuReload},
                      MemoryRound{MainTab::Eeprom, MEMORY_EEPROM, 512, "EEPROM", kMenuLoad,
                                  kMenuWrite, kMenuVerify, kMenuClear, kMenuRead, kMenuBlankCheck,
                                  kMenuErase, kMenuSave, kMenuReload}));

TEST_F(CommandsTest, MenuAndToolbarIdentifyAreTheSameCommand) {
  for (int id : {kIdIdentify, kMenuIdentify}) {
    const std::uint32_t mark = h.LogMark();
    h.Do(id);
    EXPECT_EQ(h.LogSince(mark), (std::vector<std::string>{
                                    "Chip detect successfully.",
                                    "Name: ATmega8, Signature: 0x1E9307, Connected to: Socket"}))
        << id;
  }
  const std::uint32_t mark = h.LogMark();
  for (int id : {0, 508, 521, 40008, 40099}) h.Do(id);  // ids without an action
  EXPECT_EQ(h.LogMark(), mark);
}

TEST_F(CommandsTest, IdentifyOfAnUnknownChipLeavesTheSelection) {
  h.PickChip("ATtiny85");
  h.PickChip("ATmega8");
  h.Chip("ATmega8").signature = 0x1E0102;
  const ChipInfoTexts shown = h.view.chipInfo;
  const std::uint32_t mark = h.LogMark();
  h.Do(kIdIdentify);
  EXPECT_EQ(h.LogSince(mark),
            (std::vector<std::string>{"Detect unknown chip.", "Signature: 0x1E0102"}));
  EXPECT_EQ(h.state().log.EntryBySerial(mark).kind, LogKind::LogWarning);
  EXPECT_EQ(h.app().selection().ChipSelectorText(), "ATmega8");
  EXPECT_EQ(h.view.chipInfo.signature, shown.signature);
}

TEST_F(CommandsTest, CancelledDialogsAndMissingFilesChangeNothing) {
  h.view.openAnswers = {std::nullopt, (h.dir() / "nope.hex").string()};
  const std::uint32_t mark = h.LogMark();
  h.Do(kIdLoadBuffer);
  EXPECT_EQ(h.LogMark(), mark);
  h.Do(kIdLoadBuffer);
  EXPECT_EQ(h.NewestLog(), (h.dir() / "nope.hex").string() + " not found.");
  EXPECT_EQ(h.state().log.Row(0).kind, LogKind::LogError);
  const std::uint32_t afterFailure = h.LogMark();
  h.Do(kMenuReload);    // nothing was loaded: nothing at all
  h.Do(kIdSaveBuffer);  // cancelled
  EXPECT_EQ(h.LogMark(), afterFailure);
}

TEST_F(CommandsTest, BufferCommandsOnOtherTabsDoNothing) {
  h.app().SwitchTab(MainTab::Fuses);
  h.state().flash.data()[0] = 0x12;
  const std::uint32_t mark = h.LogMark();
  for (int id : {kIdClearBuffer, kIdLoadBuffer, kIdSaveBuffer, kMenuReload}) h.Do(id);
  EXPECT_EQ(h.LogMark(), mark);
  EXPECT_TRUE(h.view.openRequests.empty());
  EXPECT_TRUE(h.view.saveRequests.empty());
  EXPECT_EQ(h.state().flash.data()[0], 0x12);
}

TEST_F(CommandsTest, ChipCommandOnFusesTabWorksOnTheFlash) {
  h.app().SwitchTab(MainTab::Fuses);
  h.state().flash.data()[0] = 0x5A;
  h.Do(kIdWriteChip);
  EXPECT_EQ(h.Chip("ATmega8").flash[0], 0x5A);
}

TEST_F(CommandsTest, WhileTheWorkerIsBusyOnlySaveRuns) {
  h.sim().LineFor("sim:ATmega8")->With([](SimProgrammer& p) {
    p.options().blankCheckTime = std::chrono::milliseconds(400);
  });
  h.state().flash.data()[0] = 0x42;
  const auto file = h.dir() / "f.bin";
  WriteFile(file, {1, 2, 3});
  const std::uint32_t started = h.LogMark();
  h.app().Command(kIdBlankCheck);
  ASSERT_TRUE(h.WaitForLog(started, "Read Signature"));  // the job's own lines are in
  ASSERT_TRUE(h.state().jobs.IsBusy());
  h.view.openAnswers = {file.string()};
  const std::uint32_t mark = h.LogMark();
  for (int id :
       {kIdClearBuffer, kIdLoadBuffer, kMenuReload, kIdReadChip, kIdEraseChip, kIdFuseRead}) {
    h.app().Command(id);
  }
  const auto lines = h.LogSince(mark);
  EXPECT_EQ(lines, std::vector<std::string>(6, "Programmer is BUSY !!!"));
  EXPECT_TRUE(h.view.openRequests.empty());  // refused before the dialog
  EXPECT_EQ(h.state().flash.data()[0], 0x42);
  h.view.saveAnswers = {(h.dir() / "busy.hex").string()};
  h.app().Command(kIdSaveBuffer);
  EXPECT_TRUE(std::filesystem::exists(h.dir() / "busy.hex"));
  h.app().WaitIdleAndDrain();
  EXPECT_EQ(h.NewestLog(), "Chip is empty");
  // The marquee ran and was stopped before the bar was hidden.
  const auto& ops = h.view.progressOps;
  const auto on = std::find(ops.begin(), ops.end(), "marquee on");
  const auto off = std::find(ops.begin(), ops.end(), "marquee off");
  ASSERT_NE(on, ops.end());
  ASSERT_NE(off, ops.end());
  EXPECT_LT(on, off);
  EXPECT_EQ(*(off + 1), "hide");
}

TEST_F(CommandsTest, WorkerEventsWaitForTheUserInterfaceThread) {
  std::atomic<int> wakes{0};
  std::atomic<bool> fromWorker{true};
  const auto ui = std::this_thread::get_id();
  h.app().SetWakeCallback([&] {
    ++wakes;
    if (std::this_thread::get_id() == ui) fromWorker = false;
  });
  const int refills = h.view.hexRefills[MEMORY_FLASH];
  const int logRefreshes = h.view.logRefreshes;
  h.app().Command(kIdReadChip);
  h.state().jobs.WaitIdle();
  EXPECT_GT(wakes.load(), 0);
  EXPECT_TRUE(fromWorker.load());
  EXPECT_EQ(h.view.hexRefills[MEMORY_FLASH], refills);  // not yet on this thread
  const int refreshesBefore = h.view.logRefreshes;
  EXPECT_GT(h.app().Drain(), 0u);
  EXPECT_EQ(h.view.hexRefills[MEMORY_FLASH], refills + 1);
  EXPECT_GT(h.view.logRefreshes, refreshesBefore);
  EXPECT_GT(h.view.logRefreshes, logRefreshes);
  EXPECT_EQ(h.NewestLog(), "FLASH Code read into buffer");
}

TEST(SignatureTest, AMismatchAsksAndNoStartsNothing) {
  AppHarness h;
  StartOptions options;
  options.simulate = true;
  options.simulatePart = "ATtiny13";
  ASSERT_EQ(h.Start(options), kExitOk);
  h.PickChip("ATtiny85");  // also high-voltage serial, another signature
  h.view.warningAnswers = {false};
  const std::uint32_t mark = h.LogMark();
  h.Do(kIdBlankCheck);
  EXPECT_EQ(h.LogSince(mark),
            (std::vector<std::string>{"Read Signature: 0x1E9007 (Chip: ATtiny13)",
                                      "Signature does not match selected device !"}));
  EXPECT_EQ(h.state().log.Row(0).kind, LogKind::LogWarning);
  // Yes would erase and write a chip that is not the one selected: No is the default.
  EXPECT_EQ(h.view.boxes.back(), (ShownBox{"warning-default-no",
                                           "Signature does not match selected device !"
                                           "\r\n\r\nContinue ?"}));
  h.view.warningAnswers = {true};
  const std::uint32_t yesMark = h.LogMark();
  h.Do(kIdBlankCheck);
  EXPECT_EQ(h.LogSince(yesMark).back(), "Chip is empty");
}

TEST_F(CommandsTest, ChipAndModeChanges) {
  const auto& sel = h.app().selection();
  ASSERT_EQ(sel.ChipSelectorText(), "ATmega8");
  h.PickMode("ISP");
  EXPECT_EQ(sel.SelectedProgMode(), kProgModeIsp);
  const int flashRecolours = h.view.hexRecolours[MEMORY_FLASH];

  // Same flash size: the flash view keeps its colours; ISP stays chosen, HVSP is entry 0.
  h.PickChip("ATtiny85");
  EXPECT_EQ(h.view.hexRecolours[MEMORY_FLASH], flashRecolours);
  EXPECT_EQ(sel.modeEntries(), (std::vector<std::string>{"HVSP", "ISP"}));
  EXPECT_EQ(sel.ModeSelectorText(), "ISP");
  EXPECT_EQ(h.app().HexRowColourOf(MEMORY_FLASH, 511), HexRowColour::Blue);
  EXPECT_EQ(h.app().HexRowColourOf(MEMORY_FLASH, 512), HexRowColour::Red);

  h.PickChip("ATtiny13");
  EXPECT_EQ(h.view.hexRecolours[MEMORY_FLASH], flashRecolours + 1);
  EXPECT_EQ(h.app().HexRowColourOf(MEMORY_FLASH, 63), HexRowColour::Blue);
  EXPECT_EQ(h.app().HexRowColourOf(MEMORY_FLASH, 64), HexRowColour::Red);
  EXPECT_EQ(h.view.chipInfo.flash, "1 KB");
  EXPECT_EQ(h.view.chipInfo.eeprom, "64 Bytes");

  h.PickChip("ISPONLY");
  EXPECT_EQ(sel.modeEntries(), std::vector<std::string>{"ISP"});
  EXPECT_EQ(sel.SelectedProgMode(), kProgModeIsp);
  EXPECT_EQ(h.app().HexRowColourOf(MEMORY_EEPROM, 0), HexRowColour::Red);
  EXPECT_EQ(h.view.chipInfo.signature, "0x1E 0x99 0x99");

  // Back to a high-voltage part from one that offered only ISP: its high-voltage entry.
  h.PickChip("ATmega8");
  EXPECT_EQ(sel.ModeSelectorText(), "HVPP");
  EXPECT_EQ(sel.SelectedProgMode(), 1);
}

TEST_F(CommandsTest, IspModeDetectsTheClockBeforeTheSignature) {
  StartOptions options;
  AppHarness isp;
  isp.SaveSettings("sim:ISPONLY", 0);
  ASSERT_EQ(isp.Start(options), kExitOk);
  isp.PickChip("ISPONLY");
  const std::uint32_t mark = isp.LogMark();
  isp.Do(kIdReadChip);
  const auto lines = isp.LogSince(mark);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Autodetect ISP frequency");
  EXPECT_EQ(lines[1], "Set ISP Frequency: 3.686 MHz");
  EXPECT_EQ(lines[2], "Read Signature: 0x1E9999 (Chip: ISPONLY)");
  EXPECT_EQ(lines.back(), "FLASH Code read into buffer");

  // The EEPROM tab of a part without EEPROM: nothing after the signature.
  isp.app().SwitchTab(MainTab::Eeprom);
  const std::uint32_t eepromMark = isp.LogMark();
  isp.Do(kIdEraseChip);
  EXPECT_EQ(isp.LogSince(eepromMark).back(), "Read Signature: 0x1E9999 (Chip: ISPONLY)");
}

}  // namespace
}  // namespace bq::test

namespace bq::test {
namespace {

// Chip > Program: erase, flash written and verified, then the EEPROM, in one job. The log
// ends with one summary line.
TEST_F(CommandsTest, ProgramWritesAndVerifiesFlashThenEepromStepByStep) {
  const auto flash = Pattern(300, 0x21);
  const auto eeprom = Pattern(40, 0x31);
  std::copy(flash.begin(), flash.end(), h.state().flash.data());
  std::copy(eeprom.begin(), eeprom.end(), h.state().eeprom.data());
  // The summary line is logged when the job's end reaches the user interface.
  auto runToTheSummary = [this] {
    h.app().WaitIdleAndDrain();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (h.NewestLog().rfind("PASS ", 0) != 0 && h.NewestLog().rfind("FAIL ", 0) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
      h.app().WaitIdleAndDrain();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  const std::uint32_t mark = h.LogMark();
  h.app().Command(kMenuProgram);
  runToTheSummary();
  std::vector<std::string> steps;
  for (const std::string& line : h.LogSince(mark)) {
    if (line == "Chip erased" || line == "Verified OK" || line.find("bytes written") != std::string::npos) {
      steps.push_back(line);
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"Chip erased", "8192 bytes written to FLASH",
                                             "Verified OK", "512 bytes written to EEPROM",
                                             "Verified OK"}));
  EXPECT_EQ(h.NewestLog().rfind("PASS " + h.state().PortName() + " ATmega8 ", 0), 0u)
      << h.NewestLog();
  const SimChip& chip = h.Chip("ATmega8");
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), chip.flash.begin()));
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), chip.eeprom.begin()));

  // A chip whose flash cannot take the image fails the verify step and says so.
  h.sim().LineFor(h.state().PortName())->With([](SimProgrammer& p) {
    p.options().faults.push_back(*ParseSimFault("0x32:error=5"));
  });
  h.app().Command(kMenuProgram);
  runToTheSummary();
  EXPECT_EQ(h.NewestLog(), "FAIL " + h.state().PortName() + " ATmega8 flash: ERROR: Write Memory");
}

}  // namespace
}  // namespace bq::test
