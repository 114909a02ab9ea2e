// Production runs: chip after chip on a simulator whose chip comes and goes, serial numbers
// that no two chips share, a log line a chip, and a counter that survives a killed run.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "core/sha256.h"
#include "session/serial_numbers.h"
#include "tests/cli/cli_process.h"
#include "tests/cli/test_part_list.h"

namespace bq {
namespace {

using test::RunResult;

const std::string& kCli = test::kCliProgram;
const std::string& kSim = test::kSimProgram;

struct LogLine {
  std::uint64_t serial = 0;
  std::string result, step, eepromSha256;
};

// The fields the tests look at, from each line of a --log file.
std::vector<LogLine> ReadLog(const std::string& path) {
  std::vector<LogLine> lines;
  std::istringstream in(test::ReadText(path));
  std::string line;
  auto field = [&line](const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return std::string();
    std::size_t from = at + key.size() + 3;
    if (line[from] == '"') ++from;
    return line.substr(from, line.find_first_of("\",}", from) - from);
  };
  while (std::getline(in, line)) {
    LogLine l;
    l.serial = std::stoull(field("serial"));
    l.result = field("result");
    l.step = field("step");
    l.eepromSha256 = field("eeprom");
    lines.push_back(l);
  }
  return lines;
}

class CliProductionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteText(dir.path() / "parts.cfg", test::kTestPartList);
    test::WriteText(dir.path() / "eeprom.bin", std::string(10, '\x33'));
  }
  // A simulated TTINY3 whose chip comes and goes: there for `present` ms from the first
  // command that reaches it, then away for 1.2 s; generous beside the CLI's half-second poll.
  test::SimProcess Sim(const std::string& present, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--partlist", dir / "parts.cfg", "--part",
                                  "TTINY3",     "--chip-cycle",    present + ":1200"};
    args.insert(args.end(), extra.begin(), extra.end());
    return test::SimProcess(kSim, args);
  }
  std::vector<std::string> Run(const std::string& port, std::vector<std::string> extra) {
    std::vector<std::string> args{"--partlist",
                                  dir / "parts.cfg",
                                  "-P",
                                  port,
                                  "-p",
                                  "TTINY3",
                                  "program",
                                  "--eeprom",
                                  dir / "eeprom.bin",
                                  "--repeat",
                                  "--serial",
                                  "eeprom:0x10:4",
                                  "--serial-file",
                                  dir / "serial.txt",
                                  "--log",
                                  dir / "production.jsonl"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  RunResult Cli(const std::vector<std::string>& args) {
    return test::RunProgram(kCli, args, {"XDG_CONFIG_HOME=" + (dir / "xdg")}, dir.path(),
                            std::chrono::seconds(120));
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

using test::Describe;

// The EEPROM each chip must hold: the image with the serial number, little-endian, at 0x10
// (beyond the image's 10 bytes).
std::string EepromSha256(std::uint64_t serial) {
  std::vector<std::uint8_t> eeprom(256, 0xFF);
  std::fill_n(eeprom.begin(), 10, 0x33);
  SerialPlace place;
  place.address = 0x10;
  PlaceSerialNumber(place, serial, eeprom);
  return Sha256Hex(eeprom.data(), eeprom.size());
}

TEST_F(CliProductionTest, ChipAfterChipEachWithItsOwnSerialNumberAndALogLine) {
  test::SimProcess sim = Sim("2000");
  ASSERT_FALSE(sim.device().empty());
  RunResult r = Cli(Run(sim.device(), {"--count", "3", "--serial-start", "1000"}));
  EXPECT_EQ(r.status, 0) << Describe(r);
  for (const std::string& line :
       {"PASS #1 " + sim.device() + " TTINY3 ", "PASS #2 " + sim.device() + " TTINY3 ",
        "PASS #3 " + sim.device() + " TTINY3 ",
        std::string("Summary: 3 passed, 0 failed, 3 chips in ")}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << Describe(r);
  }
  EXPECT_EQ(r.err.find("Enter Program Mode"), std::string::npos)
      << "waiting is quiet" << Describe(r);
  EXPECT_EQ(test::ReadText(dir / "serial.txt"), "1003\n");

  // Next run, the same command line: the numbers go on from the counter file. The first
  // chip fails its EEPROM verification, the second passes with the next number, the third
  // loses the programmer, which ends the run.
  test::SimProcess faulty = Sim("2000", {"--fault", "0x30:error=2@1", "--fault", "0x32:hangup@5"});
  ASSERT_FALSE(faulty.device().empty());
  r = Cli(Run(faulty.device(), {"--serial-start", "1000"}));
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_NE(r.err.find("info: serial numbers go on from 1003, the next number "), std::string::npos)
      << Describe(r);
  for (const std::string& line : {"FAIL #1 " + faulty.device() + " TTINY3 eeprom verify: ",
                                  "PASS #2 " + faulty.device() + " TTINY3 ",
                                  "FAIL #3 " + faulty.device() + " TTINY3 eeprom: ",
                                  std::string("Summary: 1 passed, 2 failed, 3 chips in ")}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << Describe(r);
  }
  EXPECT_NE(r.err.find("stopped answering"), std::string::npos) << Describe(r);

  // One line a chip; a verified EEPROM holds exactly the image with the chip's number.
  const std::vector<LogLine> log = ReadLog(dir / "production.jsonl");
  ASSERT_EQ(log.size(), 6u) << test::ReadText(dir / "production.jsonl");
  const char* results[] = {"PASS", "PASS", "PASS", "FAIL", "PASS", "FAIL"};
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].serial, 1000 + i) << "a failed chip's number is not used again";
    EXPECT_EQ(log[i].result, results[i]) << i;
    EXPECT_EQ(log[i].eepromSha256, EepromSha256(1000 + i)) << i;
  }
  EXPECT_EQ(log[3].step, "eeprom verify");
  EXPECT_EQ(test::ReadText(dir / "serial.txt"), "1006\n");
}

