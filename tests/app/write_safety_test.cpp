// What the desktop's Write and Program put into a chip, against the simulated programmer: a
// flash write is read back, images that may not belong in the chip are asked about (No by
// default), and an ELF file fills every buffer and editor it has data for.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/app/scripted_front_end.h"
#include "tests/avr_gcc_elf.h"

namespace bq::test {
namespace {

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Intel HEX data records for bytes at address 0, with or without the end-of-file record.
std::string HexFile(const std::vector<std::uint8_t>& bytes, bool endRecord) {
  std::string text;
  char line[64];
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    const std::size_t n = std::min<std::size_t>(16, bytes.size() - at);
    unsigned sum = static_cast<unsigned>(n + (at >> 8) + (at & 0xFF));
    std::snprintf(line, sizeof line, ":%02X%04X00", static_cast<unsigned>(n),
                  static_cast<unsigned>(at));
    text += line;
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(line, sizeof line, "%02X", bytes[at + i]);
      text += line;
      sum += bytes[at + i];
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
  }
  if (endRecord) text += ":00000001FF\n";
  return text;
}

class WriteSafetyTest : public ::testing::Test {
 protected:
  void Start(const std::string& part) {
    StartOptions options;
    options.simulate = true;
    options.simulatePart = part;
    ASSERT_EQ(h.Start(options), kExitOk);
  }
  // Runs a command and every step it starts when the worker reports one done: until the
  // worker has been idle with nothing to deliver for a while.
  void Run(int id) {
    h.app().Command(id);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int quiet = 0; quiet < 25 && std::chrono::steady_clock::now() < deadline;) {
      h.state().jobs.WaitIdle();
      quiet = h.app().Drain() == 0 ? quiet + 1 : 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  void Load(const std::filesystem::path& path) {
    h.view.openAnswers = {path.string()};
    h.Do(kMenuLoad);
  }
  bool Logged(std::uint32_t mark, const std::string& part) const {
    for (const std::string& line : h.LogSince(mark)) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
  AppHarness h;
};

// Flash bits only clear with an erase: a Write over a programmed chip leaves the AND of old
// and new bytes, and must not end as if the buffer were in the chip.
TEST_F(WriteSafetyTest, AFlashWriteIsReadBackAndOverAProgrammedChipFailsNamingTheErase) {
  Start("ATmega8");
  const std::vector<std::uint8_t> first(64, 0x0F), second(64, 0xF0);
  WriteText(h.dir() / "first.hex", HexFile(first, true));
  WriteText(h.dir() / "second.hex", HexFile(second, true));
  Load(h.dir() / "first.hex");
  std::uint32_t mark = h.LogMark();
  Run(kMenuWrite);  // a blank chip takes it
  EXPECT_EQ(h.LogSince(mark).back(), "Verified OK");

  Load(h.dir() / "second.hex");
  mark = h.LogMark();
  Run(kIdWriteChip);
  EXPECT_EQ(h.state().log.Row(0).kind, LogKind::LogError);
  EXPECT_EQ(h.NewestLog(), FlashWriteMismatchText(0, false));
  EXPECT_NE(h.NewestLog().find("Chip > Erase"), std::string::npos);
  EXPECT_EQ(h.Chip("ATmega8").flash[0], 0x00);  // what the chip really holds

  // After an erase the same write is what the chip holds.
  Run(kMenuErase);
  mark = h.LogMark();
  Run(kMenuWrite);
  EXPECT_EQ(h.LogSince(mark).back(), "Verified OK");
  EXPECT_EQ(h.Chip("ATmega8").flash[0], 0xF0);
}

// A HEX file without its end-of-file record may be cut short: Write and Program ask first,
// with No as the default, and No sends nothing. A read from the chip replaces the file.
TEST_F(WriteSafetyTest, AnIncompleteHexFileIsWrittenOnlyWhenTheUserSaysYes) {
  Start("ATmega8");
  WriteText(h.dir() / "cut.hex", HexFile(std::vector<std::uint8_t>(32, 0x12), false));
  Load(h.dir() / "cut.hex");
  ASSERT_TRUE(h.state().flash.incomplete());
  for (int command : {kMenuWrite, kMenuProgram}) {
    h.view.boxes.clear();
    h.view.warningAnswers = {false};
    const std::uint32_t mark = h.LogMark();
    Run(command);
    ASSERT_EQ(h.view.boxes.size(), 1u);
    EXPECT_EQ(h.view.boxes[0].kind, "warning-default-no");
    EXPECT_NE(h.view.boxes[0].text.find("may be cut short"), std::string::npos);
    EXPECT_FALSE(Logged(mark, "bytes written"));
    EXPECT_EQ(h.Chip("ATmega8").flash[0], 0xFF);
  }
  h.view.warningAnswers = {true};
  Run(kMenuWrite);
  EXPECT_EQ(h.Chip("ATmega8").flash[0], 0x12);

  h.Do(kMenuRead);
  EXPECT_FALSE(h.state().flash.incomplete());
  h.view.boxes.clear();
  Run(kMenuErase);
  Run(kMenuWrite);
  EXPECT_TRUE(h.view.boxes.empty());
}

#define REQUIRE_TOOL(tool) \
  if (std::system("command -v " tool " >/dev/null 2>&1") != 0) GTEST_SKIP() << tool " is missing"

TEST_F(WriteSafetyTest, AnElfFileFillsBothBuffersAndTheEditorsWithoutWritingThem) {
  REQUIRE_TOOL("avr-gcc");
  const std::filesystem::path elf =
      test::BuildAvrGccElf(h.dir(), "attiny85", ".low = 0xE4, .high = 0xC9, .extended = 0xFF");
  ASSERT_FALSE(elf.empty());
  Start("ATtiny85");
  const std::uint8_t lockBefore = h.Chip("ATtiny85").lock;
  h.app().SwitchTab(MainTab::Eeprom);  // whichever tab is in front
  const std::uint32_t mark = h.LogMark();
  Load(elf);
  EXPECT_TRUE(Logged(mark, "loaded into FLASH buffer"));
  EXPECT_TRUE(Logged(mark, "loaded into EEPROM buffer"));
  EXPECT_NE(h.state().flash.data()[0], 0xFF);
  EXPECT_EQ(h.state().eeprom.data()[0], 1);
  EXPECT_EQ(h.state().eeprom.data()[3], 4);
  EXPECT_EQ(h.app().editor(FuseEditorKind::Fuses).ByteValue(kTargetLow), 0xE4);
  EXPECT_EQ(h.app().editor(FuseEditorKind::Fuses).ByteValue(kTargetHigh), 0xC9);
  EXPECT_EQ(h.app().editor(FuseEditorKind::LockBits).ByteValue(kTargetLockBit), 0xFC);

  h.view.boxes.clear();
  Run(kMenuProgram);
  EXPECT_TRUE(h.view.boxes.empty());  // built for this part: nothing to ask
  EXPECT_EQ(h.NewestLog().rfind("PASS ", 0), 0u) << h.NewestLog();
  EXPECT_EQ(h.Chip("ATtiny85").eeprom[2], 3);      // Program wrote the EEPROM as well
  EXPECT_EQ(h.Chip("ATtiny85").lock, lockBefore);  // editors are written only by their Write
}

// An image built for another device: Program and Write ask (default No) before anything is
// erased or written.
TEST_F(WriteSafetyTest, AnElfFileForAnotherDeviceIsAskedAbout) {
  REQUIRE_TOOL("avr-gcc");
  const std::filesystem::path elf =
      test::BuildAvrGccElf(h.dir(), "atmega328p", ".low = 0xE2, .high = 0xD9, .extended = 0xFD");
  ASSERT_FALSE(elf.empty());
  Start("ATmega8");
  Load(elf);
  h.Chip("ATmega8").flash[0] = 0x55;
  for (int command : {kMenuProgram, kMenuWrite}) {
    h.view.boxes.clear();
    h.view.warningAnswers = {false};
    Run(command);
    ASSERT_EQ(h.view.boxes.size(), 1u);
    EXPECT_EQ(h.view.boxes[0].kind, "warning-default-no");
    EXPECT_NE(h.view.boxes[0].text.find("built for atmega328p, not for the selected ATmega8"),
              std::string::npos)
        << h.view.boxes[0].text;
    EXPECT_EQ(h.Chip("ATmega8").flash[0], 0x55);  // not erased, not written
  }
}

}  // namespace
}  // namespace bq::test
