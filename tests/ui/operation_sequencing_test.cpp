// The chip command flows against the in-process simulated programmer.

#include "ui/operation_sequencing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "sim/sim_port_driver.h"
#include "ui/hex_view.h"
#include "tests/ui/test_parts.h"

namespace bq {
namespace {

class ScriptedAnswer : public QuestionView {
 public:
  explicit ScriptedAnswer(bool yes) : yes(yes) {}
  bool AskYesNo(const std::string& t, const std::string& c) override {
    ++asked;
    text = t;
    caption = c;
    return yes;
  }
  bool yes;
  int asked = 0;
  std::string text, caption;
};

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::FillTestParts(app.parts);
    driver = std::make_shared<SimPortDriver>(&app.parts);
    app.port.AddDriver(driver);
    app.selection.FillChipSelector();
    app.selection.ApplyChipSelection();  // ISPONLY, the first name
    ASSERT_TRUE(app.StartProgrammer());
  }
  void Select(const std::string& name) {
    ASSERT_TRUE(app.selection.PickChipByName(name));
    app.selection.ApplyChipSelection();
  }
  std::vector<std::string> TextsSince(std::uint32_t mark) {
    std::vector<std::string> out;
    for (std::uint32_t s = mark; s < app.log.NextSerial(); ++s)
      out.push_back(app.log.EntryBySerial(s).text);
    return out;
  }
  using Command = bool (*)(AppState&, QuestionView&, CommandDone);
  // Runs a command to its end: true when it was posted and succeeded.
  bool Run(Command command, QuestionView& answer) {
    bool ok = false;
    const bool posted = command(app, answer, [&ok](const CommandResult& r) { ok = r.ok(); });
    app.Settle(answer);
    return posted && ok;
  }
  // The same when only posting counts.
  bool Posted(Command command, QuestionView& answer) {
    const bool posted = command(app, answer, {});
    app.Settle(answer);
    return posted;
  }
  PrepareOutcome Prepare(QuestionView& answer) {
    PrepareOutcome outcome = PrepareOutcome::Busy;
    PrepareOperation(app, answer, [&outcome](const CommandResult& r) { outcome = r.prepare; });
    app.Settle(answer);
    return outcome;
  }
  IdentifyOutcome Identify() {
    IdentifyOutcome outcome = IdentifyOutcome::NotRun;
    IdentifyCommand(app, [&outcome](IdentifyOutcome o) { outcome = o; });
    app.Settle(no);
    return outcome;
  }
  std::uint32_t Packets(const std::string& port, std::uint8_t code) {
    return driver->LineFor(port)->With(
        [code](SimProgrammer& p) { return p.PacketsReceived(code); });
  }

  AppState app;
  std::shared_ptr<SimPortDriver> driver;
  ScriptedAnswer no{false};
  ScriptedAnswer yes{true};
};

TEST_F(FlowTest, IdentifyInTheSocketSelectsPartAndHighVoltageMode) {
  app.settings.COMPort = "sim:TINYHV:socket";
  EXPECT_EQ(Identify(), IdentifyOutcome::Detected);
  EXPECT_EQ(app.selection.ChipSelectorText(), "TINYHV");
  EXPECT_EQ(app.selection.SelectedProgMode(), 3);
  EXPECT_EQ(TextsSince(0),
            (std::vector<std::string>{"Chip detect successfully.",
                                      "Name: TINYHV, Signature: 0x1E930B, Connected to: Socket"}));
  EXPECT_EQ(app.log.EntryBySerial(0).kind, LogKind::LogSuccess);
}

TEST_F(FlowTest, IdentifyOverIspSelectsIspEvenAfterAnIspOnlyPart) {
  app.settings.COMPort = "sim:MEGAPP:isp";
  ASSERT_EQ(app.selection.modeEntries(), (std::vector<std::string>{"ISP"}));
  EXPECT_EQ(Identify(), IdentifyOutcome::Detected);
  EXPECT_EQ(app.selection.ChipSelectorText(), "MEGAPP");
  EXPECT_EQ(app.selection.ModeSelectorText(), "ISP");
  EXPECT_EQ(app.selection.SelectedProgMode(), 4);
  EXPECT_EQ(app.log.Row(0).text, "Name: MEGAPP, Signature: 0x1E950F, Connected to: ISP");
}

