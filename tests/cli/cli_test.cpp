// brindlequartz-cli end to end: the real program against brindlequartz-sim on a
// pseudo-terminal, and against the in-process "sim" port.

#include <gtest/gtest.h>

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
using test::RunResult;

const std::string& kCli = test::kCliProgram;
const std::string& kSim = test::kSimProgram;
const std::string kData = std::string(BQ_SOURCE_DIR) + "/tests/cli/data";
const std::string kShippedList = std::string(BQ_SOURCE_DIR) + "/PartList.cfg";

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kCli)) << kCli;
    test::WriteText(dir.path() / "parts.cfg", test::kTestPartList);
    testList = dir / "parts.cfg";
  }
  // Runs the CLI with the given part list and a private settings folder.
  RunResult Cli(std::vector<std::string> args, const std::string& partlist = "") {
    std::vector<std::string> full{"--partlist", partlist.empty() ? testList : partlist,
                                  "--no-progress"};
    full.insert(full.end(), args.begin(), args.end());
    return test::RunProgram(kCli, full,
                            {"XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string(),
                             "TMPDIR=" + dir.path().string()},
                            dir.path());
  }
  // Same image contents (every byte of both buffers) after loading both files.
  static bool SameImage(const std::string& a, const std::string& b, bool eeprom) {
    const std::uint32_t size = eeprom ? kEepromBufferBytes : kFlashBufferBytes;
    MemoryBuffer x(size), y(size);
    if (LoadImageFile(x, a) == 0 || LoadImageFile(y, b) == 0) return false;
    return std::equal(x.data(), x.data() + size, y.data());
  }

  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  std::string testList;
};

using test::Describe;

struct Bench {
  const char* name;
  bool shippedList;
  const char* part;
  const char* identifiesAs;  // the first part by name with the chip's signature
  const char* connect;       // "isp" or "socket"
  const char* ispMaxClock;   // target's fastest ISP clock
  const char* clockOption;   // -c value, "" for the saved setting (automatic)
  const char* clockLine;     // the "Set ISP Frequency" line expected, "" in the socket
  std::uint32_t flashBytes;
  std::uint32_t eepromBytes;
};

class ChipMatrix : public CliTest, public ::testing::WithParamInterface<Bench> {};

