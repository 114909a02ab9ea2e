// Every kind of programmer through the same commands, against its simulated peer on the
// in-process sim: port (each command a fresh chip, as each run of the tool is a new process).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/cli_process.h"
#include "tests/cli/test_part_list.h"

namespace bq {
namespace {

using test::Describe;
using test::RunResult;

const std::string kShippedList = std::string(BQ_SOURCE_DIR) + "/PartList.cfg";

class CliProgrammersTest : public ::testing::Test {
 protected:
  RunResult Cli(const std::string& programmer, std::vector<std::string> args) {
    args.insert(args.begin(), {"--partlist", kShippedList, "--no-progress", "-c", programmer});
    return test::RunProgram(test::kCliProgram, args, {"XDG_CONFIG_HOME=" + (dir / "xdg")},
                            dir.path(), std::chrono::seconds(90));
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(CliProgrammersTest, EveryProgrammerRunsTheChipCommands) {
  // 300 bytes of program over three 128-byte pages, and 40 bytes of EEPROM.
  test::WriteText(dir / "fw.bin", std::string(300, '\x5A'));
  test::WriteText(dir / "data.bin", std::string(40, '\x33'));
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string expect;  // on stderr, or stdout for data
  };
  const std::vector<Step> steps = {
      {{"-P", "sim:m328p:isp", "identify"}, 0, "Name: ATmega328P, Signature: 0x1E950F, Connected to: ISP"},
      {{"-P", "sim:m328p:isp", "-p", "m328p", "-m", "isp", "program", "--flash", dir / "fw.bin",
        "--eeprom", dir / "data.bin", "--fuse", "CKDIV8=1", "--lock", "0xFC"},
       0, "PASS sim:m328p:isp ATmega328P"},
      {{"-P", "sim:m328p:isp", "-p", "m328p", "-m", "isp", "fuses", "write", "--low", "0xE2"}, 0,
       "read back as written"},
      {{"-P", "sim:m328p:isp", "-p", "m328p", "-m", "isp", "blank-check"}, 0, "Chip is empty"},
      {{"-P", "sim:m328p:isp", "-p", "m328p", "-m", "isp", "read", "eeprom", dir / "e.bin"}, 0,
       "EEPROM read into buffer"},
      {{"-P", "sim:m328p:isp", "-p", "m328p", "-m", "isp", "verify", "flash", dir / "fw.bin"}, 1,
       "Chip differ !!!"},
      {{"-P", "sim:m2560:isp", "-p", "m2560", "-m", "isp", "program", "--flash", dir / "fw.bin"}, 0,
       "PASS"},
      {{"-P", "sim:m328p:isp", "-p", "m328p", "-m", "isp", "calibration"}, 0, ""},
      {{"-P", "sim:NOPART", "identify"}, 2, "NOPART"},
  };
  for (const char* programmer : {"stk500v1", "stk500v2", "brindlequartz"}) {
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(programmer) + " " + step.args.back());
      const RunResult r = Cli(programmer, step.args);
      EXPECT_EQ(r.status, step.status) << Describe(r);
      EXPECT_NE((r.err + r.out).find(step.expect), std::string::npos) << Describe(r);
    }
  }
}

TEST_F(CliProgrammersTest, TheProgrammerIsChosenByNameAndWhatItCannotDoIsSaid) {
  RunResult r = test::RunProgram(test::kCliProgram, {"programmers"}, {}, dir.path());
  EXPECT_EQ(r.status, 0);
  for (const char* name : {"brindlequartz\t", "stk500v1 (arduino-isp)\t", "stk500v2\t"}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << r.out;
  }
  r = Cli("arduino-isp", {"-P", "sim:t85", "-p", "t85", "-m", "hv", "fuses", "read"});
  EXPECT_EQ(r.status, 2) << Describe(r);
  EXPECT_NE(r.err.find("no high-voltage mode"), std::string::npos) << Describe(r);
  r = Cli("usbasp", {"-P", "sim", "identify"});
  EXPECT_EQ(r.status, 2) << Describe(r);
  EXPECT_NE(r.err.find("stk500v1 (arduino-isp)"), std::string::npos) << Describe(r);
  // The STK500 version 2 programmer reaches a chip in its socket in the part's own mode.
  r = Cli("stk500v2", {"-P", "sim:t85:socket", "-p", "t85", "-m", "hv", "fuses", "read"});
  EXPECT_EQ(r.status, 0) << Describe(r);
}

}  // namespace
}  // namespace bq