TEST_F(FlowTest, IdentifyWithoutAChipOrWithAnUnknownOne) {
  app.settings.COMPort = "sim:TINYHV:socket";
  driver->LineFor(app.settings.COMPort)->With([](SimProgrammer& p) {
    p.chip().signature = 0x1E1234;
  });
  EXPECT_EQ(Identify(), IdentifyOutcome::UnknownChip);
  EXPECT_EQ(TextsSince(0),
            (std::vector<std::string>{"Detect unknown chip.", "Signature: 0x1E1234"}));
  EXPECT_EQ(app.selection.chip().name, "ISPONLY");  // selection unchanged

  driver->LineFor(app.settings.COMPort)->With([](SimProgrammer& p) {
    p.chip().signature = 0xFFFFFF;
  });
  const std::uint32_t mark = app.log.NextSerial();
  EXPECT_EQ(Identify(), IdentifyOutcome::NoChip);
  EXPECT_EQ(app.log.Row(0).text, kNoChipText);
  EXPECT_EQ(app.log.Row(0).kind, LogKind::LogError);
  EXPECT_GT(app.log.NextSerial(), mark);
}

TEST_F(FlowTest, IspPreparationDetectsTheClockBeforeTheSignature) {
  Select("MEGAPP");
  app.selection.PickMode(1);  // ISP
  app.settings.COMPort = "sim:MEGAPP:isp";
  driver->LineFor(app.settings.COMPort)->With([](SimProgrammer& p) {
    p.options().ispMaxClock = 3;
  });
  EXPECT_EQ(Prepare(no), PrepareOutcome::Ready);
  EXPECT_EQ(TextsSince(0),
            (std::vector<std::string>{"Autodetect ISP frequency", "Set ISP Frequency: 921.60 kHz",
                                      "Read Signature: 0x1E950F (Chip: MEGAPP)"}));
  EXPECT_EQ(no.asked, 0);

  // A fixed clock is set without detection.
  app.settings.ISPSpeed = 6;
  const std::uint32_t mark = app.log.NextSerial();
  EXPECT_EQ(Prepare(no), PrepareOutcome::Ready);
  EXPECT_EQ(TextsSince(mark)[0], "Set ISP Frequency: 115.20 kHz");
}

TEST_F(FlowTest, IspWithoutTargetReportsTheClockError) {
  Select("MEGAPP");
  app.selection.PickMode(1);
  app.settings.COMPort = "sim:MEGAPP:socket";  // nothing on the ISP cable
  EXPECT_EQ(Prepare(no), PrepareOutcome::IspClockFailed);
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogError, "ERROR: Autodetect ISP Frequency."}));
}

TEST_F(FlowTest, HighVoltageModeMakesNoClockRequest) {
  Select("TINYHV");
  app.settings.COMPort = "sim:TINYHV:socket";
  EXPECT_EQ(Prepare(no), PrepareOutcome::Ready);
  EXPECT_EQ(TextsSince(0), (std::vector<std::string>{"Read Signature: 0x1E930B (Chip: TINYHV)"}));
  EXPECT_EQ(Packets(app.settings.COMPort, CMD_DETECT_ISP_CLOCK), 0u);
  EXPECT_EQ(Packets(app.settings.COMPort, CMD_SET_ISP_CLOCK), 0u);
}

TEST_F(FlowTest, SignatureMismatchAnsweredNoStartsNothingAndYesProceeds) {
  Select("TINYHV");
  app.selection.PickMode(1);  // ISP
  app.settings.COMPort = "sim:MEGAPP:isp";
  EXPECT_FALSE(Run(EraseCommand, no));
  EXPECT_EQ(no.asked, 1);
  EXPECT_EQ(no.text, "Signature does not match selected device !\r\n\r\nContinue ?");
  EXPECT_EQ(no.caption, "Warning");
  EXPECT_EQ(app.log.Row(0),
            (LogEntry{LogKind::LogWarning, "Signature does not match selected device !"}));
  EXPECT_EQ(app.log.Row(1).text, "Read Signature: 0x1E950F (Chip: MEGAPP)");
  EXPECT_EQ(Packets(app.settings.COMPort, CMD_CHIP_ERASE), 0u);

  EXPECT_TRUE(Run(EraseCommand, yes));
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogSuccess, "Chip erased"}));
  EXPECT_EQ(Packets(app.settings.COMPort, CMD_CHIP_ERASE), 1u);
}

