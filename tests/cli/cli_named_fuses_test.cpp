// brindlequartz-cli's fuses command on a UPDI part (ATtiny1614 on the simulated SerialUPDI
// adapter): every byte by name, writes that change only what was named, verifies of the
// bits named, names that are not the part's, and the write that would take the UPDI pin away.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/cli_process.h"

namespace bq {
namespace {

namespace fs = std::filesystem;
using test::RunResult;

struct Step {
  std::vector<std::string> args;  // after -P sim:ATtiny1614 -c serialupdi
  int status;
  std::vector<std::string> has;  // in stdout + stderr
  std::vector<std::string> hasNot;
};

// One chip for all steps (the sim: port keeps it between runs): each step starts from what
// the steps before left. The factory bytes: BODCFG 0x00, SYSCFG0 0xC4 (RSTPINCFG UPDI).
const Step kSteps[] = {
    {{"fuses", "write", "--defaults"}, 0, {}, {"error:"}},
    {{"fuses", "read"},
     0,
     {"WDTCFG\t0x00\t", "BODCFG\t0x00\t", "SYSCFG0\t0xC4\t", "\tRSTPINCFG=0x1 (", "BOOTEND\t0x"},
     {"error:"}},
    {{"fuses", "write", "bodcfg.active=enabled", "SYSCFG0.EESAVE=1"},
     0,
     {"info: Write BODCFG: 0x04\n", "info: Write SYSCFG0: 0xC5\n", "Fuses read back as written"},
     {"Write WDTCFG", "warning:"}},
    {{"fuses", "verify", "BODCFG.ACTIVE=ENABLED", "BODCFG.LVL=0"},
     0,
     {"success: Fuse bits verification OK\n"},
     {}},
    {{"fuses", "verify", "SYSCFG0=0xC4"},
     1,
     {"error: SYSCFG0: the chip has 0xC5, 0xC4 expected\n", "Fuse bits verification FAILED"},
     {}},
    // Names that are not the part's: nothing is sent, and the closest name is offered.
    {{"fuses", "write", "SYSCF0=0xF6"}, 2, {"did you mean SYSCFG0"}, {"Write fuses"}},
    {{"fuses", "write", "BODCFG.ACTIV=1"}, 2, {"did you mean ACTIVE"}, {"Write fuses"}},
    {{"fuses", "write", "--low", "0x62"}, 2, {"no LOW, HIGH or EXTENDED fuse byte"}, {}},
    // The UPDI pin given to GPIO or RESET: refused without --force, nothing written.
    {{"fuses", "write", "SYSCFG0.RSTPINCFG=GPIO"},
     1,
     {"error: SYSCFG0.RSTPINCFG set to", "high-voltage UPDI activation", "--force"},
     {"Write fuses"}},
    {{"fuses", "write", "SYSCFG0=0xC8"}, 1, {"SYSCFG0.RSTPINCFG set to"}, {"Write fuses"}},
    {{"fuses", "verify", "SYSCFG0.RSTPINCFG=UPDI"}, 0, {"Fuse bits verification OK"}, {}},
    {{"fuses", "write", "--defaults"}, 0, {"info: Write SYSCFG0: 0xC4\n"}, {"Write WDTCFG"}},
    {{"fuses", "write", "--defaults"}, 0, {"nothing written"}, {"Write fuses"}},
};

TEST(CliNamedFuses, WritesChangeOnlyWhatIsNamedAndTakingTheUpdiPinNeedsForce) {
  ASSERT_TRUE(fs::exists(test::kCliProgram)) << test::kCliProgram;
  test::ScratchDir dir{"CliNamedFuses"};
  const std::string list = std::string(BQ_SOURCE_DIR) + "/PartList.cfg";
  const RunResult programmers =
      test::RunProgram(test::kCliProgram, {"programmers"}, {}, dir.path());
  if (programmers.out.find("serialupdi") == std::string::npos) {
    GTEST_SKIP() << "this build has no SerialUPDI programmer";
  }
  bool first = true;
  for (const Step& step : kSteps) {
    std::vector<std::string> args{"--partlist",     list, "--no-progress", "-P",
                                  "sim:ATtiny1614", "-c", "serialupdi"};
    if (first) args.push_back("--sim-fresh");
    first = false;
    args.insert(args.end(), step.args.begin(), step.args.end());
    const RunResult r = test::RunProgram(
        test::kCliProgram, args,
        {"XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string()}, dir.path());
    std::string what;
    for (const std::string& arg : step.args) what += arg + " ";
    const std::string output = r.out + r.err;
    EXPECT_EQ(r.status, step.status) << what << test::Describe(r);
    for (const std::string& text : step.has) {
      EXPECT_NE(output.find(text), std::string::npos) << what << "lacks: " << text << "\n"
                                                      << output;
    }
    for (const std::string& text : step.hasNot) {
      EXPECT_EQ(output.find(text), std::string::npos) << what << "has: " << text << "\n" << output;
    }
  }
}

}  // namespace
}  // namespace bq
