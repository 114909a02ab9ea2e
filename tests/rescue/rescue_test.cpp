// The rescue of chips that ISP no longer reaches, and the refusal to read a chip whose lock
// bits forbid it: in the engine against the in-process simulated programmer, and through
// brindlequartz-cli.

#include "session/rescue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "link/protocol.h"
#include "parts/part_database.h"
#include "session/chip_session.h"
#include "session/rescue_texts.h"
#include "sim/sim_port_driver.h"
#include "tests/cli/cli_process.h"
#include "ui/app_state.h"
#include "ui/operation_sequencing.h"
#include "ui/rescue_flow.h"

namespace bq {
namespace {

const PartDatabase& Parts() {
  static PartDatabase* parts = [] {
    auto* db = new PartDatabase;
    LoadPartList(*db, std::string(BQ_SOURCE_DIR) + "/PartList.cfg");
    return db;
  }();
  return *parts;
}

// Answers every question with `yes` and moves the simulated chip where it is asked to go.
class BenchHost : public RescueHost {
 public:
  BenchHost(std::shared_ptr<SimLine> line, bool yes) : line_(std::move(line)), yes_(yes) {}
  bool Confirm(const std::string&, const std::string&) override {
    ++questions;
    return yes_;
  }
  bool PlaceChip(ChipPlace place, const std::string&) override {
    ++placements;
    line_->With([place](SimProgrammer& p) {
      p.options().connect = place == ChipPlace::Socket ? SimConnect::kSocket : SimConnect::kIsp;
    });
    return true;
  }
  int questions = 0;
  int placements = 0;