TEST_F(FlowTest, BusyWorkerRefusesEveryCommand) {
  Select("TINYHV");
  app.settings.COMPort = "sim:TINYHV:socket";
  driver->LineFor(app.settings.COMPort)->With([](SimProgrammer& p) {
    p.options().blankCheckTime = std::chrono::milliseconds(400);
  });
  const std::uint32_t started = app.log.NextSerial();
  ASSERT_TRUE(BlankCheckCommand(app, no));
  // The job logs its signature line from the engine thread: wait for it, so that the
  // newest line below is the refusal's.
  const auto signatureLogged = [&] {
    for (std::uint32_t s = started; s < app.log.NextSerial(); ++s) {
      if (app.log.EntryBySerial(s).text.rfind("Read Signature", 0) == 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 200 && !signatureLogged(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(signatureLogged());
  ASSERT_TRUE(app.jobs.IsBusy());
  EXPECT_FALSE(ReadMemoryCommand(app, no));
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogError, "Programmer is BUSY !!!"}));
  EXPECT_FALSE(ReadCalibrationCommand(app, no));
  EXPECT_EQ(app.log.Row(0).text, "Programmer is BUSY !!!");
  app.Settle(no);
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogSuccess, "Chip is empty"}));
}

TEST_F(FlowTest, PortThatDoesNotOpenStopsSilently) {
  Select("TINYHV");
  app.settings.COMPort = "sim:NOSUCHPART";
  EXPECT_EQ(Prepare(no), PrepareOutcome::PortNotOpened);
  EXPECT_EQ(app.log.NextSerial(), 0u);
  EXPECT_EQ(PortOpenErrorText(app.settings.COMPort), "Error Open Serial Port (sim:NOSUCHPART) !!!");
  EXPECT_EQ(Identify(), IdentifyOutcome::NotRun);
  EXPECT_EQ(app.log.NextSerial(), 0u);
}

TEST_F(FlowTest, MissingMemoryOfTheTabEndsAfterTheSignature) {
  app.settings.COMPort = "sim:ISPONLY:isp";
  app.tab = BufferTab::Eeprom;
  EXPECT_EQ(Prepare(no), PrepareOutcome::NoSuchMemory);
  EXPECT_FALSE(Run(EraseCommand, no));
  EXPECT_EQ(app.log.Row(0).text, "Read Signature: 0x1E9007 (Chip: ISPONLY)");
  EXPECT_EQ(Packets(app.settings.COMPort, CMD_CHIP_ERASE), 0u);
}

// Bytes beyond the chip (the red rows) would be cut off by a write and ignored by a
// verify: both are refused before the port is even opened. Reading is not affected.
TEST_F(FlowTest, AnImageLargerThanTheChipIsNeitherWrittenNorVerified) {
  Select("TINYHV");  // 8192 bytes of flash
  app.settings.COMPort = "sim:TINYHV:socket";
  app.flash.data()[0x4E1F] = 0x00;
  EXPECT_FALSE(Run(WriteMemoryCommand, no));
  EXPECT_EQ(app.log.Row(0),
            (LogEntry{LogKind::LogError,
                      "FLASH buffer holds data at 0x04E1F, beyond the 8192 bytes of the TINYHV; "
                      "nothing was written (clear the buffer or choose the right chip)"}));
  EXPECT_FALSE(Run(VerifyMemoryCommand, no));
  EXPECT_EQ(app.log.Row(0).text.substr(0, 40), "FLASH buffer holds data at 0x04E1F, beyo");
  EXPECT_FALSE(app.port.IsOpen());  // nothing was sent

  app.flash.data()[0x4E1F] = 0xFF;
  app.flash.data()[0x1FFF] = 0x00;  // the last byte of the chip is fine
  EXPECT_TRUE(Run(WriteMemoryCommand, no));
  EXPECT_EQ(app.log.Row(0).text, "8192 bytes written to FLASH");
}

