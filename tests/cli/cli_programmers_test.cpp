// Every kind of programmer through the same commands, end to end: the tool as a process
// against the programmer's simulated peer on the in-process sim: port (each command a fresh
// chip, as each run of the tool is a new process), real files compared byte by byte.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "session/serial_numbers.h"
#include "tests/avr_gcc_elf.h"
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
    // Each run a new simulated chip, as the steps below expect.
    args.insert(args.begin(),
                {"--partlist", kShippedList, "--no-progress", "--sim-fresh", "-c", programmer});
    return test::RunProgram(test::kCliProgram, args, {"XDG_CONFIG_HOME=" + (dir / "xdg")},
                            dir.path(), std::chrono::seconds(90));
  }
  test::ScratchDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// The EEPROM a production chip holds: the image, its serial number (little-endian) at 0x30,
// 0xFF beyond.
std::string SerialEepromSha256(const std::string& image, std::uint64_t serial) {
  std::vector<std::uint8_t> eeprom(1024, 0xFF);
  std::copy(image.begin(), image.end(), eeprom.begin());
  SerialPlace place;
  place.address = 0x30;
  PlaceSerialNumber(place, serial, eeprom);
  return Sha256Hex(eeprom.data(), eeprom.size());
}

TEST_F(CliProgrammersTest, EveryProgrammerRunsTheChipCommands) {
  const bool haveAvrGcc = test::HaveAvrGcc();
  const std::string elf = haveAvrGcc
                              ? test::BuildAvrGccElf(dir.path(), "atmega328p",
                                                     ".low = 0xE2, .high = 0xD9, .extended = 0xFD")
                                    .string()
                              : "";
  ASSERT_EQ(elf.empty(), !haveAvrGcc);
  // 300 bytes of program over three 128-byte pages, and 40 bytes of EEPROM.
  std::string program(300, '\0'), data(40, '\0');
  for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 7 + 1);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(0xC0 + i);
  test::WriteText(dir / "fw.bin", program);
  test::WriteText(dir / "data.bin", data);
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string expect;      // on stderr, or stdout for data
    std::string file = {};   // a file the step writes ...
    std::string bytes = {};  // ... and what it must hold
  };
  const std::string m328p = "sim:m328p:isp";
  auto chip = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-P", m328p, "-p", "m328p", "-m", "isp"});
    return args;
  };
  for (const char* programmer : {"stk500v1", "stk500v2", "brindlequartz"}) {
    const std::string serialFile = dir / (std::string(programmer) + "-serial.txt");
    const std::string log = dir / (std::string(programmer) + ".jsonl");
    // Every run starts with a fresh, erased chip (--sim-fresh): what one step writes, the
    // same run reads back to verify it.
    std::vector<Step> steps = {
        {{"-P", m328p, "identify"}, 0, "Name: ATmega328P, Signature: 0x1E950F, Connected to: ISP"},
        {chip({"write", "flash", dir / "fw.bin"}), 0, "success: Verified OK"},
        {chip({"write", "eeprom", dir / "data.bin"}), 0, "success: Verified OK"},
        {chip({"verify", "flash", dir / "fw.bin"}), 1, "Chip differ !!!"},
        {chip({"read", "flash", dir / "flash.bin"}), 0, "FLASH Code read into buffer",
         dir / "flash.bin", std::string(32768, '\xFF')},
        {chip({"read", "eeprom", dir / "eeprom.bin"}), 0, "EEPROM read into buffer",
         dir / "eeprom.bin", std::string(1024, '\xFF')},
        {chip({"erase"}), 0, "Chip erased"},
        {chip({"blank-check"}), 0, "Chip is empty"},
        {chip({"fuses", "write", "CKDIV8=1", "EESAVE=0"}), 0,
         "Write LOW: 0xE2\ninfo: Write HIGH: 0xD1\ninfo: Write EXTENDEND: 0xFF\n"
         "info: Fuses read back as written"},
        {chip({"fuses", "write", "--low", "0xE2"}), 0, "read back as written"},
        {chip({"lock", "write", "0xFC"}), 0,
         "Write LOCKBIT: 0xFC\ninfo: Lock bits read back as written"},
        {chip({"lock", "read"}), 0, "Read LOCKBIT: 0xFF"},
        {chip({"program", "--flash", dir / "fw.bin", "--eeprom", dir / "data.bin", "--fuse",
               "CKDIV8=1", "--lock", "0xFC"}),
         0, "PASS " + m328p + " ATmega328P"},
        {chip({"program", "--eeprom", dir / "data.bin", "--repeat", "--count", "1", "--serial",
               "eeprom:0x30:4", "--serial-file", serialFile, "--log", log}),
         0, "PASS #1 " + m328p + " ATmega328P", serialFile, "2\n"},
        {{"-P", "sim:m2560:isp", "-p", "m2560", "-m", "isp", "program", "--flash", dir / "fw.bin"},
         0,
         "PASS"},
        {chip({"calibration"}), 0, ""},
        {{"-P", "sim:NOPART", "identify"}, 2, "NOPART"},
    };
    if (!elf.empty()) {
      steps.push_back(
          {chip({"program", elf}), 0,
           "info: Write LOW: 0xE2\ninfo: Write HIGH: 0xD9\ninfo: Write EXTENDEND: 0xFD\n"});
    }
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(programmer) + " " + step.args.at(6 < step.args.size() ? 6 : 2));
      const RunResult r = Cli(programmer, step.args);
      EXPECT_EQ(r.status, step.status) << Describe(r);
      EXPECT_NE((r.err + r.out).find(step.expect), std::string::npos) << Describe(r);
      if (!step.file.empty()) {
        EXPECT_EQ(test::ReadText(step.file), step.bytes) << step.file;
      }
    }
    // The production chip holds the image with its serial number, as the log says.
    const std::string line = test::ReadText(log);
    EXPECT_NE(line.find("\"serial\":1,\"result\":\"PASS\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"eeprom\":\"" + SerialEepromSha256(data, 1) + "\""), std::string::npos)
        << line;
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
  // An STK500 version 1 programmer that counts EEPROM addresses in words (the sim: port then
  // simulates one): the whole EEPROM is written and verified; other kinds are warned.
  std::string eeprom(1024, '\0');
  for (std::size_t i = 0; i < eeprom.size(); ++i) eeprom[i] = static_cast<char>(i * 13 + 5);
  test::WriteText(dir / "eeprom.bin", eeprom);
  for (const char* programmer : {"stk500v1", "stk500v2"}) {
    r = Cli(programmer, {"-P", "sim:m328p", "-p", "m328p", "--eeprom-word-address", "write",
                         "eeprom", dir / "eeprom.bin"});
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_NE(r.err.find("success: Verified OK"), std::string::npos) << Describe(r);
    EXPECT_EQ(r.err.find("--eeprom-word-address applies to -c stk500v1 only") != std::string::npos,
              std::string(programmer) != "stk500v1")
        << Describe(r);
  }
  // The STK500 version 2 programmer reaches a chip in its socket in the part's own mode.
  r = Cli("stk500v2", {"-P", "sim:t85:socket", "-p", "t85", "-m", "hv", "fuses", "read"});
  EXPECT_EQ(r.status, 0) << Describe(r);
}

