// brindlequartz-cli fuse and lock writes against brindlequartz-sim: they change only what was
// given, verify only what was given, refuse over ISP what would lock ISP out unless forced,
// and a programmer that does not answer ends the command without the signature question.
// Lines are looked for in both output streams: which one carries them is not the point here.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/cli_process.h"
#include "tests/cli/test_part_list.h"

namespace bq {
namespace {

namespace fs = std::filesystem;
using test::RunResult;

const std::string& kCli = test::kCliProgram;
const std::string& kSim = test::kSimProgram;
const std::string kShippedList = std::string(BQ_SOURCE_DIR) + "/PartList.cfg";

class FuseSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kCli)) << kCli;
    ASSERT_TRUE(fs::exists(kSim)) << kSim;
    test::WriteText(dir.path() / "parts.cfg", test::kTestPartList);
  }
  RunResult Cli(std::vector<std::string> args, const std::string& partlist = "") {
    std::vector<std::string> full{"--partlist", partlist.empty() ? dir / "parts.cfg" : partlist,
                                  "--no-progress"};
    full.insert(full.end(), args.begin(), args.end());
    return test::RunProgram(kCli, full,
                            {"XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string()},
                            dir.path());
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

std::string Output(const RunResult& r) {
  return r.out + r.err;
}
using test::Describe;

struct Step {
  std::vector<std::string> args;  // after -P DEVICE -p TMEGA1 -m isp
  int status;
  std::vector<std::string> has;
  std::vector<std::string> hasNot;
};

// TMEGA1 on the ISP cable; its defaults are LOW 0x62 (CKDIV8 programmed, CKSEL "Int. RC Osc.
// 8 MHz"), HIGH 0xD9 (RSTDISBL unprogrammed, SPIEN programmed), EXTENDED 0xFF. One chip for
// all steps, so each step starts from what the steps before left on it.
const Step kSteps[] = {
    {{"fuses", "write", "--low", "0xE2"},
     0,
     {"success: Read fuses\n",
      "success: Write fuses\ninfo: Write LOW: 0xE2\ninfo: Write HIGH: 0xD9\ninfo: Write "
      "EXTENDEND: 0xFF\n"},
     {"warning:"}},
    // The LOW byte set above stays: only HIGH changes.
    {{"fuses", "write", "--high", "0xDE"},
     0,
     {"info: Read LOW: 0xE2\n", "info: Write LOW: 0xE2\ninfo: Write HIGH: 0xDE\n"},
     {}},
    {{"fuses", "write"}, 2, {"needs something to write"}, {"Read Signature"}},
    {{"lock", "verify"}, 2, {"needs something to verify"}, {"Read Signature"}},
    // Verify compares the given bits only.
    {{"fuses", "verify", "CKDIV8=1", "--high", "0xDE"},
     0,
     {"success: Fuse bits verification OK\n"},
     {"warning:"}},
    {{"fuses", "verify", "CKDIV8=0", "SPIEN=0"},
     1,
     {"error: CKDIV8: the chip has 1, 0 expected\n", "error: Fuse bits verification FAILED\n"},
     {"SPIEN:"}},
    {{"fuses", "verify", "--defaults"}, 1, {"error: Fuse bits verification FAILED\n"}, {}},
    // What would lock ISP out is refused, and nothing is written.
    {{"fuses", "write", "RSTDISBL=0"},
     1,
     {"error: RSTDISBL programmed: the reset pin becomes an I/O pin and ISP can no longer "
      "reach the chip",
      "--force"},
     {"Write fuses"}},
    {{"fuses", "write", "SPIEN=1"},
     1,
     {"error: SPIEN unprogrammed: a chip ignores that over ISP"},
     {"Write fuses"}},
    {{"fuses", "read"}, 0, {"info: Read LOW: 0xE2\ninfo: Read HIGH: 0xDE\n"}, {}},
    // A new clock source is written, with a warning.
    {{"fuses", "write", "CKSEL=ext. crystal"},
     0,
     {"warning: CKSEL changes from \"Int. RC Osc. 8 MHz\" to \"Ext. Crystal\": ISP will reach "
      "the chip only while that clock is present.\n",
      "info: Write LOW: 0xEF\n"},
     {"error:"}},
    {{"fuses", "write", "--defaults"},
     0,
     {"info: Write LOW: 0x62\ninfo: Write HIGH: 0xD9\ninfo: Write EXTENDEND: 0xFF\n"},
     {}},
    {{"fuses", "verify", "--defaults"}, 0, {"success: Fuse bits verification OK\n"}, {}},
    // Lock bits the same way: read, change the field, write, read back.
    {{"lock", "write", "LB=2"},
     0,
     {"info: Read LOCKBIT: 0xFF\n", "info: Write LOCKBIT: 0xFE\n",
      "info: Lock bits read back as written\n"},
     {}},
    {{"lock", "verify", "0xFE"}, 0, {"success: Lock bits verification OK\n"}, {}},
    // Programmed lock bits stay until an erase: writing them back to 1 is no success.
    {{"lock", "write", "0xFF"},
     1,
     {"error: Lock bits not changed as written: the chip holds LOCKBIT 0xFE (0xFF written). "
      "Programmed lock bits return to 1 only with a chip erase"},
     {"success: Lock bits"}},
    {{"erase"}, 0, {}, {}},
    {{"lock", "write", "0xFF"}, 0, {"info: Lock bits read back as written\n"}, {"error:"}},
    // Forced, ISP is gone at once: written, but it cannot be read back (and is no success).
    {{"fuses", "write", "RSTDISBL=0", "--force"},
     1,
     {"warning: RSTDISBL programmed", "info: Write LOW: 0x62\ninfo: Write HIGH: 0x59\n",
      "error: Fuses written, but reading them back failed: ERROR: Enter Program Mode"},
     {}},
    {{"fuses", "read"}, 1, {"error: Autodetect ISP Frequency."}, {"Read fuses"}},
};

TEST_F(FuseSafetyTest, WritesChangeOnlyWhatIsGivenAndIspLockOutNeedsForce) {
  test::SimProcess sim(kSim,
                       {"--partlist", dir / "parts.cfg", "--part", "TMEGA1", "--connect", "isp"});
  ASSERT_FALSE(sim.device().empty());
  for (const Step& step : kSteps) {
    std::vector<std::string> args{"-P", sim.device(), "-p", "TMEGA1", "-m", "isp"};
    args.insert(args.end(), step.args.begin(), step.args.end());
    const RunResult r = Cli(args);
    std::string what;
    for (const std::string& arg : step.args) what += arg + " ";
    what += "\n" + Describe(r);
    EXPECT_EQ(r.status, step.status) << what;
    for (const std::string& line : step.has)
      EXPECT_NE(Output(r).find(line), std::string::npos) << what;
    for (const std::string& line : step.hasNot)
      EXPECT_EQ(Output(r).find(line), std::string::npos) << what;
  }

  // High voltage still reaches a chip with RSTDISBL programmed, and can undo any fuse.
  RunResult r = Cli({"-P", "sim:TMEGA1:socket", "-p", "TMEGA1", "fuses", "write", "RSTDISBL=0"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(Output(r).find("info: Write HIGH: 0x59\n"), std::string::npos) << Describe(r);

  // The combined clock field of the shipped parts.
  r = Cli(
      {"-P", "sim:ATtiny85:isp", "-p", "ATtiny85", "-m", "isp", "fuses", "write", "SUT_CKSEL=0x31"},
      kShippedList);
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(Output(r).find("warning: SUT_CKSEL changes from \"Int. RC Osc. 8 MHz"),
            std::string::npos)
      << Describe(r);
  EXPECT_NE(Output(r).find("info: Write LOW: 0x71\n"), std::string::npos) << Describe(r);
}

// An ELF file built for another device is refused before anything is written, unless
// forced; one built for the chip in use is programmed.
TEST_F(FuseSafetyTest, ProgramRefusesAnElfBuiltForAnotherDevice) {
  if (std::system("command -v avr-gcc > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "avr-gcc is not installed";
  }
  auto build = [&](const std::string& mcu) {
    const std::string source = dir / "prog.c", elf = dir / (mcu + ".elf");
    test::WriteText(source,
                    "#include <avr/io.h>\n#include <avr/fuse.h>\n#include <avr/lock.h>\n"
                    "FUSES = {.low = 0xE2, .high = 0xDF, .extended = 0xFF};\n"
                    "LOCKBITS = 0xFE;\n"
                    "int main(void) { for (;;) PORTB ^= 1; }\n");
    EXPECT_EQ(
        std::system(("avr-gcc -mmcu=" + mcu + " -Os -o '" + elf + "' '" + source + "'").c_str()),
        0);
    return elf;
  };
  const std::string other = build("atmega328p"), own = build("attiny85");
  test::SimProcess sim(kSim, {"--partlist", kShippedList, "--part", "ATtiny85"});
  ASSERT_FALSE(sim.device().empty());
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {{"-p", "ATtiny85", "program", other}, 1, "built for atmega328p, not for ATtiny85"},
      {{"program", other}, 1, "built for atmega328p, not for ATtiny85"},  // identified
      {{"fuses", "read"}, 0, "info: Read LOW: 0x62\n"},                   // nothing written
      {{"-p", "t85", "program", own}, 0, "PASS"},
      {{"erase"}, 0, ""},
      {{"-p", "ATtiny85", "program", other, "--force"}, 0, "(--force: programmed all the same)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"-P", sim.device()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = Cli(args, kShippedList);
    EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << Describe(r);
    EXPECT_NE(Output(r).find(c.says), std::string::npos) << c.args.back() << "\n" << Describe(r);
  }
}

TEST_F(FuseSafetyTest, ProgrammerThatDoesNotAnswerEndsWithoutTheSignatureQuestion) {
  const struct {
    const char* fault;
    const char* line;
  } cases[] = {
      {"0x10:silence", "error: Comunication Error Code 0x02!!!\n"},
      {"0x10:badheader", "error: Comunication Error Code 0x03!!!\n"},
      {"0x10:short", "error: Comunication Error Code 0x04!!!\n"},
  };
  for (const auto& c : cases) {
    test::SimProcess sim(kSim,
                         {"--partlist", dir / "parts.cfg", "--part", "TTINY3", "--fault", c.fault});
    ASSERT_FALSE(sim.device().empty());
    const RunResult r =
        Cli({"-P", sim.device(), "-p", "TTINY3", "--yes", "fuses", "write", "--low", "0xE2"});
    EXPECT_EQ(r.status, 1) << c.fault << "\n" << Describe(r);
    EXPECT_NE(Output(r).find(c.line), std::string::npos) << c.fault << "\n" << Describe(r);
    for (const char* absent : {"Continue ?", "Signature does not match", "Read fuses", "Write"}) {
      EXPECT_EQ(Output(r).find(absent), std::string::npos) << c.fault << "\n" << Describe(r);
    }
  }
}

}  // namespace
}  // namespace bq
