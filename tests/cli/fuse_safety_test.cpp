// brindlequartz-cli fuse and lock writes against brindlequartz-sim: they change only what was
// given, verify only what was given, refuse over ISP what would lock ISP out unless forced,
// and a programmer that does not answer ends the command without the signature question.
// Lines are looked for in both output streams: which one carries them is not the point here.

#include <gtest/gtest.h>

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
     {"warning: CKDIV8: the chip has 1, 0 expected\n", "warning: Fuse bits verification FAILED\n"},
     {"SPIEN:"}},
    {{"fuses", "verify", "--defaults"}, 1, {"warning: Fuse bits verification FAILED\n"}, {}},
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
    {{"fuses", "write", "RSTDISBL=0", "--force"},
     0,
     {"warning: RSTDISBL programmed", "info: Write LOW: 0x62\ninfo: Write HIGH: 0x59\n"},
     {"error:"}},
    // Lock bits the same way: read, change the field, write.
    {{"lock", "write", "LB=2"},
     0,
     {"info: Read LOCKBIT: 0xFF\n", "info: Write LOCKBIT: 0xFE\n"},
     {}},
    {{"lock", "verify", "0xFE"}, 0, {"success: Lock bits verification OK\n"}, {}},
};

TEST_F(FuseSafetyTest, WritesChangeOnlyWhatIsGivenAndIspLockOutNeedsForce) {
  test::SimProcess sim(kSim,
                       {"--partlist", dir / "parts.cfg", "--part", "TMEGA1", "--connect", "isp"});
  ASSERT_FALSE(sim.device().empty());
  for (const Step& step : kSteps) {
    std::vector<std::string> args{"-P", sim.device(), "-p", "TMEGA1", "-m", "isp"};
    args.insert(args.end(), step.args.begin(), step.args.end());
    const RunResult r = Cli(args);
    const std::string what = step.args[0] + " " + step.args[1] + "\n" + Describe(r);
    EXPECT_EQ(r.status, step.status) << what;
    for (const std::string& line : step.has)
      EXPECT_NE(Output(r).find(line), std::string::npos) << what;
    for (const std::string& line : step.hasNot)
      EXPECT_EQ(Output(r).find(line), std::string::npos) << what;
  }

  // High voltage can undo any fuse: written as asked.
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