// A gang of two kinds of programmer: -c given once for each -P pairs with the ports in
// order; any other count than once or once a port is a wrong command line.
TEST_F(CliProgrammersTest, AGangPairsEachPortWithItsOwnKindOfProgrammer) {
  test::WriteText(dir / "fw.bin", std::string(300, '\x5A'));
  test::WriteText(dir / "data.bin", std::string(40, '\x33'));
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--partlist", kShippedList, "--no-progress"});
    return test::RunProgram(test::kCliProgram, args, {"XDG_CONFIG_HOME=" + (dir / "xdg")},
                            dir.path());
  };
  const std::vector<std::string> program = {"-p",           "m328p",    "program",       "--flash",
                                            dir / "fw.bin", "--eeprom", dir / "data.bin"};
  std::vector<std::string> args = {"-P", "sim:ATmega328P", "-c", "stk500v1", "--baud", "57600",
                                   "-P", "sim:m328p",      "-c", "stk500v2", "--baud", "115200"};
  args.insert(args.end(), program.begin(), program.end());
  RunResult r = run(args);
  EXPECT_EQ(r.status, 0) << Describe(r);
  for (const char* port : {"sim:ATmega328P", "sim:m328p"}) {
    EXPECT_NE(r.out.find(std::string("PASS ") + port + " ATmega328P"), std::string::npos)
        << Describe(r);
    EXPECT_NE(r.err.find(std::string(port) + ": success: 1024 bytes written to EEPROM"),
              std::string::npos)
        << Describe(r);
  }
  // Only the STK500 version 2 programmer sets an ISP clock.
  EXPECT_NE(r.err.find("sim:m328p: info: Autodetect ISP frequency"), std::string::npos)
      << Describe(r);
  EXPECT_EQ(r.err.find("sim:ATmega328P: info: Autodetect ISP frequency"), std::string::npos)
      << Describe(r);

  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"-P", "sim:ATmega328P", "-P", "sim:m328p", "-c", "stk500v1", "-c",
                                 "stk500v2", "-c", "stk500v1"},
        std::vector<std::string>{"-P", "sim:m328p", "--baud", "19200", "--baud", "57600"}}) {
    args = wrong;
    args.insert(args.end(), program.begin(), program.end());
    r = run(args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_NE(r.err.find("give it once for every programmer, or once for each -P"),
              std::string::npos)
        << Describe(r);
    EXPECT_EQ(r.out, "") << "nothing was programmed";
  }
}

}  // namespace
}  // namespace bq
