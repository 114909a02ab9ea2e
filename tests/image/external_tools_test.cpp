// Intel HEX files made by other tools load to exactly their bytes, and the files we write
// are read back by srec_cat. Skipped only when a tool is not installed.

#include <gtest/gtest.h>

#include "image/image_file.h"
#include "image/intel_hex.h"
#include "image_test_support.h"

namespace bq::test {
namespace {

using ExternalToolsTest = TempFolderTest;

#define REQUIRE_TOOL(tool) \
  if (!ToolPresent(tool)) GTEST_SKIP() << tool << " is not installed"

TEST_F(ExternalToolsTest, AvrGccProgramLoadsLikeItsRawSections) {
  REQUIRE_TOOL("avr-gcc");
  REQUIRE_TOOL("avr-objcopy");
  const std::string source = std::string(BQ_SOURCE_DIR) + "/tests/image/data/blink.c";
  const std::string elf = pathOf("blink.elf");
  ASSERT_TRUE(RunCommand("avr-gcc -mmcu=atmega328p -Os -o " + Quote(elf) + " " + Quote(source)));
  const std::string eepromSection = " -j .eeprom --change-section-lma .eeprom=0 ";
  ASSERT_TRUE(RunCommand("avr-objcopy -O ihex -R .eeprom " + Quote(elf) + " " +
                         Quote(pathOf("blink.hex"))));
  ASSERT_TRUE(RunCommand("avr-objcopy -O binary -R .eeprom " + Quote(elf) + " " +
                         Quote(pathOf("flash.raw"))));
  ASSERT_TRUE(RunCommand("avr-objcopy -O ihex" + eepromSection + Quote(elf) + " " +
                         Quote(pathOf("blink.eep"))));
  ASSERT_TRUE(RunCommand("avr-objcopy -O binary" + eepromSection + Quote(elf) + " " +
                         Quote(pathOf("eeprom.raw"))));

  const Bytes flashBytes = ReadFileBytes(pathOf("flash.raw"));
  ASSERT_GT(flashBytes.size(), 100u);
  MemoryBuffer flash(kFlashBufferBytes);
  EXPECT_EQ(LoadImageFile(flash, pathOf("blink.hex")), flashBytes.size());
  EXPECT_EQ(BufferBytes(flash, flashBytes.size()), flashBytes);
  EXPECT_EQ(flash.data()[flashBytes.size()], 0xFF);
  EXPECT_EQ(StoredFileName(flash), "blink.hex");

  const Bytes eepromBytes = ReadFileBytes(pathOf("eeprom.raw"));
  ASSERT_EQ(eepromBytes.size(), 40u);
  MemoryBuffer eeprom(kEepromBufferBytes);
  EXPECT_EQ(LoadImageFile(eeprom, pathOf("blink.eep")), 40u);
  EXPECT_EQ(BufferBytes(eeprom, 40), eepromBytes);
}

// A random image of the whole flash buffer as other tools write it: srec_cat with extended
// linear (04) or extended segment (02) address records and start address records (05 / 03),
// objcopy with segment records.
TEST_F(ExternalToolsTest, FilesWithExtendedAddressesLoadToTheSourceBytes) {
  const Bytes image = RandomBytes(kFlashBufferBytes, 30);
  const std::string bin = pathOf("image.bin");
  WriteFileBytes(bin, image);
  struct Maker {
    const char* tool;
    std::string command;
    const char* recordType;  // a record the file must contain
  };
  const std::string in = Quote(bin) + " ";
  const Maker makers[] = {
      {"srec_cat", "srec_cat " + in + "-Binary -o %OUT% -Intel -execution-start-address=0x1234",
       ":02000004"},
      {"srec_cat",
       "srec_cat " + in +
           "-Binary -o %OUT% -Intel -address-length=3 -execution-start-address=0x1234",
       ":02000002"},
      {"objcopy", "objcopy -I binary -O ihex " + in + "%OUT%", ":02000002"},
  };
  int made = 0;
  for (const auto& maker : makers) {
    if (!ToolPresent(maker.tool)) continue;
    SCOPED_TRACE(maker.command);
    const std::string hex = pathOf("made" + std::to_string(made++) + ".hex");
    std::string command = maker.command;
    command.replace(command.find("%OUT%"), 5, Quote(hex));
    ASSERT_TRUE(RunCommand(command));
    ASSERT_NE(ReadFileText(hex).find(maker.recordType), std::string::npos);
    MemoryBuffer flash(kFlashBufferBytes);
    EXPECT_EQ(LoadImageFile(flash, hex), kFlashBufferBytes);
    EXPECT_TRUE(BufferBytes(flash, kFlashBufferBytes) == image);
  }
  if (made == 0) GTEST_SKIP() << "neither srec_cat nor objcopy is installed";
}

TEST_F(ExternalToolsTest, SrecCatReadsOurFilesBackToTheSameBytes) {
  REQUIRE_TOOL("srec_cat");
  MemoryBuffer flash(kFlashBufferBytes);
  FillBuffer(flash, RandomBytes(kFlashBufferBytes, 31));
  struct Range {
    std::uint32_t first, last;
  };
  for (const Range r : {Range{0, kFlashBufferBytes - 1}, Range{0x105, 0x1FFF},
                        Range{0xFFF3, 0x2000C}, Range{0x30001, 0x30001}}) {
    SCOPED_TRACE(testing::Message() << std::hex << r.first << ".." << r.last);
    const std::string hex = pathOf("ours.hex");
    const std::string back = pathOf("back.bin");
    ASSERT_TRUE(WriteHexImage(flash, hex, r.first, r.last));
    // srec_cat refuses files with bad checksums or malformed records.
    ASSERT_TRUE(RunCommand("srec_cat " + Quote(hex) + " -Intel -fill 0xFF 0 0x50000 -o " +
                           Quote(back) + " -Binary"));
    Bytes expected(kFlashBufferBytes, 0xFF);
    std::copy(flash.data() + r.first, flash.data() + r.last + 1, expected.begin() + r.first);
    EXPECT_TRUE(ReadFileBytes(back) == expected);
  }
}

TEST_F(ExternalToolsTest, ObjcopyReadsOurWholeFlashImage) {
  REQUIRE_TOOL("objcopy");
  MemoryBuffer flash(kFlashBufferBytes);
  FillBuffer(flash, RandomBytes(kFlashBufferBytes, 32));
  ASSERT_TRUE(SaveImageFile(flash, pathOf("ours.hex"), 0, kFlashBufferBytes - 1));
  ASSERT_TRUE(RunCommand("objcopy -I ihex -O binary " + Quote(pathOf("ours.hex")) + " " +
                         Quote(pathOf("back.bin"))));
  EXPECT_TRUE(ReadFileBytes(pathOf("back.bin")) == BufferBytes(flash, kFlashBufferBytes));
}

}  // namespace
}  // namespace bq::test