TEST_P(ChipMatrix, EveryChipCommandEndToEnd) {
  const Bench& b = GetParam();
  if (b.shippedList && !fs::exists(kShippedList)) GTEST_SKIP() << "no shipped part list";
  ASSERT_TRUE(fs::exists(kSim)) << kSim;
  const std::string list = b.shippedList ? kShippedList : testList;
  test::SimProcess sim(kSim, {"--partlist", list, "--part", b.part, "--connect", b.connect,
                              "--isp-max-clock", b.ispMaxClock});
  ASSERT_FALSE(sim.device().empty());
  const bool socket = std::string(b.connect) == "socket";
  auto run = [&](std::vector<std::string> args) {
    std::vector<std::string> full{"-P", sim.device()};
    if (*b.clockOption) {
      full.push_back("--isp-clock");
      full.push_back(b.clockOption);
    }
    full.insert(full.end(), args.begin(), args.end());
    return Cli(full, list);
  };
  const std::string hex = kData + "/blink.hex";
  const std::string eep = kData + "/blink.eep";

  RunResult r = run({"identify"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has(std::string("success: Chip detect successfully.\ninfo: Name: ") +
                    b.identifiesAs + ", Signature: 0x"))
      << Describe(r);
  EXPECT_TRUE(r.Has(std::string(", Connected to: ") + (socket ? "Socket" : "ISP") + "\n"))
      << Describe(r);

  r = run({"erase"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Chip erased\n")) << Describe(r);
  if (*b.clockLine) {
    EXPECT_TRUE(
        r.Has(std::string("info: Set ISP Frequency: ") + b.clockLine + "\ninfo: Read Signature: "))
        << Describe(r);
  } else {
    EXPECT_FALSE(r.Has("ISP Frequency")) << Describe(r);
  }
  r = run({"blank-check"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Chip is empty\n")) << Describe(r);

  // Flash: the whole flash written and verified, blank check, verify, read back.
  r = run({"write", "flash", hex, "--full"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has(std::to_string(b.flashBytes) + " bytes written to FLASH\n")) << Describe(r);
  EXPECT_TRUE(r.Has("success: Verified OK\n")) << Describe(r);
  r = run({"blank-check", "flash"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_TRUE(r.Has("warning: Chip not empty !!!\n")) << Describe(r);
  r = run({"verify", "flash", hex});
  EXPECT_EQ(r.status, 0) << Describe(r);
  const std::string readHex = dir / "read.hex";
  const std::string readBin = dir / "read.bin";
  r = run({"read", "flash", readHex});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: FLASH Code read into buffer\n")) << Describe(r);
  EXPECT_TRUE(SameImage(hex, readHex, false));
  r = run({"read", "flash", readBin});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(fs::file_size(readBin), b.flashBytes);
  EXPECT_TRUE(SameImage(hex, readBin, false));

  // A different image is reported as differing.
  const std::string other = dir / "other.bin";
  test::WriteText(other, std::string(16, '\x5A'));
  r = run({"verify", "flash", other});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_TRUE(r.Has("error: Chip differ !!!\n")) << Describe(r);

  // EEPROM the same way.
  r = run({"write", "eeprom", eep, "--verify"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has(std::to_string(b.eepromBytes) + " bytes written to EEPROM\n")) << Describe(r);
  r = run({"verify", "eeprom", eep});
  EXPECT_EQ(r.status, 0) << Describe(r);
  const std::string readEep = dir / "read.eep";
  r = run({"read", "eeprom", readEep});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: EEPROM read into buffer\n")) << Describe(r);
  EXPECT_TRUE(SameImage(eep, readEep, true));
  r = run({"blank-check", "eeprom"});
  EXPECT_EQ(r.status, 1) << Describe(r);

  // Fuses: write a changed low byte, verify it, see the default fail, read it back.
  r = run({"fuses", "write", "--low", "0xE2"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Write fuses\ninfo: Write LOW: 0xE2\n")) << Describe(r);
  r = run({"fuses", "verify", "CKDIV8=1"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Fuse bits verification OK\n")) << Describe(r);
  r = run({"fuses", "verify", "--defaults"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_TRUE(r.Has("error: Fuse bits verification FAILED\n")) << Describe(r);
  r = run({"fuses", "read"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Read fuses\ninfo: Read LOW: 0xE2\n")) << Describe(r);
  EXPECT_NE(r.out.find("CKDIV8\tDivide clock by 8 internally\t[ ]\n"), std::string::npos)
      << Describe(r);

  // Lock byte: write, verify, read; an erase clears it again.
  r = run({"lock", "write", "LB=0"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Write lock bits\ninfo: Write LOCKBIT: 0xFC\n")) << Describe(r);
  r = run({"lock", "verify", "0xFC"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Lock bits verification OK\n")) << Describe(r);
  r = run({"lock", "read"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Read lock bits\ninfo: Read LOCKBIT: 0xFC\n")) << Describe(r);
  EXPECT_NE(r.out.find("LB\tMemory Lock\tFurther programming and verification disabled\n"),
            std::string::npos)
      << Describe(r);
  r = run({"erase"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  r = run({"lock", "verify", "--defaults"});
  EXPECT_EQ(r.status, 0) << Describe(r);

  // Calibration bytes, where the part has any.
  r = run({"calibration"});
  if (r.err.find("has no calibration bytes") != std::string::npos) {
    EXPECT_EQ(r.status, 1);
  } else {
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_TRUE(r.Has("success: Read Calibration Bytes\n")) << Describe(r);
    EXPECT_TRUE(r.Has(": 0xA0\n")) << Describe(r);
  }
}

const Bench kBenches[] = {
    {"IspAutomaticClock", false, "TISP0", "TISP0", "isp", "3", "", "921.60 kHz", 8192, 512},
    {"IspFixedClock", false, "TISP0", "TISP0", "isp", "3", "5", "230.40 kHz", 8192, 512},
    {"Hvsp", false, "TTINY3", "TTINY3", "socket", "1", "", "", 4096, 256},
    {"HvppMode1", false, "TMEGA1", "TMEGA1", "socket", "1", "", "", 4096, 256},
    {"HvppMode2", false, "TTINY2", "TTINY2", "socket", "1", "", "", 2048, 128},
    {"ShippedATtiny85", true, "ATtiny85", "ATtiny85", "socket", "1", "", "", 8192, 512},
    {"ShippedATmega328P", true, "ATmega328P", "ATmega328P", "socket", "1", "", "", 32768, 1024},
    // ATtiny2313 and ATtiny2313A share a signature; identify selects the first by name.
    {"ShippedATtiny2313A", true, "ATtiny2313A", "ATtiny2313", "socket", "1", "", "", 2048, 128},
    {"ShippedATmega328PIsp", true, "ATmega328P", "ATmega328P", "isp", "2", "", "1.843 MHz", 32768,
     1024},
};

INSTANTIATE_TEST_SUITE_P(Cli, ChipMatrix, ::testing::ValuesIn(kBenches),
                         [](const ::testing::TestParamInfo<Bench>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(CliTest, SignatureMismatchAnsweredNoThenYes) {
  ASSERT_TRUE(fs::exists(kSim));
  test::SimProcess sim(kSim, {"--partlist", testList, "--part", "TISP0", "--connect", "isp"});
  ASSERT_FALSE(sim.device().empty());
  RunResult r = Cli({"-P", sim.device(), "-p", "TMEGA1", "-m", "isp", "erase"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_TRUE(
      r.Has("info: Read Signature: 0x1E940F (Chip: TISP0)\n"
            "warning: Signature does not match selected device !\n"))
      << Describe(r);
  EXPECT_FALSE(r.Has("Chip erased")) << Describe(r);
  EXPECT_NE(r.err.find("Continue ?"), std::string::npos) << Describe(r);

  r = Cli({"-P", sim.device(), "--part", "TMEGA1", "--mode", "isp", "--yes", "erase"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("warning: Signature does not match selected device !\n")) << Describe(r);
  EXPECT_TRUE(r.Has("Continue ? Yes (--yes)\nsuccess: Chip erased\n")) << Describe(r);
}

TEST_F(CliTest, DeviceAndLinkErrorsFailTheCommand) {
  ASSERT_TRUE(fs::exists(kSim));
  const std::string never = dir / "never.bin";
  struct Case {
    const char* fault;
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {"0xB0:error=6", {"erase"}, "error: Chip Erase\n"},
      {"0x10:error=2",
       {"erase"},
       "error: Enter Program Mode\ninfo: The chip did not enter programming mode: check the part "
       "(-p), the mode (-m) and the wiring.\n"},
      {"0x30:silence@2", {"read", "flash", never}, "error: Comunication Error Code 0x02!!!\n"},
      {"0x32:error=5@2", {"write", "eeprom", kData + "/blink.eep"}, "error: Write Memory\n"},
      {"0x21:error=4", {"fuses", "write", "--defaults"}, "error: Write Fuses\n"},
  };
  for (const Case& c : cases) {
    test::SimProcess sim(kSim, {"--partlist", testList, "--part", "TTINY3", "--fault", c.fault});
    ASSERT_FALSE(sim.device().empty());
    std::vector<std::string> args{"-P", sim.device(), "-p", "TTINY3"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = Cli(args);
    EXPECT_EQ(r.status, 1) << c.fault << " " << Describe(r);
    EXPECT_TRUE(r.Has(c.line)) << c.fault << " " << Describe(r);
  }
  EXPECT_FALSE(fs::exists(never));
}

TEST_F(CliTest, InProcessSimulatorPort) {
  RunResult r = Cli({"ports"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("sim\tsimulated programmer\n")) << Describe(r);

  r = Cli({"version", "-P", "sim"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out, "Hardware Version: 02.01\nFirmware Version: 01.07\n");

  // A whole write and verification within one run.
  r = Cli({"-P", "sim:TTINY3", "write", "flash", kData + "/blink.hex", "--verify"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("success: Verified OK\n")) << Describe(r);

  // Fuses by field and by named value.
  r = Cli({"-P", "sim:TMEGA1", "-p", "TMEGA1", "fuses", "write", "CKSEL=ext. crystal", "SPIEN=1",
           "--extended", "0xFE"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("info: Write LOW: 0x6F\ninfo: Write HIGH: 0xF9\ninfo: Write EXTENDEND: 0xFE\n"))
      << Describe(r);

  // Identify over ISP and the calibration list with labels.
  r = Cli({"-P", "sim:TTINY3:isp", "calibration"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("Connected to: ISP\n")) << Describe(r);
  EXPECT_TRUE(r.Has("success: Read Calibration Bytes\n")) << Describe(r);
  EXPECT_EQ(r.out, "8.0 MHz: 0xA0\n6.4 MHz: 0xA1\n") << Describe(r);

  // The mode is taken from the option: the chip sits in the socket, ISP finds no target.
  r = Cli({"-P", "sim:TTINY3:socket", "-p", "TTINY3", "-m", "isp", "erase"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_TRUE(r.Has("error: Autodetect ISP Frequency.\n")) << Describe(r);

  // A file that cannot be written fails the read after the chip was read (a file problem).
  r = Cli({"-P", "sim:TTINY3", "read", "flash", dir / "no-such-dir/x.hex"});
  EXPECT_EQ(r.status, 2) << Describe(r);
  EXPECT_TRUE(r.Has("success: FLASH Code read into buffer\n")) << Describe(r);
  EXPECT_TRUE(r.Has("x.hex not saved: No such file or directory.")) << Describe(r);

  // Nothing in the socket.
  r = Cli({"-P", "sim:TISP0:socket", "identify"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_TRUE(r.Has("error: No chip in socket or chip does not responding !!!\n")) << Describe(r);
}

// A file that cannot be loaded whole is a bad file (2) and nothing reaches the chip; an image
// larger than the chip is refused by the chip command (1) before anything is written.
TEST_F(CliTest, DamagedFilesAndImagesLargerThanTheChipAreRefused) {
  const std::string damaged = dir / "damaged.hex";
  test::WriteText(damaged, ":0100000011EE\n:0100010022DC\n:0100020033CB\n:00000001FF\n");
  const std::string huge = dir / "huge.bin";
  test::WriteText(huge, std::string(kFlashBufferBytes + 1, '\0'));
  const std::string tooBig = dir / "five-k.bin";  // TTINY3 has 4096 bytes of flash
  test::WriteText(tooBig, std::string(5000, '\0'));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"-P", "sim:TTINY3", "write", "flash", damaged}, 2, damaged + ": line 3: checksum error"},
      {{"-P", "sim:TTINY3", "verify", "flash", damaged}, 2, damaged + ": line 3: checksum error"},
      {{"convert", damaged, dir / "out.bin"}, 2, damaged + ": line 3: checksum error"},
      {{"-P", "sim:TTINY3", "write", "flash", huge},
       2,
       huge + ": the file holds 327681 bytes, more than the 327680 bytes of the buffer"},
      {{"-P", "sim:TTINY3", "write", "flash", tooBig},
       1,
       "FLASH buffer holds data at 0x01000, beyond the 4096 bytes of the TTINY3; nothing was "
       "written"},
      {{"-P", "sim:TTINY3", "verify", "flash", tooBig},
       1,
       "FLASH buffer holds data at 0x01000, beyond the 4096 bytes of the TTINY3; nothing was "
       "verified"},
  };
  for (const Case& c : cases) {
    const RunResult r = c.args[0] == "convert" ? test::RunProgram(kCli, c.args, {}, dir.path())
                                               : Cli(c.args);
    const std::string all = r.out + r.err;  // whichever stream carries the log
    EXPECT_EQ(r.status, c.status) << Describe(r);
    EXPECT_NE(all.find("error: " + c.err), std::string::npos) << Describe(r);
    for (const char* never : {"bytes written", "Verified OK", "Read Signature"}) {
      EXPECT_EQ(all.find(never), std::string::npos) << Describe(r);
    }
  }
  EXPECT_FALSE(fs::exists(dir / "out.bin"));
}

TEST_F(CliTest, SavedSettingsChooseThePortAndClock) {
  fs::create_directories(dir.path() / "xdg" / "Varno");
  test::WriteText(dir.path() / "xdg" / "Varno" / "Brindlequartz.conf",
                  "[General]\nCOMPort=sim:TISP0\nISPSpeed=6\n");
  RunResult r = Cli({"erase"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.Has("info: Set ISP Frequency: 115.20 kHz\n")) << Describe(r);
  r = Cli({"erase", "-c", "auto"});
  EXPECT_TRUE(r.Has("info: Autodetect ISP frequency\n")) << Describe(r);

  // A fresh settings folder gets the defaults written: the first USB serial adapter, never
  // the simulator, so an unconfigured production script cannot "program" a simulated chip.
  test::ScratchDir fresh("fresh");
  r = test::RunProgram(kCli, {"--partlist", testList, "-P", "sim", "version"},
                       {"XDG_CONFIG_HOME=" + (fresh / "xdg")}, fresh.path());
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(test::ReadText(fresh.path() / "xdg" / "Varno" / "Brindlequartz.conf"),
            "[General]\nCOMPort=ttyUSB0\nISPSpeed=0\nProgrammer=brindlequartz\n");
}

// A CLI killed in the middle of a read leaves answers on the line; the next command drops
// them and finds the chip.
TEST_F(CliTest, TheCommandAfterAKilledOneFindsTheChip) {
  ASSERT_TRUE(fs::exists(kSim));
  test::SimProcess sim(kSim, {"--partlist", kShippedList, "--part", "ATmega328P", "--pace"});
  ASSERT_FALSE(sim.device().empty());
  for (int killedAfterMs : {700, 1100}) {
    const RunResult killed = test::RunProgram(
        kCli,
        {"--partlist", kShippedList, "--no-progress", "-P", sim.device(), "-p", "ATmega328P",
         "read", "flash", dir / "killed.hex"},
        {"XDG_CONFIG_HOME=" + (dir / "xdg"), "HOME=" + dir.path().string()}, dir.path(),
        std::chrono::seconds(90), std::chrono::milliseconds(killedAfterMs), "/dev/null", "", SIGKILL);
    ASSERT_EQ(killed.status, -1) << "the read ended before it was killed\n" << Describe(killed);
    const RunResult r = Cli({"-P", sim.device(), "identify"}, kShippedList);
    EXPECT_EQ(r.status, 0) << killedAfterMs << " ms\n" << Describe(r);
    EXPECT_TRUE(r.Has("Name: ATmega328P")) << Describe(r);
  }
}

TEST_F(CliTest, UsageAndMissingThings) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* err;
  } cases[] = {
      {{"frobnicate"}, 2, "unknown command"},
      {{"reed", "flash", "x.hex"}, 2, "unknown command 'reed'; did you mean read?"},
      {{"-P", "sim", "read", "flash"}, 2, "FILE is required"},
      {{"-P", "sim", "read", "rom", "x.bin"}, 2, "rom not in {flash,eeprom,userrow}"},
      {{"-P", "sim", "--bogus", "erase"}, 2, "unknown option --bogus"},
      {{"erase", "--prot", "sim"}, 2, "unknown option --prot; did you mean --port"},
      {{"-P", "sim", "--isp-clock", "9", "erase"}, 2, "9 not in {auto,1,2,3,4,5,6,7}"},
      {{"-P", "sim", "-m", "pp", "erase"}, 2, "pp not in {hv,isp}"},
      {{"-P", "sim", "write", "flash", "/nonexistent/image.hex"},
       2,
       "/nonexistent/image.hex not found."},
      {{"-P", "sim", "-p", "NOPART", "erase"}, 2, "no part named 'NOPART'"},
      {{"-P", "sim:TISP0", "-p", "TISP0", "-m", "hv", "erase"}, 2, "no high-voltage mode"},
      {{"-P", "sim:TTINY3", "fuses", "write", "--low", "0x100"}, 2, "bad byte value"},
      {{"-P", "sim:TTINY3", "fuses", "write", "NOFIELD=1"}, 2, "no field NOFIELD"},
      {{"-P", "sim:TTINY3", "fuses", "write", "SPIEN=2"}, 2, "does not fit"},
      {{"-P", "sim:TTINY2", "fuses", "write", "--extended", "0xFF"}, 2, "no EXTENDED fuse byte"},
      {{"-P", "sim:TTINY3", "erase", "--verify"}, 2, "unknown option --verify"},
      {{"-P", "/dev/bq-no-such-port", "erase"},
       3,
       "Error Open Serial Port (/dev/bq-no-such-port) !!!"},
      {{"-P", "sim:NOPART", "erase"}, 2, "no part named 'NOPART'"},
      {{"-P", "sim:TTINY3", "-P", "sim:TTINY3", "erase"}, 2, "port sim:TTINY3 is given twice"},
      {{"-P", "", "erase"}, 2, "-P needs a port name"},
      {{"-P", "sim", "-p", "NOPART", "identify"}, 2, "no part named 'NOPART'"},
      // A name that is here (in the folder the CLI runs in) is this file, not one under /dev.
      {{"-P", "bq-regular.file", "erase"}, 3, "bq-regular.file is not a serial device"},
  };
  test::WriteText("bq-regular.file", "not a port\n");
  for (const Case& c : cases) {
    const RunResult r = Cli(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << Describe(r);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << Describe(r);
  }
  // A part without EEPROM: once the chip is identified the read stops with a reason.
  RunResult none = Cli({"-P", "sim:TNOEEP", "read", "eeprom", dir / "x.eep"});
  EXPECT_EQ(none.status, 1) << Describe(none);
  EXPECT_TRUE(none.Has("Name: TNOEEP, Signature: 0x1E9001")) << Describe(none);
  EXPECT_FALSE(none.Has("EEPROM read into buffer")) << Describe(none);
  EXPECT_NE(none.err.find("TNOEEP has no EEPROM"), std::string::npos) << Describe(none);
  EXPECT_FALSE(fs::exists(dir / "x.eep"));

  fs::remove("bq-regular.file");
  const RunResult r = Cli({"-P", "sim", "identify"}, dir / "missing.cfg");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.substr(0, 24), "PartList Load ERROR !!!\n");
  EXPECT_NE(r.err.find("missing.cfg cannot be read"), std::string::npos) << Describe(r);
}

}  // namespace
}  // namespace bq
