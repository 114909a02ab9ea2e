// The command-line tool and its files: nothing read is lost, nothing the user protected or
// did not finish is written over or into a chip, and a failure is never reported as success.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/memory_buffer.h"
#include "tests/cli/cli_process.h"
#include "tests/cli/test_part_list.h"

namespace bq {
namespace {

namespace fs = std::filesystem;
using test::Describe;
using test::RunResult;

const std::string& kCli = test::kCliProgram;
const std::string& kSim = test::kSimProgram;

class CliFileSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteText(dir.path() / "parts.cfg", test::kTestPartList);
    fs::create_directories(dir.path() / "tmp");
  }
  RunResult Cli(std::vector<std::string> args, const std::string& stdoutPath = "") {
    args.insert(args.begin(), {"--partlist", dir / "parts.cfg", "--no-progress"});
    return test::RunProgram(kCli, args,
                            {"XDG_CONFIG_HOME=" + (dir / "xdg"), "TMPDIR=" + (dir / "tmp")},
                            dir.path(), std::chrono::seconds(30), {}, "/dev/null", stdoutPath);
  }
  // The bytes of an image file as loaded; empty when it does not load.
  static std::vector<std::uint8_t> Image(const std::string& path) {
    MemoryBuffer buffer(kFlashBufferBytes);
    if (LoadImageFile(buffer, path) == 0) return {};
    return {buffer.data(), buffer.data() + 4096};
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// Two ports whose names end alike still give two files; when two programmers would still
// write one file, nothing is read.
TEST_F(CliFileSafetyTest, GangReadGivesEveryProgrammerItsOwnFileOrReadsNothing) {
  test::SimProcess first(kSim, {"--partlist", dir / "parts.cfg", "--part", "TTINY3"});
  test::SimProcess second(kSim, {"--partlist", dir / "parts.cfg", "--part", "TTINY3"});
  ASSERT_FALSE(first.device().empty());
  ASSERT_FALSE(second.device().empty());
  fs::create_directories(dir.path() / "a");
  fs::create_directories(dir.path() / "b");
  fs::create_symlink(first.device(), dir.path() / "a" / "avr");
  fs::create_symlink(second.device(), dir.path() / "b" / "avr");
  test::WriteText(dir / "one.bin", std::string(64, '\x11'));
  test::WriteText(dir / "two.bin", std::string(64, '\x22'));
  ASSERT_EQ(Cli({"-P", first.device(), "write", "flash", dir / "one.bin"}).status, 0);
  ASSERT_EQ(Cli({"-P", second.device(), "write", "flash", dir / "two.bin"}).status, 0);

  RunResult r = Cli({"-P", dir / "a/avr", "-P", dir / "b/avr", "read", "flash", dir / "c.hex"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(Image(dir / "c-a-avr.hex"), Image(dir / "one.bin"));
  EXPECT_EQ(Image(dir / "c-b-avr.hex"), Image(dir / "two.bin"));

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-P", "sim:TTINY3", "-P", "sim:TTINY3", "read", "flash",
                                 dir / "d.hex"},
        std::vector<std::string>{"-P", "sim:TTINY3", "-P", "sim:TTINY2", "read", "flash", "-"}}) {
    r = Cli(args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_FALSE(r.Has("Read Signature")) << Describe(r);
    EXPECT_TRUE(r.out.empty()) << Describe(r);
  }
  EXPECT_FALSE(fs::exists(dir / "d-sim-TTINY3.hex"));
}

// A read that cannot be saved says why, fails as a file problem, and keeps what was read in a
// new file, here in the temporary folder as the target's folder is not there; a second such
// read does not overwrite the first one's file.
TEST_F(CliFileSafetyTest, AReadThatCannotBeSavedSaysWhyAndKeepsTheImage) {
  test::SimProcess sim(kSim, {"--partlist", dir / "parts.cfg", "--part", "TTINY3"});
  ASSERT_FALSE(sim.device().empty());
  test::WriteText(dir / "code.bin", std::string(200, '\x5A'));
  ASSERT_EQ(Cli({"-P", sim.device(), "write", "flash", dir / "code.bin"}).status, 0);
  const std::string target = dir / "no-such-folder/x.hex";
  for (const std::string& kept : {dir / "tmp/x-unsaved.hex", dir / "tmp/x-unsaved-2.hex"}) {
    const RunResult r = Cli({"-P", sim.device(), "read", "flash", target});
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_TRUE(r.Has("error: " + target + " not saved: No such file or directory. The image " +
                      "read is kept in " + kept + ".\n"))
        << Describe(r);
    EXPECT_EQ(Image(kept), Image(dir / "code.bin"));
  }
}

// Standard output that takes nothing (a full disk) fails the command with the reason.
TEST_F(CliFileSafetyTest, OutputThatCannotBeWrittenIsAFailure) {
  const std::vector<std::vector<std::string>> commands = {
      {"parts"},
      {"part", "TTINY3"},
      {"-P", "sim:TTINY3", "fuses", "read"},
      {"-P", "sim:TTINY3", "read", "flash", "-"},
      {"--help"},
  };
  for (const auto& args : commands) {
    const RunResult r = Cli(args, "/dev/full");
    EXPECT_EQ(r.status, 2) << args[0] << " " << Describe(r);
    EXPECT_TRUE(r.Has("No space left on device")) << Describe(r);
  }
}

// A file the user protected is not replaced by a read unless forced, and nothing is read.
TEST_F(CliFileSafetyTest, AWriteProtectedFileIsReplacedOnlyWithForce) {
  const std::string target = dir / "keep.hex";
  test::WriteText(target, ":0100000011EE\n:00000001FF\n");
  fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  RunResult r = Cli({"-P", "sim:TTINY3", "read", "flash", target});
  EXPECT_EQ(r.status, 2) << Describe(r);
  EXPECT_TRUE(r.Has(target + " is write-protected")) << Describe(r);
  EXPECT_FALSE(r.Has("Read Signature")) << Describe(r);
  EXPECT_EQ(test::ReadText(target), ":0100000011EE\n:00000001FF\n");
  r = Cli({"-P", "sim:TTINY3", "read", "flash", target, "--force"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(test::ReadText(target), ":0100000011EE\n:00000001FF\n");
}

// An Intel HEX file without its end record may be cut short: loading and converting warn,
// writing it into a chip needs --force.
TEST_F(CliFileSafetyTest, AHexFileWithoutItsEndRecordIsWrittenOnlyWithForce) {
  const std::string cut = dir / "cut.hex";
  test::WriteText(cut, ":020000001122CB\n");
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"-P", "sim:TTINY3", "write", "flash", cut}, 2},
      {{"-P", "sim:TTINY3", "program", "--flash", cut}, 2},
      {{"-P", "sim:TTINY3", "write", "flash", cut, "--force"}, 0},
      {{"-P", "sim:TTINY3", "program", "--flash", cut, "--force"}, 0},
      {{"convert", cut, dir / "out.bin"}, 0},
  };
  for (const Case& c : cases) {
    const RunResult r = Cli(c.args);
    EXPECT_EQ(r.status, c.status) << Describe(r);
    EXPECT_TRUE(r.Has("no end-of-file record")) << Describe(r);
    EXPECT_EQ(r.Has("Write Memory") || r.Has("bytes written"),
              c.status == 0 && c.args[0] != "convert")
        << Describe(r);
  }
  EXPECT_TRUE(fs::exists(dir / "out.bin"));
}

// The serial number goes only where the image file holds nothing, 0xFF bytes included,
// unless forced.
TEST_F(CliFileSafetyTest, ASerialNumberOverDataOfTheImageIsRefused) {
  const std::string code = dir / "code.hex";
  // Code at 0x00..0x03, and four 0xFF bytes the file holds at 0x40.
  test::WriteText(code, ":040000000C94340028\n:04004000FFFFFFFFC0\n:00000001FF\n");
  struct Case {
    std::string serial;
    bool force;
    int status;
  } cases[] = {
      {"flash:0x2:4", false, 2},  {"flash:0x3E:4", false, 2}, {"flash:0x2:4", true, 0},
      {"flash:0x10:4", false, 0}, {"flash:0x44:4", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    std::vector<std::string> args{"-P", "sim:TTINY3", "program", "--flash",
                                  code, "--serial",   c.serial};
    if (c.force) args.push_back("--force");
    const RunResult r = Cli(args);
    EXPECT_EQ(r.status, c.status) << Describe(r);
    EXPECT_EQ(r.Has("Write Memory") || r.Has("PASS"), c.status == 0) << Describe(r);
  }
}

// A serial-number counter that is not a regular file is refused at once: a device would
// feed the reader without end (or be replaced), a pipe would block it.
TEST_F(CliFileSafetyTest, ASerialCounterThatIsNotARegularFileIsRefused) {
  test::WriteText(dir / "eeprom.bin", std::string(4, '\x33'));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directories(dir.path() / "folder");
  for (const std::string& counter :
       {std::string("/dev/full"), std::string("/dev/zero"), dir / "fifo", dir / "folder"}) {
    const RunResult r = Cli({"-P", "sim:TTINY3", "program", "--eeprom", dir / "eeprom.bin",
                             "--serial", "eeprom:8:4", "--serial-file", counter});
    EXPECT_EQ(r.status, 2) << counter << " " << Describe(r);
    EXPECT_TRUE(r.Has(counter + " is ")) << Describe(r);
  }
  EXPECT_TRUE(fs::exists("/dev/full"));
  EXPECT_FALSE(fs::exists("/dev/full.lock"));
}

// Files that are there but give nothing say what is wrong; a reversed range is a usage error.
TEST_F(CliFileSafetyTest, BadFilesAndRangesSayWhatIsWrong) {
  test::WriteText(dir / "empty.hex", "");
  test::WriteText(dir / "notes.hex", "board 3 image\n");
  test::WriteText(dir / "end.hex", ":00000001FF\n");
  test::WriteText(dir / "in.hex", ":0100000011EE\n:00000001FF\n");
  fs::create_directories(dir.path() / "folder.hex");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-P", "sim:TTINY3", "write", "flash", dir / "empty.hex"}, dir / "empty.hex is empty."},
      {{"-P", "sim:TTINY3", "write", "flash", dir / "folder.hex"}, dir / "folder.hex is a folder."},
      {{"-P", "sim:TTINY3", "verify", "flash", dir / "notes.hex"},
       dir / "notes.hex holds no Intel HEX record."},
      {{"convert", dir / "end.hex", dir / "out.bin"}, dir / "end.hex holds no data"},
      {{"-P", "sim:TTINY3", "program", "--flash", dir / "missing.hex"},
       dir / "missing.hex not found."},
      {{"-P", "sim:TTINY3", "program", dir / "folder.hex"}, dir / "folder.hex is a folder."},
      {{"convert", dir / "in.hex", dir / "out.bin", "--range", "0x10:0x5"}, "FIRST is above LAST"},
      {{"-P", "sim:TTINY3", "read", "flash", dir / "out.hex", "--range", "0x10:0x5"},
       "FIRST is above LAST"},
  };
  for (const Case& c : cases) {
    const RunResult r = Cli(c.args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_TRUE(r.Has(c.err)) << c.err << "\n" << Describe(r);
    EXPECT_FALSE(r.Has("not found.") && c.err.find("not found.") == std::string::npos)
        << Describe(r);
  }
  EXPECT_FALSE(fs::exists(dir / "out.bin"));
  EXPECT_FALSE(fs::exists(dir / "out.hex"));
}

}  // namespace
}  // namespace bq