// A part whose pages the transfer parameters cannot carry loads, but its memory
// operations are refused before anything is sent instead of using cut-down numbers.
TEST_F(FlowTest, APartTheWireCannotCarryIsRefused) {
  struct Case {
    std::uint32_t flashPageWords, flashPages, eepromPageBytes;
    bool eeprom;
    const char* error;
  };
  const Case cases[] = {
      {300, 64, 4, false,
       "WIDE: a flash page of 300 words is larger than the 255 words a transfer can carry; "
       "nothing was sent to the chip"},
      {32, 64, 256, true,
       "WIDE: an EEPROM page of 256 bytes is larger than the 255 bytes a transfer can carry; "
       "nothing was sent to the chip"},
      {1, 70000, 4, false,
       "WIDE: 70000 flash pages are more than the 65535 a transfer can carry; nothing was sent "
       "to the chip"},
      {128, 2000, 4, false,
       "WIDE: the flash of 512000 bytes is larger than the program's 327680-byte flash image; "
       "nothing was sent to the chip"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    PartRecord& wide = app.parts.RecordFor("WIDE");
    wide.signature = 0x1E9999;
    wide.flashPageSizeW = c.flashPageWords;
    wide.flashNoOfPages = c.flashPages;
    wide.eepromPageSize = c.eepromPageBytes;
    wide.eepromNoOfPages = 16;
    app.selection.FillChipSelector();
    Select("WIDE");
    app.settings.COMPort = "sim:WIDE:isp";
    app.tab = c.eeprom ? BufferTab::Eeprom : BufferTab::Flash;
    for (auto command : {ReadMemoryCommand, WriteMemoryCommand, VerifyMemoryCommand,
                         BlankCheckCommand}) {
      EXPECT_FALSE(command(app, no, {}));
      EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogError, c.error}));
    }
    EXPECT_FALSE(app.port.IsOpen());
  }
}

// The hex view formats rows on this thread while the worker reads the chip into the same
// image; ThreadSanitizer checks that the two never touch the bytes at once.
TEST_F(FlowTest, AViewFormatsRowsWhileAReadRuns) {
  Select("TINYHV");
  app.settings.COMPort = "sim:TINYHV:socket";
  const HexView view(app.flash);
  std::string row;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(ReadMemoryCommand(app, no));
    for (std::uint32_t n = 0; app.jobs.IsBusy() || n < 2000; ++n) view.RowText(n % 512, row);
    app.Settle(no);
    EXPECT_EQ(app.log.Row(0).text, "FLASH Code read into buffer");
  }
}

TEST_F(FlowTest, CalibrationKeepsTheOldTextOfAFailedByte) {
  app.parts.RecordFor("TINYHV").osccal[2] = OsccalEntry{"4.0 MHz", 2};
  Select("TINYHV");
  app.settings.COMPort = "sim:TINYHV:socket";
  ASSERT_TRUE(Posted(ReadCalibrationCommand, no));
  EXPECT_EQ(app.calibration.ValueText(0), "0xA0");
  EXPECT_EQ(app.calibration.ValueText(1), "0xA1");
  EXPECT_EQ(app.calibration.ValueText(2), "0xA2");
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogSuccess, "Read Calibration Bytes"}));

  app.calibration.SetValueText(1, "old");
  driver->LineFor(app.settings.COMPort)->With([](SimProgrammer& p) {
    p.options().faults.push_back(*ParseSimFault("0x11:error=1@5"));  // the second byte of this read
  });
  ASSERT_TRUE(Posted(ReadCalibrationCommand, no));
  EXPECT_EQ(app.calibration.ValueText(0), "0xA0");
  EXPECT_EQ(app.calibration.ValueText(1), "old");
  EXPECT_EQ(app.calibration.ValueText(2), "0xA2");
  EXPECT_EQ(app.log.Row(0).text, "Read Calibration Bytes");
  EXPECT_EQ(app.log.Row(1).text, "ERROR: Unknown Command");
}

TEST_F(FlowTest, FusesRoundTripThroughTheEditors) {
  Select("TINYHV");
  app.settings.COMPort = "sim:TINYHV:socket";
  app.fuseEditor.SetByte(kTargetLow, 0xE2);
  ASSERT_TRUE(Run(WriteFusesCommand, no));
  SetDefaultFusesCommand(app);
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogInfo, "Set Default Fuses"}));
  EXPECT_EQ(app.fuseEditor.ByteValue(kTargetLow), 0x62);
  ASSERT_TRUE(Run(ReadFusesCommand, no));
  EXPECT_EQ(app.fuseEditor.ByteValue(kTargetLow), 0xE2);
  EXPECT_EQ(app.fuseEditor.byteRows().at(0).valueText, "0xE2");
  EXPECT_EQ(app.log.Row(0).text, "Read EXTENDEND: 0xFF");
  SetDefaultLockBitsCommand(app);
  EXPECT_EQ(app.log.Row(0).text, "Set Default Lock Bits");
}

}  // namespace
}  // namespace bq
