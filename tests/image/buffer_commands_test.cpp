// The Buffer menu commands: what they change and the lines they log.

#include "image/buffer_commands.h"

#include <gtest/gtest.h>

#include "image/image_file.h"
#include "image_test_support.h"

namespace bq::test {
namespace {

class BufferCommandsTest : public TempFolderTest {
 protected:
  MemoryBuffer flash{kFlashBufferBytes};
  MemoryBuffer eeprom{kEepromBufferBytes};
};

LogEntries One(LogKind kind, const std::string& text) {
  return {LogEntry{kind, text}};
}

TEST_F(BufferCommandsTest, ClearErasesTheTabsBufferOnlyAndKeepsItsFile) {
  flash.data()[1] = 0;
  eeprom.data()[1] = 0;
  flash.setFilePath("/x/a.hex");
  auto result = ClearCommand(BufferTab::Flash, flash, eeprom, false);
  EXPECT_EQ(result.log, One(LogKind::LogSuccess, "FLASH buffer cleared"));
  EXPECT_TRUE(result.refillView);
  EXPECT_TRUE(AllErased(flash));
  EXPECT_EQ(eeprom.data()[1], 0);
  EXPECT_EQ(flash.filePath(), "/x/a.hex");

  result = ClearCommand(BufferTab::Eeprom, flash, eeprom, false);
  EXPECT_EQ(result.log, One(LogKind::LogSuccess, "EEPROM buffer cleared"));
  EXPECT_TRUE(AllErased(eeprom));

  result = ClearCommand(BufferTab::Other, flash, eeprom, false);
  EXPECT_TRUE(result.log.empty());
  EXPECT_FALSE(result.refillView);
}

TEST_F(BufferCommandsTest, LoadLogsThePathAndRefillsOnlyOnSuccess) {
  const std::string path = pathOf("app.bin");
  WriteFileBytes(path, RandomBytes(300, 20));
  auto result = LoadCommand(BufferTab::Flash, flash, eeprom, path, false);
  EXPECT_EQ(result.log, One(LogKind::LogInfo, path + " loaded into FLASH buffer"));
  EXPECT_TRUE(result.refillView);
  result = LoadCommand(BufferTab::Eeprom, flash, eeprom, path, false);
  EXPECT_EQ(result.log, One(LogKind::LogInfo, path + " loaded into EEPROM buffer"));

  const std::string missing = pathOf("gone.hex");
  result = LoadCommand(BufferTab::Eeprom, flash, eeprom, missing, false);
  EXPECT_EQ(result.log, One(LogKind::LogError, missing + " not found."));
  EXPECT_FALSE(result.refillView);
  EXPECT_EQ(eeprom.filePath(), path);  // a missing file does not forget the last one

  EXPECT_TRUE(LoadCommand(BufferTab::Other, flash, eeprom, path, false).log.empty());
}

TEST_F(BufferCommandsTest, AHexFileWithoutDataSaysSo) {
  const std::string path = pathOf("only_end.hex");
  WriteFileText(path, ":00000001FF\r\n");
  const auto result = LoadCommand(BufferTab::Flash, flash, eeprom, path, false);
  EXPECT_EQ(result.log, One(LogKind::LogError, path + " holds no data (only its end record)."));
  EXPECT_TRUE(AllErased(flash));

  // A damaged file says what is wrong instead, in one line, and changes nothing.
  const std::string damaged = pathOf("damaged.hex");
  WriteFileText(damaged, ":0100000011EF\r\n:00000001FF\r\n");
  const auto refused = LoadCommand(BufferTab::Flash, flash, eeprom, damaged, false);
  EXPECT_EQ(refused.log, One(LogKind::LogError, damaged + ": line 1: checksum error"));
  EXPECT_FALSE(refused.refillView);
}

TEST_F(BufferCommandsTest, ReloadReadsTheLastFileAgainEvenAfterClear) {
  const std::string path = pathOf("sub/app.hex");
  fs::create_directories(folder_ / "sub");
  MemoryBuffer source(kFlashBufferBytes);
  FillBuffer(source, RandomBytes(0x800, 21));
  ASSERT_TRUE(SaveImageFile(source, path, 0, 0x7FF));

  // Before any successful load Reload does nothing and says nothing.
  auto result = ReloadCommand(BufferTab::Flash, flash, eeprom, false);
  EXPECT_TRUE(result.log.empty());
  EXPECT_FALSE(result.refillView);

  ASSERT_EQ(LoadCommand(BufferTab::Flash, flash, eeprom, path, false).log[0].kind,
            LogKind::LogInfo);
  ClearCommand(BufferTab::Flash, flash, eeprom, false);
  result = ReloadCommand(BufferTab::Flash, flash, eeprom, false);
  EXPECT_EQ(result.log, One(LogKind::LogInfo, "app.hex reloaded"));
  EXPECT_TRUE(result.refillView);
  EXPECT_EQ(BufferBytes(flash, 0x800), BufferBytes(source, 0x800));
}

TEST_F(BufferCommandsTest, ReloadOfAVanishedFileReportsItAndThenStaysQuiet) {
  const std::string path = pathOf("gone.bin");
  WriteFileBytes(path, RandomBytes(64, 22));
  LoadCommand(BufferTab::Eeprom, flash, eeprom, path, false);
  fs::remove(path);
  auto result = ReloadCommand(BufferTab::Eeprom, flash, eeprom, false);
  EXPECT_EQ(result.log, One(LogKind::LogError, "Reload ERROR. File 'gone.bin' not found"));
  EXPECT_TRUE(result.refillView);

  // A file that exists but yields nothing is a failed load that says why: the file is
  // still the one Reload reads.
  WriteFileBytes(path, {});
  LoadCommand(BufferTab::Eeprom, flash, eeprom, path, false);
  result = ReloadCommand(BufferTab::Eeprom, flash, eeprom, false);
  EXPECT_EQ(result.log, One(LogKind::LogError, path + " is empty."));
}

TEST_F(BufferCommandsTest, SaveIsSilentUnlessTheFileCannotBeWritten) {
  flash.data()[0x30] = 0x12;
  const std::string path = pathOf("out.bin");
  auto result = SaveCommand(BufferTab::Flash, flash, eeprom, path, 0x2000, 0x200);
  EXPECT_TRUE(result.log.empty());
  EXPECT_EQ(fs::file_size(path), 0x2000u);

  // No chip selected: up to the highest programmed byte.
  result = SaveCommand(BufferTab::Flash, flash, eeprom, pathOf("nochip.bin"), 0, 0);
  EXPECT_TRUE(result.log.empty());
  EXPECT_EQ(fs::file_size(pathOf("nochip.bin")), 0x31u);

  // Nothing to save in an erased EEPROM with no chip selected: silent, no file.
  result = SaveCommand(BufferTab::Eeprom, flash, eeprom, pathOf("empty.eep"), 0, 0);
  EXPECT_TRUE(result.log.empty());
  EXPECT_FALSE(fs::exists(pathOf("empty.eep")));

  const std::string bad = pathOf("missing/out.hex");
  result = SaveCommand(BufferTab::Flash, flash, eeprom, bad, 0x2000, 0x200);
  EXPECT_EQ(result.log, One(LogKind::LogError, bad + " not saved."));
  EXPECT_FALSE(result.refillView);
}

TEST_F(BufferCommandsTest, WhileTheProgrammerIsBusyOnlySaveIsAllowed) {
  const std::string path = pathOf("app.bin");
  WriteFileBytes(path, RandomBytes(16, 23));
  ASSERT_FALSE(LoadCommand(BufferTab::Flash, flash, eeprom, path, false).log.empty());
  flash.data()[0x100] = 0x77;
  const Bytes before = BufferBytes(flash, kFlashBufferBytes);
  const LogEntries busy = One(LogKind::LogError, "Programmer is BUSY !!!");

  for (const auto& result :
       {ClearCommand(BufferTab::Flash, flash, eeprom, true),
        LoadCommand(BufferTab::Flash, flash, eeprom, pathOf("other.bin"), true),
        ReloadCommand(BufferTab::Flash, flash, eeprom, true)}) {
    EXPECT_EQ(result.log, busy);
    EXPECT_FALSE(result.refillView);
  }
  EXPECT_EQ(BufferBytes(flash, kFlashBufferBytes), before);
  EXPECT_EQ(flash.filePath(), path);

  EXPECT_TRUE(SaveCommand(BufferTab::Flash, flash, eeprom, pathOf("busy.bin"), 0, 0).log.empty());
  EXPECT_EQ(fs::file_size(pathOf("busy.bin")), 0x101u);
}

TEST(StoredFileName, IsThePartAfterTheLastSeparator) {
  struct Case {
    const char* path;
    const char* name;
  };
  const Case cases[] = {
      {"C:\\dir\\image.hex", "image.hex"}, {"image.hex", "image.hex"},        {"", ""},
      {"/home/u/fw/app.eep", "app.eep"},   {"C:\\mixed/dir\\x.bin", "x.bin"}, {"dir/", ""}};
  MemoryBuffer eeprom(kEepromBufferBytes);
  for (const auto& c : cases) {
    eeprom.setFilePath(c.path);
    EXPECT_EQ(StoredFileName(eeprom), c.name) << c.path;
  }
}

TEST(MemoryBuffer, StartsErasedWithTheDesignedSizes) {
  MemoryBuffer flash(kFlashBufferBytes);
  MemoryBuffer eeprom(kEepromBufferBytes);
  EXPECT_EQ(flash.lastIndex(), 0x4FFFFu);
  EXPECT_EQ(eeprom.lastIndex(), 0x1FFFu);
  EXPECT_TRUE(AllErased(flash));
  EXPECT_TRUE(AllErased(eeprom));
  MemoryBuffer none(0);
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.lastIndex(), 0u);
  ClearBuffer(none);  // no storage: nothing to do, no crash
  EXPECT_EQ(LoadImageFile(none, "/etc/hostname"), 0u);
}

}  // namespace
}  // namespace bq::test
