// What the command-line tool does beyond single operations: writes that cost only what the
// image needs, data on stdout and log lines on stderr, quiet and verbose, Ctrl+C, help.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/avr_gcc_elf.h"
#include "tests/cli/cli_process.h"
#include "tests/cli/test_part_list.h"

namespace bq {
namespace {

namespace fs = std::filesystem;
using test::RunResult;

const std::string& kCli = test::kCliProgram;
const std::string& kSim = test::kSimProgram;

class CliEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteText(dir.path() / "parts.cfg", test::kTestPartList); }
  RunResult Cli(std::vector<std::string> args, std::chrono::milliseconds interrupt = {}) {
    args.insert(args.begin(), {"--partlist", dir / "parts.cfg"});
    return test::RunProgram(kCli, args, {"XDG_CONFIG_HOME=" + (dir / "xdg")}, dir.path(),
                            std::chrono::seconds(90), interrupt);
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

using test::Describe;

// TTINY3: 64 pages of 64 bytes. A 300-byte program takes 5 pages.
TEST_F(CliEngineTest, AFlashWriteErasesThenWritesAndVerifiesOnlyThePagesWithData) {
  test::SimProcess sim(kSim, {"--partlist", dir / "parts.cfg", "--part", "TTINY3"});
  ASSERT_FALSE(sim.device().empty());
  const std::string port = sim.device();
  const std::string program = dir / "program.bin";
  test::WriteText(program, std::string(300, '\x11'));
  struct Case {
    std::vector<std::string> extra;
    std::vector<std::string> has, hasNot;
  } cases[] = {
      {{}, {"success: Chip erased\n", "success: 320 bytes written to FLASH\n", "Verified OK"}, {}},
      {{"--no-erase", "--no-verify"}, {"320 bytes written"}, {"Chip erased", "Verified"}},
      {{"--full"}, {"4096 bytes written to FLASH\n", "Verified OK"}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"-P", port, "write", "flash", program};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const RunResult r = Cli(args);
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, "") << "a write has no data to print";
    for (const std::string& text : c.has)
      EXPECT_NE(r.err.find(text), std::string::npos) << text << Describe(r);
    for (const std::string& text : c.hasNot)
      EXPECT_EQ(r.err.find(text), std::string::npos) << text << Describe(r);
  }
  // A read of a range reads only the pages up to it and saves just the range.
  const std::string part = dir / "part.bin";
  RunResult r = Cli({"-P", port, "--no-progress", "read", "flash", part, "--range", "0:0x3F"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(test::ReadText(part), std::string(64, '\x11'));
  // Quiet keeps only warnings and errors; verbose adds every packet.
  r = Cli({"-q", "-P", port, "verify", "flash", program});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.err, "");
  r = Cli({"-P", "sim:TTINY3", "erase", "-v"});
  EXPECT_NE(r.err.find("packet: -> 48 56 B0 00 01 03\n"), std::string::npos) << Describe(r);
  EXPECT_NE(r.err.find("packet: <- 48 56"), std::string::npos) << Describe(r);
}

// Ctrl+C during a long read ends it after the exchange in progress; the programmer answers
// the next request at once.
TEST_F(CliEngineTest, CtrlCStopsAReadCleanlyWithStatus130) {
  test::SimProcess sim(kSim, {"--partlist", dir / "parts.cfg", "--part", "TMEGA1", "--pace"});
  ASSERT_FALSE(sim.device().empty());
  RunResult r = Cli({"-P", sim.device(), "-p", "TMEGA1", "read", "flash", dir / "x.bin"},
                    std::chrono::milliseconds(250));
  EXPECT_EQ(r.status, 130) << Describe(r);
  EXPECT_NE(r.err.find("Stopped before the end: the operation was cancelled"), std::string::npos)
      << Describe(r);
  EXPECT_NE(r.err.find("interrupted; done before: signature check"), std::string::npos)
      << Describe(r);
  EXPECT_FALSE(fs::exists(dir / "x.bin"));
  r = Cli({"-P", sim.device(), "version"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out, "Hardware Version: 02.01\nFirmware Version: 01.07\n");
}

TEST_F(CliEngineTest, HelpVersionAndOptionsOnEitherSide) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"write", "--help"}, {"fuses", "-h"}}) {
    const RunResult r = Cli(args);
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << Describe(r);
  }
  RunResult r = Cli({"--help"});
  EXPECT_NE(r.out.find("3    the port could not be opened"), std::string::npos) << Describe(r);
  r = Cli({"--version"});
  EXPECT_EQ(r.out, "brindlequartz-cli 1.1.0\n");
  r = test::RunProgram(kCli, {"parts", "--partlist", dir / "parts.cfg"}, {}, dir.path());
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out.substr(0, 7), "TISP0\nT");

  // "-" reads an image from stdin and writes one to stdout (Intel HEX unless asked for bin).
  const std::string hex = std::string(BQ_SOURCE_DIR) + "/tests/cli/data/blink.hex";
  r = Cli({"convert", hex, dir / "blink.bin"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = test::RunProgram(kCli, {"convert", "-", "-", "--to", "bin"}, {}, dir.path(),
                       std::chrono::seconds(30), {}, hex);
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out, test::ReadText(dir / "blink.bin"));
  r = test::RunProgram(kCli, {"convert", "-", "-"}, {}, dir.path(), std::chrono::seconds(30), {},
                       dir / "blink.bin");
  EXPECT_EQ(r.out.substr(0, 9), ":10000000") << Describe(r);
}

}  // namespace
}  // namespace bq

