// The brindlequartz-sim program, started as a user would start it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "parts/part_database.h"
#include "platform/posix/posix_port_driver.h"
#include "session/chip_session.h"
#include "tests/platform/platform_test_util.h"

namespace bq::test {
namespace {

// A running brindlequartz-sim with its stdout on a pipe.
class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      args.insert(args.begin(), BQ_SIM_PROGRAM);
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(BQ_SIM_PROGRAM, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    stdout_ = ::fdopen(out[0], "r");
  }
  ~SimProgram() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (stdout_) std::fclose(stdout_);
  }
  std::string FirstLine() {
    char line[256] = {};
    if (!stdout_ || !std::fgets(line, sizeof line, stdout_)) return {};
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  FILE* stdout_ = nullptr;
};

std::string PartList() {
  return std::string(BQ_SOURCE_DIR) + "/PartList.cfg";
}

TEST(SimProgram, ServesThePartOnAPtyAndItsLinkUntilTerminated) {
  TempDir dir;
  const std::string link = (dir.path() / "programmer").string();
  SimProgram sim({"--partlist", PartList(), "--part", "ATmega8", "--connect", "isp",
                  "--isp-max-clock", "4", "--fault", "0xC1:error=6@1", "--link", link});
  const std::string path = sim.FirstLine();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  ASSERT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);

  PosixPortDriver driver;
  {
    auto port = driver.Open(link);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Exchange(*port, Packet(0xC2), 6), (Bytes{0x48, 0x56, 0xD2, 0, 1, 4}));
    EXPECT_EQ(Exchange(*port, Packet(0x10, {4}), 8),
              (Bytes{0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07}));
    EXPECT_EQ(Exchange(*port, Packet(0xC1), 6), (Bytes{0x48, 0x56, 0xEF, 0, 1, 6}));
    EXPECT_EQ(Exchange(*port, Packet(0xC1), 7), (Bytes{0x48, 0x56, 0xDB, 0, 2, 2, 1}));
  }
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimProgram, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--connect", "usb"},
           {"--fault", "0x30:mute"},
           {"--isp-max-clock", "9"},
           {"--part"},
           {"--bogus"},
           {"--blank-check-ms", "soon"},
           {"--protocol", "stk500v3"},
           {"--protocol", "stk500v1", "--fault", "0x30:silence"}}) {
    SimProgram sim(args);
    EXPECT_EQ(sim.FirstLine(), "") << args[0];
    EXPECT_EQ(sim.Wait(), 2) << args[0];
  }
}

TEST(SimProgram, ServesEachProgrammerKindToItsDriver) {
  PartDatabase parts;
  ASSERT_GT(LoadPartList(parts, PartList()), 0);
  const PartRecord& part = *parts.Find("ATmega328P");
  for (const ProgrammerInfo& info : ProgrammerTable()) {
    if (info.can.updi) continue;  // no classic part behind a UPDI pin
    SCOPED_TRACE(info.name);
    SimProgram sim({"--partlist", PartList(), "--part", "ATmega328P", "--connect", "isp",
                    "--protocol", info.name, "--pace"});
    const std::string path = sim.FirstLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    ChipSession session({std::make_shared<PosixPortDriver>()}, info.kind);
    session.SetPart("ATmega328P", &part);
    session.SetMode(PROG_MODE_ISP);
    std::string why;
    ASSERT_TRUE(session.Open(path, &why)) << why;
    std::uint8_t clock = 0;
    if (info.can.ispClock) {
      EXPECT_TRUE(session.SelectIspClock(1, clock).ok());
    }
    std::uint32_t signature = 0;
    const SessionResult r = session.ReadSignature(signature);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(signature, part.signature);
    session.Close();
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
  }
}

TEST(SimProgram, TakesAnyNameOfAPartAndFailsOnAnUnknownPartOrPartList) {
  {
    SimProgram sim({"--partlist", PartList(), "--part", "t85", "--connect", "isp"});
    const std::string path = sim.FirstLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    PosixPortDriver driver;
    auto port = driver.Open(path);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Exchange(*port, Packet(0xC2), 6), (Bytes{0x48, 0x56, 0xD2, 0, 1, 1}));
    EXPECT_EQ(Exchange(*port, Packet(0x10, {4}), 8),
              (Bytes{0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x0B}))
        << "an ATtiny85";
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
  }
  SimProgram unknown({"--partlist", PartList(), "--part", "attiny58x"});
  EXPECT_EQ(unknown.Wait(), 1);
  TempDir dir;
  SimProgram missing({"--partlist", (dir.path() / "none.cfg").string()});
  EXPECT_EQ(missing.Wait(), 1);
}

}  // namespace
}  // namespace bq::test