 private:
  std::shared_ptr<SimLine> line_;
  bool yes_;
};

struct Bench {
  explicit Bench(const std::string& part, std::uint8_t ispMaxClock = 1)
      : driver(std::make_shared<SimPortDriver>(&Parts())), session({driver}), name(part) {
    port = "sim:" + part + ":isp";
    line = driver->LineFor(port);
    line->With([ispMaxClock](SimProgrammer& p) {
      p.options().ispMaxClock = ispMaxClock;
      p.options().targetClock = false;  // nothing on XTAL1: an external clock choice locks ISP out
    });
    record = Parts().Find(part);
    session.SetPart(part, record);
  }
  SimChip& Chip() { return *driver->ChipFor(port).chip; }
  std::shared_ptr<SimPortDriver> driver;
  ChipSession session;
  std::string name, port;
  std::shared_ptr<SimLine> line;
  const PartRecord* record = nullptr;
};

struct RescueCase {
  const char* what;
  const char* part;
  std::uint8_t low, high, lock;
  std::uint8_t ispMaxClock;
  bool defaults;
  RescueVerdict verdict;
  std::uint8_t lowAfter, highAfter;
  bool erased;  // the flash is erased afterwards
};

class RescuePaths : public ::testing::TestWithParam<RescueCase> {};

TEST_P(RescuePaths, EndWithTheChipOnIspAndOnlyTheCulpritChanged) {
  const RescueCase& c = GetParam();
  Bench bench(c.part, c.ispMaxClock);
  ASSERT_NE(bench.record, nullptr);
  SimChip& chip = bench.Chip();
  chip.low = c.low;
  chip.high = c.high;
  chip.lock = c.lock;
  chip.flash[0] = 0x12;
  ASSERT_TRUE(bench.session.Open(bench.port));

  BenchHost host(bench.line, true);
  RescueOptions options;
  options.defaults = c.defaults;
  const RescueReport report = RunRescue(bench.session, c.part, *bench.record, host, options);

  EXPECT_EQ(report.verdict, c.verdict) << report.diagnosis << "\n" << report.outcome;
  EXPECT_FALSE(report.diagnosis.empty());
  EXPECT_EQ(chip.low, c.lowAfter) << report.outcome;
  EXPECT_EQ(chip.high, c.highAfter) << report.outcome;
  EXPECT_EQ(chip.flash[0], c.erased ? 0xFF : 0x12);
  if (c.verdict == RescueVerdict::Rescued) {
    EXPECT_EQ(chip.lock & 0x03, 0x03);
    EXPECT_EQ(host.questions, 1);
    // It ends on the ISP cable, answering there.
    EXPECT_EQ(bench.line->With([](SimProgrammer& p) { return p.options().connect; }),
              SimConnect::kIsp);
  }
}

// ATtiny85, ATtiny2313 and ATtiny861 defaults LOW 0x62 HIGH 0xDF; ATmega328P LOW 0x62 HIGH
// 0xD9; ATmega1284P LOW 0x62 HIGH 0x99. A LOW of 0xE2 (the
// 8 MHz oscillator undivided) shows that a fuse that is not the culprit stays as it was.
INSTANTIATE_TEST_SUITE_P(
    Paths, RescuePaths,
    ::testing::Values(RescueCase{"RstdisblHvsp", "ATtiny85", 0xE2, 0x5F, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xDF, false},
                      RescueCase{"RstdisblHvpp", "ATmega328P", 0xE2, 0x59, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xD9, false},
                      RescueCase{"RstdisblHvpp20", "ATtiny2313", 0xE2, 0xDE, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xDF, false},
                      RescueCase{"SpienOffHvpp40", "ATmega1284P", 0xE2, 0xB9, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0x99, false},
                      RescueCase{"RstdisblHvpp20X61", "ATtiny861", 0xE2, 0x5F, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xDF, false},
                      RescueCase{"DwenHvsp", "ATtiny85", 0xE2, 0x9F, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xDF, false},
                      RescueCase{"SpienOff", "ATtiny85", 0xE2, 0xFF, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xDF, false},
                      RescueCase{"ExternalCrystal", "ATmega328P", 0xFF, 0xD9, 0xFF, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xD9, false},
                      RescueCase{"LockBitsOverIsp", "ATmega328P", 0xE2, 0xDE, 0xC0, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xDE, true},
                      RescueCase{"LockBitsAndRstdisbl", "ATtiny85", 0xE2, 0x5F, 0xFC, 1, false,
                                 RescueVerdict::Rescued, 0xE2, 0xDF, true},
                      RescueCase{"SlowClock128k", "ATtiny85", 0x64, 0xDF, 0xFF, 7, false,
                                 RescueVerdict::Rescued, 0x62, 0xDF, false},
                      RescueCase{"SlowClockDefaults", "ATtiny85", 0x62, 0xDF, 0xFF, 7, false,
                                 RescueVerdict::NothingWrong, 0x62, 0xDF, false},
                      RescueCase{"AskedForDefaults", "ATtiny85", 0xE2, 0x5F, 0xFF, 1, true,
                                 RescueVerdict::Rescued, 0x62, 0xDF, false},
                      RescueCase{"NothingWrong", "ATtiny85", 0xE2, 0xDF, 0xFF, 1, false,
                                 RescueVerdict::NothingWrong, 0xE2, 0xDF, false}),
    [](const ::testing::TestParamInfo<RescueCase>& info) { return std::string(info.param.what); });

// A chip set to an external crystal that is not fitted answers over ISP with the
// programmer's clock on XTAL1: no high voltage, and the clock stops when the rescue ends.
TEST(Rescue, FeedsAClockBeforeItAsksForHighVoltage) {
  for (const bool yes : {true, false}) {
    Bench bench("ATmega328P");
    bench.line->With([](SimProgrammer& p) { p.options().clockOutput = true; });
    bench.Chip().low = 0xFF;  // external crystal, none fitted
    ASSERT_TRUE(bench.session.Open(bench.port));
    BenchHost host(bench.line, yes);
    const RescueReport report = RunRescue(bench.session, "ATmega328P", *bench.record, host);
    EXPECT_EQ(report.verdict, yes ? RescueVerdict::Rescued : RescueVerdict::Declined)
        << report.diagnosis << "\n"
        << report.outcome;
    EXPECT_NE(report.diagnosis.find("clock on XTAL1"), std::string::npos) << report.diagnosis;
    EXPECT_EQ(host.placements, 0);
    EXPECT_EQ(host.questions, 1);
    EXPECT_EQ(bench.Chip().low, yes ? 0xE2 : 0xFF);
    EXPECT_FALSE(bench.line->With([](SimProgrammer& p) { return p.ClockRunning(); }));
  }
}

// A chip the clock does not bring back goes on to the socket, the clock stopped.
TEST(Rescue, StopsTheClockWhenItDoesNotHelp) {
  Bench bench("ATtiny85");
  bench.line->With([](SimProgrammer& p) { p.options().clockOutput = true; });
  bench.Chip().high = 0x5F;  // RSTDISBL
  ASSERT_TRUE(bench.session.Open(bench.port));
  BenchHost host(bench.line, true);
  const RescueReport report = RunRescue(bench.session, "ATtiny85", *bench.record, host);
  EXPECT_EQ(report.verdict, RescueVerdict::Rescued) << report.outcome;
  EXPECT_EQ(host.placements, 2);
  EXPECT_FALSE(bench.line->With([](SimProgrammer& p) { return p.ClockRunning(); }));
}

TEST(Rescue, NoChangesTheChipNot) {
  Bench bench("ATtiny85");
  bench.Chip().high = 0x5F;
  bench.Chip().lock = 0xFC;
  ASSERT_TRUE(bench.session.Open(bench.port));
  BenchHost host(bench.line, false);
  const RescueReport report = RunRescue(bench.session, "ATtiny85", *bench.record, host);
  EXPECT_EQ(report.verdict, RescueVerdict::Declined);
  EXPECT_EQ(bench.Chip().high, 0x5F);
  EXPECT_EQ(bench.Chip().lock, 0xFC);
}

TEST(Rescue, APartWithoutASocketIsSaidSo) {
  Bench bench("ATmega2560");  // high-voltage parallel, but no DIP package
  ASSERT_NE(bench.record, nullptr);
  bench.Chip().high = 0x99 | 0x20;  // the default with SPIEN unprogrammed
  ASSERT_TRUE(bench.session.Open(bench.port));
  BenchHost host(bench.line, true);
  const RescueReport report = RunRescue(bench.session, "ATmega2560", *bench.record, host);
  EXPECT_EQ(report.verdict, RescueVerdict::Failed);
  EXPECT_NE(report.outcome.find("No socket"), std::string::npos) << report.outcome;
  EXPECT_EQ(host.questions, 0);
}

// Each high-voltage part in a socket goes to the socket of its package.
TEST(Rescue, AsksForTheSocketOfThePartsPackage) {
  const struct {
    const char* part;
    const char* socket;
  } cases[] = {
      {"ATtiny85", "the 8-pin socket"},
      {"ATmega328P", "the 28-pin socket"},
      {"ATmega16", "the 40-pin socket"},
      {"ATmega1284P", "the 40-pin socket"},
      {"ATtiny4313", "the 20-pin socket for the ATtiny2313/4313"},
      {"ATtiny26", "the 20-pin socket for the ATtiny26/261/461/861"},
      {"ATtiny861A", "the 20-pin socket for the ATtiny26/261/461/861"},
      {"ATmega2560", ""},
  };
  for (const auto& c : cases) {
    const PartRecord* part = Parts().Find(c.part);
    ASSERT_NE(part, nullptr) << c.part;
    EXPECT_EQ(RescueSocketFor(c.part, *part), c.socket) << c.part;
  }
}

// Lock mode 3 (LB1 and LB2 programmed) disables reading; mode 2 (LB1 only) does not.
TEST(LockedRead, IsRefusedInLockMode3Only) {
  Bench bench("ATmega328P");
  bench.Chip().flash[0] = 0x0C;
  ASSERT_TRUE(bench.session.Open(bench.port));
  bench.session.SetMode(PROG_MODE_ISP);
  std::uint8_t clock = 0;
  ASSERT_TRUE(bench.session.SelectIspClock(0, clock).ok());
  const MemoryGeometry flash{MEMORY_FLASH, bench.record->flashPageSizeW,
                             bench.record->flashNoOfPages};
  const MemoryGeometry eeprom{MEMORY_EEPROM, bench.record->eepromPageSize,
                              bench.record->eepromNoOfPages};
  for (const std::uint8_t lock : {std::uint8_t{0xFC}, std::uint8_t{0xC0}}) {
    bench.Chip().lock = lock;
    std::vector<std::uint8_t> image{1, 2, 3};
    SessionResult r = bench.session.ReadMemory(flash, 1, image);
    EXPECT_TRUE(IsReadLockedRefusal(r)) << r.message;
    EXPECT_TRUE(image.empty());
    std::optional<std::uint32_t> difference;
    r = bench.session.VerifyMemory(eeprom, 1, std::vector<std::uint8_t>(8, 0xFF), difference);
    EXPECT_TRUE(IsReadLockedRefusal(r)) << r.message;
    EXPECT_TRUE(IsReadLockedRefusal(bench.session.BlankCheck(flash)));
  }
  bench.Chip().lock = 0xFE;  // mode 2: programming disabled, reading allowed
  std::vector<std::uint8_t> image;
  ASSERT_TRUE(bench.session.ReadMemory(flash, 1, image).ok());
  EXPECT_EQ(image[0], 0x0C);
}

// ---- the desktop's commands ----

class Answer : public QuestionView {
 public:
  explicit Answer(bool yes) : yes_(yes) {}
  bool AskYesNo(const std::string&, const std::string&) override {
    ++asked;
    return yes_;
  }
  int asked = 0;