namespace bq {
namespace {

// The command codes the CLI sent, in order, from its packet trace (-v); repeated codes of one
// transfer count once.
std::string SentCodes(const std::string& err) {
  std::string codes;
  std::string last;
  for (std::size_t at = err.find("packet: -> 48 56 "); at != std::string::npos;
       at = err.find("packet: -> 48 56 ", at + 1)) {
    const std::string code = err.substr(at + 17, 2);
    if (code != last) codes += (codes.empty() ? "" : " ") + code;
    last = code;
  }
  return codes;
}

TEST_F(CliEngineTest, ProgramRunsEveryStepInTheSafeOrderAndStopsAtTheFirstFailure) {
  const std::string flash = dir / "flash.bin";
  const std::string eeprom = dir / "eeprom.bin";
  test::WriteText(flash, std::string(100, '\x22'));
  test::WriteText(eeprom, std::string(10, '\x33'));
  const std::vector<std::string> job{"program", "--flash",  flash,    "--eeprom", eeprom,
                                     "--fuse",  "CKDIV8=1", "--lock", "0xFC"};
  struct Case {
    const char* fault;  // brindlequartz-sim --fault, "" for none
    int status;
    const char* summary;
    const char* codes;
  } cases[] = {
      // C1 first: the hardware version, asked before the first operation (our firmware gets
      // a faster line; this programmer, 2.01, does not).
      {"", 0, "PASS ", "C1 10 B0 32 30 32 30 20 21 20 21 20"},  // fuse verify, lock read: one 20
      {"0xB0:error=6", 1, "FAIL * TTINY3 erase: ERROR: Chip Erase\n", "C1 10 B0 CF"},
      {"0x32:error=5@2", 1, "FAIL * TTINY3 flash: ERROR: Write Memory\n", "C1 10 B0 32 CF"},
      {"0x32:error=5@3", 1, "FAIL * TTINY3 eeprom: ERROR: Write Memory\n", "C1 10 B0 32 30 32 CF"},
      {"0x21:error=4", 1, "FAIL * TTINY3 fuses: ERROR: Write Fuses\n",
       "C1 10 B0 32 30 32 30 20 21 CF"},
      {"0x21:error=3@2", 1, "FAIL * TTINY3 lock: ERROR: Write Lock Bits\n",
       "C1 10 B0 32 30 32 30 20 21 20 21 CF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    std::vector<std::string> simArgs{"--partlist", dir / "parts.cfg", "--part", "TTINY3"};
    if (*c.fault) simArgs.insert(simArgs.end(), {"--fault", c.fault});
    test::SimProcess sim(kSim, simArgs);
    ASSERT_FALSE(sim.device().empty());
    std::vector<std::string> args{"-v", "-P", sim.device(), "-p", "TTINY3"};
    args.insert(args.end(), job.begin(), job.end());
    const RunResult r = Cli(args);
    EXPECT_EQ(r.status, c.status) << Describe(r);
    std::string summary = c.summary;
    if (const auto star = summary.find('*'); star != std::string::npos) {
      summary.replace(star, 1, sim.device());
    }
    EXPECT_EQ(r.out.substr(0, summary.size()), summary) << Describe(r);
    EXPECT_EQ(SentCodes(r.err), c.codes) << Describe(r);
  }
}

}  // namespace
}  // namespace bq

namespace bq {
namespace {

// Several programmers at once: each its own session and simulator; one summary line each;
// the exit status is that of the first port, in the order given, that did not pass.
TEST_F(CliEngineTest, GangProgrammingRunsEveryPortAndReportsEach) {
  test::SimProcess good(kSim, {"--partlist", dir / "parts.cfg", "--part", "TTINY3"});
  test::SimProcess bad(
      kSim, {"--partlist", dir / "parts.cfg", "--part", "TTINY3", "--fault", "0x32:error=5@2"});
  ASSERT_FALSE(good.device().empty());
  ASSERT_FALSE(bad.device().empty());
  const std::string flash = dir / "flash.bin";
  test::WriteText(flash, std::string(100, '\x22'));
  RunResult r = Cli(
      {"-P", good.device(), "-P", bad.device(), "-P", "sim:TTINY3", "program", "--flash", flash});
  EXPECT_EQ(r.status, 1) << Describe(r);
  for (const std::string& line :
       {"PASS " + good.device() + " TTINY3 ",
        "FAIL " + bad.device() + " TTINY3 flash: ", std::string("PASS sim:TTINY3 TTINY3 ")}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << Describe(r);
  }
  EXPECT_NE(r.err.find(bad.device() + ": error: Write Memory\n"), std::string::npos) << Describe(r);
  // A read saves one file per programmer.
  r = Cli({"-P", good.device(), "-P", "sim:TTINY3", "read", "flash", dir / "chip.bin"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(fs::exists(dir / "chip-sim-TTINY3.bin"));
  EXPECT_EQ(test::ReadText(dir / ("chip-" + fs::path(good.device()).filename().string() + ".bin"))
                .substr(0, 100),
            std::string(100, '\x22'));
}

}  // namespace
}  // namespace bq

namespace bq {
namespace {

// An ELF file as avr-gcc links it supplies every memory: flash, EEPROM, fuses and lock byte;
// an option beside it wins for its byte.
TEST_F(CliEngineTest, ProgramTakesEveryMemoryFromAnElfFile) {
  if (!test::HaveAvrGcc()) GTEST_SKIP() << "no avr-gcc";
  const std::string elf =
      test::BuildAvrGccElf(dir.path(), "atmega328p", ".low = 0xE2, .high = 0xD9, .extended = 0xFD");
  ASSERT_FALSE(elf.empty());
  const std::string shipped = std::string(BQ_SOURCE_DIR) + "/PartList.cfg";
  const RunResult r = test::RunProgram(
      kCli, {"--partlist", shipped, "-P", "sim:m328p", "program", elf, "--high", "0xDA"},
      {"XDG_CONFIG_HOME=" + (dir / "xdg")}, dir.path());
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out.substr(0, 26), "PASS sim:m328p ATmega328P ") << Describe(r);
  for (const char* line :
       {"bytes written to FLASH\n", "success: 1024 bytes written to EEPROM\n",
        "info: Write LOW: 0xE2\ninfo: Write HIGH: 0xDA\ninfo: Write EXTENDEND: 0xFD\n",
        "info: Write LOCKBIT: 0xFC\n", "success: Lock bits verification OK\n"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line << Describe(r);
  }
}

}  // namespace
}  // namespace bq
