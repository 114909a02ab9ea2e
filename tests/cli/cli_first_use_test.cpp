// What a newcomer meets in the first minutes: the README's sim: examples in order, a
// simulated chip that lives on between commands, identify's answer on stdout, a read that
// names its file, no port given, the help of one command, a failed verify as an error, and
// `program --watch` through an edit-build-flash loop.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_process.h"
#include "tests/cli/test_part_list.h"

namespace bq {
namespace {

namespace fs = std::filesystem;
using test::Describe;
using test::RunResult;

const std::string& kCli = test::kCliProgram;
const std::string kBlink = std::string(BQ_SOURCE_DIR) + "/tests/cli/data/blink.hex";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class CliFirstUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kCli)) << kCli;
    test::WriteText(dir.path() / "parts.cfg", test::kTestPartList);
  }
  // The CLI with the test part list, private settings and cache folders, no saved port.
  RunResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--partlist", dir / "parts.cfg", "--no-progress"});
    return test::RunProgram(kCli, args,
                            {"XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string()},
                            dir.path());
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// One session of commands in order: each case's exit status and what stdout and stderr hold.
TEST_F(CliFirstUseTest, TheFirstCommandsSayWhatHappened) {
  const std::string back = dir / "back.hex";
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out, err;
  } steps[] = {
      {{"-P", "sim:TTINY3", "identify"},
       0,
       {"TTINY3\t0x", "\tsocket"},
       {"success: Chip detect successfully.\n", "a new simulated TTINY3, kept in "}},
      {{"-P", "sim:TTINY3", "write", "flash", kBlink}, 0, {}, {"success: Verified OK\n"}},
      // The chip of the last command, not an erased one.
      {{"-P", "sim:TTINY3", "verify", "flash", kBlink},
       0,
       {},
       {"kept from the last run", "success: Verified OK\n"}},
      {{"-P", "sim:TTINY3", "read", "flash", back}, 0, {}, {"success: " + back + " saved ("}},
      // A new chip differs from the file: an error, status 1.
      {{"-P", "sim:TTINY3", "--sim-fresh", "verify", "flash", kBlink},
       1,
       {},
       {"error: Chip differ !!!\n", "error: First difference at "}},
      {{"-P", "sim:TTINY3", "-p", "TTINY3", "fuses", "verify", "SPIEN=1"},
       1,
       {},
       {"error: Fuse bits verification FAILED\n"}},
      // No -P and no saved port: what to do instead.
      {{"erase"}, 3, {}, {"no port was given with -P", "Ports found: sim", "try -P sim"}},
      {{"write", "--help"},
       0,
       {"Options of every command", "-P,--port", "-p,--part", "-c,--programmer",
        "read as Intel HEX when its first line that is not blank is a HEX record", "Exit status:"},
       {}},
  };
  for (const auto& step : steps) {
    const RunResult r = Cli(step.args);
    const std::string what = step.args.back() + "\n" + Describe(r);
    EXPECT_EQ(r.status, step.status) << what;
    // Words as they read, whatever line they were wrapped onto.
    std::string flowing;
    for (char c : r.out) {
      const bool blank = c == ' ' || c == '\n';
      if (!blank || flowing.empty() || flowing.back() != ' ') flowing += blank ? ' ' : c;
    }
    for (const std::string& text : step.out) {
      EXPECT_NE(flowing.find(text), std::string::npos) << text << what;
    }
    for (const std::string& text : step.err)
      EXPECT_NE(r.err.find(text), std::string::npos) << text << what;
    EXPECT_EQ(r.err.find("warning: Chip differ"), std::string::npos) << what;
    if (step.args.back() == "--help") {
      std::istringstream lines(r.out);
      for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    }
  }
  EXPECT_NE(Cli({"-P", "sim:TTINY3", "read", "flash", back})
                .err.find(" (" + std::to_string(fs::file_size(back)) + " bytes)"),
            std::string::npos);

  // A kept chip that cannot be read back gives way to a new one, with a warning.
  test::WriteText(dir / "cache/brindlequartz/sim-TTINY3.chip", "brindlequartz simulated chip\n");
  const RunResult r = Cli({"-P", "sim:TTINY3", "blank-check"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.err.find("sim-TTINY3.chip cannot be used"), std::string::npos) << Describe(r);
}

// The README's lines against sim:, run as a shell runs them, in order.
TEST_F(CliFirstUseTest, TheReadmeExamplesWorkInOrder) {
  std::istringstream readme(test::ReadText(std::string(BQ_SOURCE_DIR) + "/README.md"));
  std::string line;
  while (std::getline(readme, line) && line != "### Trying it without hardware") {
  }
  while (std::getline(readme, line) && line != "```sh") {
  }
  fs::copy_file(std::string(BQ_SOURCE_DIR) + "/PartList.cfg", dir.path() / "PartList.cfg");
  int lines = 0;
  while (std::getline(readme, line) && line != "```") {
    if (line.rfind("B=", 0) == 0) continue;
    ++lines;
    const RunResult r =
        test::RunProgram("/bin/sh", {"-c", "cd \"$SCRATCH\" && " + line},
                         {"B=" + kCli, "SCRATCH=" + dir.path().string(),
                          "XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string()},
                         dir.path());
    EXPECT_EQ(r.status, 0) << line << "\n" << Describe(r);
  }
  EXPECT_GE(lines, 5);
}

// Edit, build, flash: a file that cannot be loaded fails one run and the watch goes on; a
// file written in two pieces is programmed once, whole.
TEST_F(CliFirstUseTest, WatchProgramsTheChipAgainAfterEachChange) {
  const std::string image = dir / "app.bin";
  test::WriteText(image, std::string(100, '\x11'));
  const std::string out = dir / "watch.out", err = dir / "watch.err";
  std::vector<std::string> args{kCli,  "--partlist", dir / "parts.cfg", "--no-progress",
                                "-P",  "sim:TTINY3", "program",         "--flash",
                                image, "--watch"};
  std::vector<char*> argv = test::Pointers(args);
  std::vector<std::string> env = test::EnvironmentWith(
      {"XDG_CONFIG_HOME=" + (dir / "xdg"), "XDG_CACHE_HOME=" + (dir / "cache")});
  std::vector<char*> envp = test::Pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kCli.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Waits until the file holds the text n times.
  auto until = [](const std::string& file, const std::string& text, std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Count(test::ReadText(file), text) < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Count(test::ReadText(file), text) >= n;
  };
  EXPECT_TRUE(until(out, "PASS ", 1)) << test::ReadText(err);
  EXPECT_TRUE(until(err, "info: watching " + image, 1)) << test::ReadText(err);

  test::WriteText(image, "");  // an empty image cannot be loaded: that run fails
  EXPECT_TRUE(until(err, "info: watching " + image, 2)) << test::ReadText(err);

  {
    std::ofstream half(image, std::ios::binary | std::ios::trunc);
    half << std::string(300, '\x22') << std::flush;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    half << std::string(300, '\x33');
  }
  EXPECT_TRUE(until(out, "PASS ", 2)) << test::ReadText(err);
  EXPECT_TRUE(until(err, "info: watching " + image, 3)) << test::ReadText(err);
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const std::string log = test::ReadText(err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << log;
  EXPECT_EQ(Count(log, " changed: programming the chip again"), 2u) << log;
  EXPECT_EQ(Count(test::ReadText(out), "PASS "), 2u) << test::ReadText(out);

  // The chip holds the whole last image.
  const RunResult r = test::RunProgram(
      kCli, {"--partlist", dir / "parts.cfg", "-P", "sim:TTINY3", "verify", "flash", image},
      {"XDG_CONFIG_HOME=" + (dir / "xdg"), "XDG_CACHE_HOME=" + (dir / "cache")}, dir.path());
  EXPECT_EQ(r.status, 0) << Describe(r);
}

}  // namespace
}  // namespace bq
