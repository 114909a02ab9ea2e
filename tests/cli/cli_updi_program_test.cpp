// A UPDI part (ATtiny1614) on the simulated SerialUPDI adapter, through brindlequartz-cli as a
// process: a whole chip from an ELF file and from the Intel HEX file of its sections, a
// production run whose chips each get their serial number in the user row, and a gang of
// two adapters on pseudo-terminals.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/sha256.h"
#include "session/serial_numbers.h"
#include "tests/avr_gcc_elf.h"
#include "tests/cli/cli_process.h"

namespace bq {
namespace {

using test::Describe;
using test::RunResult;

const std::string kShippedList = std::string(BQ_SOURCE_DIR) + "/PartList.cfg";
constexpr std::size_t kFlashBytes = 16384, kEepromBytes = 256, kUserRowBytes = 32;

class CliUpdiProgramTest : public ::testing::Test {
 protected:
  RunResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--partlist", kShippedList, "--no-progress", "-c", "serialupdi"});
    return test::RunProgram(test::kCliProgram, args, {"XDG_CONFIG_HOME=" + (dir / "xdg")},
                            dir.path(), std::chrono::seconds(120));
  }
  // An adapter with an ATtiny1614 on a pseudo-terminal; cycle: "PRESENT_MS:ABSENT_MS".
  test::SimProcess Adapter(const std::string& cycle = "") {
    std::vector<std::string> args{"--partlist", kShippedList, "--protocol",
                                  "serialupdi", "--part",     "ATtiny1614"};
    if (!cycle.empty()) args.insert(args.end(), {"--chip-cycle", cycle});
    return test::SimProcess(test::kSimProgram, args);
  }
  // The chip's memory read into a file, or "" when the read failed.
  std::string ReadBack(const std::string& port, const std::string& memory) {
    const std::string file = dir / (memory + "-back.bin");
    const RunResult r = Cli({"-P", port, "-p", "ATtiny1614", "read", memory, file});
    EXPECT_EQ(r.status, 0) << Describe(r);
    return r.status == 0 ? test::ReadText(file) : "";
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// bytes, then 0xFF up to size.
std::string Erased(std::string bytes, std::size_t size) {
  bytes.resize(size, '\xFF');
  return bytes;
}

std::string Sha256Of(const std::string& bytes) {
  return Sha256Hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// The user row of a production chip: 0xFF but for its serial number at 0x10 (little-endian).
std::string UserRowWithSerial(std::uint64_t serial) {
  std::vector<std::uint8_t> row(kUserRowBytes, 0xFF);
  SerialPlace place;
  place.eeprom = false;
  place.userRow = true;
  place.address = 0x10;
  PlaceSerialNumber(place, serial, row);
  return std::string(row.begin(), row.end());
}

// A program for the ATtiny1614 as avr-gcc links it (its avrxmega3 linker script: fuses at
// 0x820000 as the device's whole fuse block with its reserved byte 3, the lock at 0x830000,
// the user row at 0x850000), and the Intel HEX file avr-objcopy makes of every section.
// Debian's avr-libc has no start-up files for this device, so none are linked. Empty paths
// when avr-gcc is missing.
struct AvrGccProgram {
  std::string elf, hex, flash;  // flash: the bytes of .text and .data
};
AvrGccProgram BuildTiny1614Program(const std::filesystem::path& dir, const std::string& name,
                                   const std::string& lock) {
  const std::filesystem::path source = dir / (name + ".c");
  const std::string elf = (dir / (name + ".elf")).string(), hex = (dir / (name + ".hex")).string();
  const std::string flash = (dir / (name + "-flash.bin")).string();
  std::ofstream(source)
      << "#include <stdint.h>\n"
         "__attribute__((used, section(\".fuse\"))) const uint8_t fuses[9] =\n"
         "    {0x00, 0x00, 0x01, 0xFF, 0x00, 0xC5, 0x06, 0x00, 0x00};\n"
         "__attribute__((used, section(\".lock\"))) const uint8_t lockbits = "
      << lock
      << ";\n"
         "__attribute__((used, section(\".user_signatures\"))) const char row[6] = \"board7\";\n"
         "__attribute__((used, section(\".eeprom\"))) uint8_t table[4] = {1, 2, 3, 4};\n"
         "volatile uint8_t counter = 7;\n"
         "int main(void) { for (;;) ++counter; }\n";
  const std::string build = "avr-gcc -mmcu=avrxmega3 -Os -nostartfiles -o '" + elf + "' '" +
                            source.string() + "' && avr-objcopy -O ihex '" + elf + "' '" + hex +
                            "' && avr-objcopy -O binary -j .text -j .data '" + elf + "' '" + flash +
                            "'";
  if (std::system(build.c_str()) != 0) return {};
  return {elf, hex, test::ReadText(flash)};
}

// The ELF file and the HEX file of the same sections give the same chip; the reserved fuse
// byte is left alone; the lock goes in last, so a locking lock is there after a run that
// verified everything else, and only erase --unlock opens the chip again.
TEST_F(CliUpdiProgramTest, AWholeChipFromAnAvrGccElfFileAndFromItsIntelHexFile) {
  if (!test::HaveAvrGcc()) GTEST_SKIP() << "avr-gcc is not installed";
  const AvrGccProgram open = BuildTiny1614Program(dir.path(), "open", "0xC5");
  const AvrGccProgram locking = BuildTiny1614Program(dir.path(), "locking", "0x00");
  ASSERT_FALSE(open.elf.empty());
  ASSERT_FALSE(locking.elf.empty());
  const std::string port = "sim:ATtiny1614";
  for (const std::string& image : {open.elf, open.hex}) {
    SCOPED_TRACE(image);
    RunResult r = Cli({"-P", port, "--sim-fresh", "program", image});
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_NE(r.out.find("PASS " + port + " ATtiny1614 "), std::string::npos) << Describe(r);
    EXPECT_NE(r.err.find("the byte at 0x820003 is reserved on ATtiny1614 and is not written"),
              std::string::npos)
        << Describe(r);
    // What the chip holds, read back by the next runs.
    EXPECT_EQ(ReadBack(port, "flash"), Erased(open.flash, kFlashBytes));
    EXPECT_EQ(ReadBack(port, "eeprom"), Erased("\x01\x02\x03\x04", kEepromBytes));
    EXPECT_EQ(ReadBack(port, "userrow"), Erased("board7", kUserRowBytes));
    r = Cli({"-P", port, "-p", "ATtiny1614", "fuses", "read"});
    EXPECT_EQ(r.status, 0) << Describe(r);
    for (const char* line : {"OSCCFG\t0x01\t", "SYSCFG0\t0xC5\t", "SYSCFG1\t0x06\t"}) {
      EXPECT_NE(r.out.find(line), std::string::npos) << line << Describe(r);
    }
  }

  RunResult r = Cli({"-P", port, "--sim-fresh", "program", locking.hex});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.err.find("success: 32 bytes written to USER ROW"), std::string::npos) << Describe(r);
  EXPECT_LT(r.err.find("USER ROW"), r.err.find("The chip locks when programming ends"))
      << "the lock comes last" << Describe(r);
  r = Cli({"-P", port, "-p", "ATtiny1614", "read", "flash", dir / "locked.bin"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_NE(r.err.find("the chip is locked; erase it with `erase --unlock`"), std::string::npos)
      << Describe(r);
  r = Cli({"-P", port, "-p", "ATtiny1614", "erase", "--unlock"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(ReadBack(port, "flash"), std::string(kFlashBytes, '\xFF'));
}

// Chip after chip on an adapter whose chip is taken out and replaced: each chip is found
// gone and the next one found, gets the next serial number in its user row, and the log
// line of each hashes the user row it holds.
TEST_F(CliUpdiProgramTest, AProductionRunPutsEachChipsSerialNumberIntoItsUserRow) {
  test::SimProcess adapter = Adapter("4000:1200");
  ASSERT_FALSE(adapter.device().empty());
  std::string program(700, '\0');
  for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 11 + 3);
  test::WriteText(dir / "fw.bin", program);
  RunResult r =
      Cli({"-P", adapter.device(), "-p", "ATtiny1614", "program", "--flash", dir / "fw.bin",
           "--repeat", "--count", "2", "--serial", "userrow:0x10:4", "--serial-start", "500",
           "--serial-file", dir / "serial.txt", "--log", dir / "production.jsonl"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  for (const std::string& line : {"PASS #1 " + adapter.device() + " ATtiny1614 ",
                                  "PASS #2 " + adapter.device() + " ATtiny1614 ",
                                  std::string("Summary: 2 passed, 0 failed, 2 chips in ")}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << Describe(r);
  }
  EXPECT_NE(r.err.find("info: Waiting for the chip to be taken out"), std::string::npos)
      << Describe(r);
  EXPECT_EQ(r.err.find("stopped answering"), std::string::npos) << Describe(r);
  EXPECT_EQ(test::ReadText(dir / "serial.txt"), "502\n");
  std::istringstream log(test::ReadText(dir / "production.jsonl"));
  std::string line;
  for (std::uint64_t serial : {500u, 501u}) {
    ASSERT_TRUE(std::getline(log, line)) << serial;
    EXPECT_NE(line.find("\"serial\":" + std::to_string(serial) + ",\"result\":\"PASS\""),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"flash\":\"" + Sha256Of(Erased(program, kFlashBytes)) + "\""),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"userrow\":\"" + Sha256Of(UserRowWithSerial(serial)) + "\""),
              std::string::npos)
        << line;
  }
  // The second chip is still on the adapter: it holds what its log line says.
  EXPECT_EQ(ReadBack(adapter.device(), "userrow"), UserRowWithSerial(501));

  // The built-in simulator's chip is never taken out: the run says so and Ctrl+C ends it.
  r = test::RunProgram(test::kCliProgram,
                       {"--partlist", kShippedList, "--no-progress", "-c", "serialupdi", "-P",
                        "sim:ATtiny1614", "program", "--flash", dir / "fw.bin", "--repeat",
                        "--count", "2", "--serial", "userrow:0x10:4"},
                       {"XDG_CONFIG_HOME=" + (dir / "xdg")}, dir.path(), std::chrono::seconds(60),
                       std::chrono::milliseconds(2500));
  EXPECT_EQ(r.status, 130) << Describe(r);
  EXPECT_NE(r.out.find("PASS #1 sim:ATtiny1614 "), std::string::npos) << Describe(r);
  EXPECT_NE(r.err.find("The chip of sim:ATtiny1614 stays in place; end the run with Ctrl+C"),
            std::string::npos)
      << Describe(r);
}

// A run started while the adapter has no chip yet waits for the first chip as for each next
// one: the adapter's echo answers, so the programmer is there. The chip of the simulated
// adapter is touched once, so that it is away when the run starts.
TEST_F(CliUpdiProgramTest, AProductionRunWaitsForItsFirstChip) {
  test::SimProcess adapter = Adapter("2500:5000");
  ASSERT_FALSE(adapter.device().empty());
  test::WriteText(dir / "fw.bin", std::string(300, '\x3C'));
  const auto touched = std::chrono::steady_clock::now();
  ASSERT_EQ(Cli({"-P", adapter.device(), "identify"}).status, 0);
  std::this_thread::sleep_until(touched + std::chrono::milliseconds(3000));
  const RunResult r = Cli({"-P", adapter.device(), "-p", "ATtiny1614", "program", "--flash",
                           dir / "fw.bin", "--repeat", "--count", "1"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_NE(r.err.find("info: Waiting for a chip"), std::string::npos) << Describe(r);
  EXPECT_NE(r.out.find("PASS #1 " + adapter.device() + " ATtiny1614 "), std::string::npos)
      << Describe(r);
  EXPECT_EQ(r.err.find("does not answer"), std::string::npos) << Describe(r);

  // A single command on the empty adapter is a chip that did not answer, not a port that
  // did not open, and says what to look at.
  std::this_thread::sleep_for(std::chrono::milliseconds(2600));  // the chip is away again
  const RunResult read =
      Cli({"-P", adapter.device(), "-p", "ATtiny1614", "read", "flash", dir / "empty.bin"});
  EXPECT_EQ(read.status, 1) << Describe(read);
  EXPECT_NE(read.err.find("No answer from the UPDI pin"), std::string::npos) << Describe(read);
}

// Two adapters at once, one session each: program, write and verify on both, each port's
// lines marked with its name, and a read that saves one file a port.
TEST_F(CliUpdiProgramTest, AGangOfTwoAdaptersProgramsWritesAndVerifiesBoth) {
  test::SimProcess first = Adapter(), second = Adapter();
  ASSERT_FALSE(first.device().empty());
  ASSERT_FALSE(second.device().empty());
  std::string program(1500, '\0');
  for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 5 + 9);
  test::WriteText(dir / "fw.bin", program);
  test::WriteText(dir / "data.bin", std::string(40, '\x5A'));
  test::WriteText(dir / "row.bin", "calibrated");
  const std::vector<std::string> gang = {"-P", first.device(), "-P", second.device(),
                                         "-p", "ATtiny1614"};
  auto both = [&](std::vector<std::string> args) {
    args.insert(args.begin(), gang.begin(), gang.end());
    return Cli(args);
  };
  RunResult r = both({"program", "--flash", dir / "fw.bin", "--eeprom", dir / "data.bin"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  for (const std::string& port : {first.device(), second.device()}) {
    EXPECT_NE(r.out.find("PASS " + port + " ATtiny1614 "), std::string::npos) << Describe(r);
    EXPECT_NE(r.err.find(port + ": success: 1536 bytes written to FLASH"), std::string::npos)
        << Describe(r);
  }
  r = both({"write", "userrow", dir / "row.bin"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  r = both({"verify", "flash", dir / "fw.bin"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  for (const std::string& port : {first.device(), second.device()}) {
    EXPECT_NE(r.out.find("PASS " + port + "\n"), std::string::npos) << Describe(r);
  }
  r = both({"read", "userrow", dir / "row-back.bin"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  for (const std::string& port : {first.device(), second.device()}) {
    const std::string name = port.substr(port.rfind('/') + 1);
    EXPECT_EQ(test::ReadText(dir / ("row-back-" + name + ".bin")),
              Erased("calibrated", kUserRowBytes))
        << name << Describe(r);
  }
  // One chip that differs fails its own port only.
  test::WriteText(dir / "other.bin", std::string(64, '\x11'));
  r = Cli({"-P", second.device(), "-p", "ATtiny1614", "write", "flash", dir / "other.bin"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = both({"verify", "flash", dir / "fw.bin"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_NE(r.out.find("PASS " + first.device() + "\n"), std::string::npos) << Describe(r);
  EXPECT_NE(r.out.find("FAIL " + second.device() + " (exit status 1)"), std::string::npos)
      << Describe(r);
}

}  // namespace
}  // namespace bq
