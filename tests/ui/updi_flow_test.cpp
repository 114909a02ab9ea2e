// The desktop's chip commands on a UPDI part through the simulated SerialUPDI adapter: a
// locked chip that Erase erases with the chip-erase key only after asking, the words a
// locked chip's refusal has in the desktop, and the system information logged once a
// connection.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/sim_port_driver.h"
#include "ui/operation_sequencing.h"

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
  bool AskYesNoDefaultNo(const std::string& t, const std::string& c) override {
    ++askedDefaultNo;
    return AskYesNo(t, c);
  }
  bool yes;
  int asked = 0, askedDefaultNo = 0;
  std::string text, caption;
};

constexpr const char* kPort = "sim:ATtiny1614";

class UpdiFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(LoadPartList(app.parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg"), 0);
    driver = std::make_shared<SimPortDriver>(&app.parts);
    app.port.AddDriver(driver);
    app.selection.FillChipSelector();
    ASSERT_TRUE(app.selection.PickChipByName("ATtiny1614"));
    app.selection.ApplyChipSelection();
    app.settings.COMPort = kPort;
    app.programmerOverride = ProgrammerKind::SerialUpdi;
    chip = driver->UpdiChipFor(kPort);
    ASSERT_NE(chip, nullptr);
    ASSERT_TRUE(app.StartProgrammer());
  }
  using Command = bool (*)(AppState&, QuestionView&, CommandDone);
  bool Run(Command command, QuestionView& answer) {
    bool ok = false;
    const bool posted = command(app, answer, [&ok](const CommandResult& r) { ok = r.ok(); });
    app.Settle(answer);
    return posted && ok;
  }
  int LinesStartingWith(const std::string& start) const {
    int n = 0;
    for (std::uint32_t s = 0; s < app.log.NextSerial(); ++s) {
      n += app.log.EntryBySerial(s).text.rfind(start, 0) == 0 ? 1 : 0;
    }
    return n;
  }
  bool Logged(const std::string& text) const { return LinesStartingWith(text) > 0; }

  AppState app;
  std::shared_ptr<SimPortDriver> driver;
  std::shared_ptr<UpdiChip> chip;
};

TEST_F(UpdiFlowTest, ALockedChipIsErasedWithTheKeyOnlyAfterTheUserSaidYes) {
  chip->Flash()[0] = 0x12;
  chip->Lock()[0] = 0x3A;  // read and write lock
  chip->PowerCycle();      // the lock is loaded at the reset
  ASSERT_TRUE(chip->Locked());

  // Other commands are refused in words for the desktop, not the command line's option.
  ScriptedAnswer no(false), yes(true);
  EXPECT_FALSE(Run(ReadMemoryCommand, no));
  EXPECT_TRUE(Logged(kDesktopUpdiLockedText));
  EXPECT_EQ(LinesStartingWith(kUpdiLockedText), 0);
  EXPECT_EQ(no.asked, 0);

  // Erase asks first, No the default; No leaves the chip as it was.
  EXPECT_FALSE(Run(EraseCommand, no));
  EXPECT_EQ(no.askedDefaultNo, 1);
  EXPECT_EQ(no.text, kLockedEraseQuestion);
  EXPECT_EQ(no.caption, kWarningCaption);
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogError, kNothingErasedText}));
  EXPECT_TRUE(chip->Locked());
  EXPECT_EQ(chip->Flash()[0], 0x12);
  EXPECT_FALSE(app.flashErased);

  // Yes erases it with the chip-erase key: open again, blank, and the commands work.
  EXPECT_TRUE(Run(EraseCommand, yes));
  EXPECT_EQ(yes.askedDefaultNo, 1);
  EXPECT_FALSE(chip->Locked());
  EXPECT_EQ(chip->Flash()[0], 0xFF);
  EXPECT_TRUE(app.flashErased);
  EXPECT_TRUE(Run(BlankCheckCommand, no));
  EXPECT_EQ(app.log.Row(0).text, "Chip is empty");

  // An open chip is erased as ever, without a question.
  EXPECT_TRUE(Run(EraseCommand, no));
  EXPECT_EQ(no.asked, 1);
}

// The system information block is read for every command (the part may have changed) but
// logged once a connection; the signature line stays one a command.
TEST_F(UpdiFlowTest, TheSystemInformationIsLoggedOnceAConnection) {
  ScriptedAnswer no(false);
  EXPECT_TRUE(Run(ReadMemoryCommand, no));
  EXPECT_TRUE(Run(ReadMemoryCommand, no));
  app.tab = BufferTab::Eeprom;
  EXPECT_TRUE(Run(ReadMemoryCommand, no));
  EXPECT_EQ(LinesStartingWith("UPDI system information: "), 1);
  EXPECT_EQ(LinesStartingWith("Read Signature: 0x1E9422 (Chip: ATtiny1614)"), 3);
  ASSERT_TRUE(ReopenSerialPort(app));
  EXPECT_TRUE(Run(ReadMemoryCommand, no));
  EXPECT_EQ(LinesStartingWith("UPDI system information: "), 2);
}

}  // namespace
}  // namespace bq