 private:
  bool yes_;
};

struct Desktop {
  explicit Desktop(const std::string& part) {
    LoadPartList(app.parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg");
    driver = std::make_shared<SimPortDriver>(&app.parts);
    app.port.AddDriver(driver);
    app.selection.FillChipSelector();
    app.selection.PickChipByName(part);
    app.selection.ApplyChipSelection();
    app.settings.COMPort = "sim:" + part + ":isp";
    app.StartProgrammer();
  }
  SimChip& Chip() { return *driver->ChipFor(app.settings.COMPort).chip; }
  AppState app;
  std::shared_ptr<SimPortDriver> driver;
};

TEST(DesktopRescue, AsksOnceMovesTheSimulatedChipAndRescuesIt) {
  Desktop desktop("ATtiny85");
  desktop.Chip().high = 0x5F;
  Answer yes(true);
  RescueReport report;
  ASSERT_TRUE(RescueCommand(
      desktop.app,
      [&desktop](const std::string& port, ChipPlace place) {
        desktop.driver->MoveChip(
            port, place == ChipPlace::Socket ? SimConnect::kSocket : SimConnect::kIsp);
      },
      [&report](const RescueReport& r) { report = r; }));
  desktop.app.Settle(yes);
  EXPECT_EQ(report.verdict, RescueVerdict::Rescued) << RescueOutcomeText(report);
  EXPECT_EQ(yes.asked, 1);
  EXPECT_EQ(desktop.Chip().high, 0xDF);
}

TEST(DesktopLockedRead, KeepsTheBufferAsItWas) {
  Desktop desktop("ATtiny85");
  desktop.app.selection.PickMode(1);  // ISP
  ASSERT_EQ(desktop.app.selection.SelectedProgMode(), PROG_MODE_ISP);
  desktop.Chip().flash[0] = 0x0C;
  desktop.Chip().lock = 0xFC;
  desktop.app.flash.data()[0] = 0x55;
  Answer no(false);
  CommandResult result;
  ASSERT_TRUE(
      ReadMemoryCommand(desktop.app, no, [&result](const CommandResult& r) { result = r; }));
  desktop.app.Settle(no);
  EXPECT_TRUE(IsReadLockedRefusal(result.result)) << result.result.message;
  EXPECT_EQ(desktop.app.flash.data()[0], 0x55);
}

// ---- through brindlequartz-cli ----

using test::RunProgram;
using test::ScratchDir;

struct Cli {
  explicit Cli(const std::string& tag) : dir(tag) {}
  // The kept simulated chip of part with these bytes, as a previous run would leave it.
  void Keep(const std::string& part, std::uint8_t low, std::uint8_t high, std::uint8_t lock) {
    SimChip chip = SimChip::FromPart(part, *Parts().Find(part));
    chip.low = low;
    chip.high = high;
    chip.lock = lock;
    chip.flash[0] = 0x0C;
    std::filesystem::create_directories(dir.path() / "cache" / "brindlequartz");
    test::WriteText(dir.path() / "cache" / "brindlequartz" / ("sim-" + part + ".chip"),
                    SimChipFileText(chip));
  }
  SimChip Kept(const std::string& part) {
    SimChip chip = SimChip::FromPart(part, *Parts().Find(part));
    std::string why;
    LoadSimChipFileText(
        test::ReadText(dir.path() / "cache" / "brindlequartz" / ("sim-" + part + ".chip")), chip,
        &why);
    return chip;
  }
  test::RunResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--partlist", std::string(BQ_SOURCE_DIR) + "/PartList.cfg"});
    return RunProgram(test::kCliProgram, args,
                      {"XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string()},
                      dir.path(), std::chrono::seconds(60));
  }
  ScratchDir dir;
};

TEST(CliLockedRead, RefusesWithExitStatus1AndWritesNoFile) {
  Cli cli("locked");
  cli.Keep("ATmega328P", 0x62, 0xD9, 0xFC);
  const std::string fresh = cli.dir / "new.hex";
  const std::string old = cli.dir / "old.hex";
  const std::string image = ":0100000055AA\n:00000001FF\n";
  test::WriteText(old, image);
  const std::vector<std::string> port = {"-P", "sim:ATmega328P:isp", "-p", "m328p", "-m", "isp"};
  auto with = [&port](std::vector<std::string> rest) {
    rest.insert(rest.begin(), port.begin(), port.end());
    return rest;
  };
  for (const std::string& file : {fresh, old}) {
    const test::RunResult r = cli.Run(with({"read", "flash", file}));
    EXPECT_EQ(r.status, 1) << test::Describe(r);
    EXPECT_TRUE(r.Has("lock bits forbid reading")) << test::Describe(r);
    EXPECT_TRUE(r.Has(" erase")) << test::Describe(r);
  }
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(test::ReadText(old), image);
  const test::RunResult verify = cli.Run(with({"verify", "flash", old}));
  EXPECT_EQ(verify.status, 1) << test::Describe(verify);
  EXPECT_TRUE(verify.Has("lock bits forbid reading")) << test::Describe(verify);
  EXPECT_FALSE(verify.Has("Verified OK"));
  // program without a flash image erases nothing, so its EEPROM step meets the lock.
  const test::RunResult program = cli.Run(with({"program", "--eeprom", old}));
  EXPECT_EQ(program.status, 1) << test::Describe(program);
  EXPECT_TRUE(program.Has("FAIL")) << test::Describe(program);
}

TEST(CliRescue, AsksForYesWithoutATerminalAndRescuesWithIt) {
  Cli cli("rescue");
  cli.Keep("ATtiny85", 0xE2, 0x5F, 0xFF);
  const std::vector<std::string> args = {"-P", "sim:ATtiny85:isp", "-p", "t85", "rescue"};
  const test::RunResult refused = cli.Run(args);
  EXPECT_EQ(refused.status, 2) << test::Describe(refused);
  EXPECT_TRUE(refused.Has("--yes"));
  EXPECT_EQ(cli.Kept("ATtiny85").high, 0x5F);

  std::vector<std::string> yes = args;
  yes.push_back("--yes");
  const test::RunResult r = cli.Run(yes);
  EXPECT_EQ(r.status, 0) << test::Describe(r);
  EXPECT_TRUE(r.Has("RSTDISBL is programmed")) << test::Describe(r);
  EXPECT_TRUE(r.Has("8-pin socket")) << test::Describe(r);
  EXPECT_TRUE(r.Has("answers over ISP again")) << test::Describe(r);
  const SimChip after = cli.Kept("ATtiny85");
  EXPECT_EQ(after.high, 0xDF);
  EXPECT_EQ(after.low, 0xE2);
}

// The original programmer (which the simulated one is) has no clock for XTAL1: said, exit 1.
TEST(CliTargetClock, IsRefusedByAProgrammerWithoutOne) {
  Cli cli("clock");
  const test::RunResult r = cli.Run(
      {"-P", "sim:ATmega328P:isp", "-p", "m328p", "-m", "isp", "--target-clock", "fuses", "read"});
  EXPECT_EQ(r.status, 1) << test::Describe(r);
  EXPECT_TRUE(r.Has("no clock for the target's XTAL1")) << test::Describe(r);
}

// Runs of blanks and line ends as one space: the help wraps its lines.
std::string Flat(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool blank = c == ' ' || c == '\n';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  return out;
}

// One table: the one rescue --help prints and the one docs/hardware.md shows.
TEST(RescueTable, HelpAndHardwareDocsShowTheSameTable) {
  Cli cli("help");
  const test::RunResult help = cli.Run({"rescue", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(Flat(help.out).find(Flat(RescueTableText())), std::string::npos) << help.out;
  const std::string docs = test::ReadText(std::string(BQ_SOURCE_DIR) + "/docs/hardware.md");
  EXPECT_NE(docs.find(RescueTableMarkdown()), std::string::npos)
      << "docs/hardware.md should hold:\n"
      << RescueTableMarkdown();
  EXPECT_NE(Flat(help.out).find(Flat(RescueSocketsText())), std::string::npos) << help.out;
  EXPECT_NE(docs.find(RescueSocketsMarkdown()), std::string::npos)
      << "docs/hardware.md should hold:\n"
      << RescueSocketsMarkdown();
  const std::string readme = test::ReadText(std::string(BQ_SOURCE_DIR) + "/README.md");
  EXPECT_NE(readme.find(" rescue"), std::string::npos);
}

}  // namespace
}  // namespace bq