// Two programmers, each its own loop: the count and the serial numbers are shared, no number
// twice, and the summary counts both.
TEST_F(CliProductionTest, TwoProgrammersShareTheCountAndTheNumbers) {
  test::SimProcess first = Sim("2000");
  test::SimProcess second = Sim("2000");
  ASSERT_FALSE(first.device().empty());
  ASSERT_FALSE(second.device().empty());
  std::vector<std::string> args = Run(first.device(), {"--count", "4", "--serial-start", "500"});
  args.insert(args.begin() + 4, {"-P", second.device()});
  const RunResult r = Cli(args);
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.out.find("Summary: 4 passed, 0 failed"), std::string::npos) << Describe(r);
  std::set<std::uint64_t> numbers;
  for (const LogLine& line : ReadLog(dir / "production.jsonl")) {
    EXPECT_EQ(line.result, "PASS");
    EXPECT_TRUE(numbers.insert(line.serial).second) << "serial " << line.serial << " twice";
  }
  EXPECT_EQ(numbers, (std::set<std::uint64_t>{500, 501, 502, 503}));
  for (const std::string& port : {first.device(), second.device()}) {
    EXPECT_NE(r.out.find("PASS #1 " + port + " TTINY3 "), std::string::npos) << Describe(r);
  }
}

// A run killed in the middle of a chip, then started again: the number the killed chip had
// is never handed out again.
TEST_F(CliProductionTest, AKilledRunNeverRepeatsASerialNumber) {
  test::SimProcess sim = Sim("5000", {"--pace"});
  ASSERT_FALSE(sim.device().empty());
  test::WriteText(dir.path() / "flash.bin", std::string(2048, '\x22'));  // 0.4 s paced
  std::vector<std::string> args =
      Run(sim.device(), {"--flash", dir / "flash.bin", "--serial-start", "2000"});
  args.insert(args.begin(), kCli);
  std::vector<char*> argv = test::Pointers(args);
  std::vector<std::string> env = test::EnvironmentWith({"XDG_CONFIG_HOME=" + (dir / "xdg")});
  std::vector<char*> envp = test::Pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int fd : {1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kCli.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  // The counter moves on before the chip's write starts: kill the run right then.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (test::ReadText(dir / "serial.txt") != "2001\n" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_EQ(test::ReadText(dir / "serial.txt"), "2001\n");

  const RunResult r = Cli(Run(sim.device(), {"--flash", dir / "flash.bin", "--count", "1"}));
  // 1 when the chip's time ran out under load and the next chip passed.
  EXPECT_TRUE(r.status == 0 || r.status == 1) << Describe(r);
  EXPECT_NE(r.out.find("Summary: 1 passed, "), std::string::npos) << Describe(r);
  std::set<std::uint64_t> seen;
  const std::vector<LogLine> log = ReadLog(dir / "production.jsonl");
  for (const LogLine& line : log) {
    EXPECT_TRUE(seen.insert(line.serial).second) << "serial " << line.serial << " twice";
    EXPECT_TRUE(line.result != "PASS" || line.serial > 2000u) << "the killed chip's number";
  }
  EXPECT_EQ(log.back().result, "PASS");
  EXPECT_EQ(test::ReadText(dir / "serial.txt"), std::to_string(log.back().serial + 1) + "\n");
}

}  // namespace
}  // namespace bq
