// Loading and saving images by file extension, the save range rule and safe saving.

#include "image/image_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif
#include <sys/stat.h>

#include "image/binary_image.h"
#include "image_test_support.h"

namespace bq::test {
namespace {

using ImageFileTest = TempFolderTest;

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ImageFileTest, TheExtensionChoosesTheFormatWhateverItsCase) {
  // A valid Intel HEX text: read as HEX it gives one byte 0x55, read raw it gives its text.
  const std::string hexText = ":0100000055AA\r\n:00000001FF\r\n";
  struct Case {
    const char* name;
    bool intelHex;
  };
  fs::create_directories(folder_ / "old.hex");
  const Case cases[] = {{"image.BIN", false},    {"image.Hex", true},      {"image.eep", true},
                        {"image.txt", false},    {"image", false},         {"image.hex.bin", false},
                        {"image.bin.HEX", true}, {"old.hex/image", false}, {"image.", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = pathOf(c.name);
    WriteFileText(path, hexText);
    MemoryBuffer flash(kFlashBufferBytes);
    EXPECT_EQ(LoadImageFile(flash, path), c.intelHex ? 1u : hexText.size());
    EXPECT_EQ(flash.data()[0], c.intelHex ? 0x55 : ':');
    EXPECT_EQ(flash.filePath(), path);
  }
}

TEST_F(ImageFileTest, BinaryFilesFillFromAddressZeroAndLeaveTheRestErased) {
  MemoryBuffer eeprom(kEepromBufferBytes);
  const Bytes shortFile = RandomBytes(100, 8);
  WriteFileBytes(pathOf("short.bin"), shortFile);
  EXPECT_EQ(LoadImageFile(eeprom, pathOf("short.bin")), 100u);
  Bytes expected(kEepromBufferBytes, 0xFF);
  std::copy(shortFile.begin(), shortFile.end(), expected.begin());
  EXPECT_EQ(BufferBytes(eeprom, kEepromBufferBytes), expected);
  EXPECT_EQ(eeprom.filePath(), pathOf("short.bin"));
}

// Whatever is wrong with a file, the load fails as a whole with a line that names the file
// and the fault, and the buffer and the file it came from stay as the user had them.
TEST_F(ImageFileTest, ADamagedOrOversizedFileIsRefusedAndTheBufferKept) {
  struct Case {
    const char* name;
    std::string content;
    std::string error;  // after "<path>: "
  };
  const Case cases[] = {
      {"checksum.hex", ":0100000011EE\n; note\n:0100010022FF\n:00000001FF\n",
       "line 3: checksum error"},
      {"short.hex", ":0100000011EE\n:00\n:00000001FF\n", "line 2: record too short"},
      {"nothex.hex", ":01000000G1EE\n:00000001FF\n", "line 1: not a hexadecimal record"},
      {"type06.hex", ":00000006FA\n", "line 1: unknown record type 0x06"},
      {"flash.eep", ":020000040001F9\n:0100000011EE\n:00000001FF\n",
       "line 2: data at address 0x10000 lies beyond the 8192-byte buffer"},
      {"big.bin", std::string(8193, 'x'),
       "the file holds 8193 bytes, more than the 8192 bytes of the buffer"},
      {"empty.bin", "", ""},  // no data: the caller says "not found."
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = pathOf(c.name);
    WriteFileText(path, c.content);
    MemoryBuffer eeprom(kEepromBufferBytes);
    eeprom.data()[7] = 0x42;
    eeprom.setFilePath("/kept/earlier.eep");
    const ImageLoadResult result = LoadImage(eeprom, path);
    EXPECT_EQ(result.count, 0u);
    EXPECT_EQ(result.error, c.error.empty() ? "" : path + ": " + c.error);
    EXPECT_EQ(eeprom.data()[7], 0x42);
    EXPECT_EQ(eeprom.data()[0], 0xFF);
    EXPECT_EQ(eeprom.filePath(), "/kept/earlier.eep");
  }
}

TEST_F(ImageFileTest, AHexFileWithoutItsEndRecordLoadsWithAWarningAndCanBeReloaded) {
  const std::string path = pathOf("cut.hex");
  WriteFileText(path, ":0100000011EE\n");
  MemoryBuffer flash(kFlashBufferBytes);
  const ImageLoadResult result = LoadImage(flash, path);
  EXPECT_EQ(result.count, 1u);
  EXPECT_EQ(result.warning, path + ": no end-of-file record; the file may be incomplete");
  EXPECT_EQ(flash.filePath(), path);
}

TEST_F(ImageFileTest, AMissingFileAFolderOrAPipeChangesNothing) {
  MemoryBuffer flash(kFlashBufferBytes);
  flash.data()[0] = 0x42;
  flash.setFilePath("/somewhere/kept.hex");
  std::vector<std::string> paths{pathOf("missing.bin"), pathOf("missing.hex"), folder_.string(),
                                 std::string()};
#ifndef _WIN32
  ASSERT_EQ(mkfifo(pathOf("pipe.hex").c_str(), 0600), 0);  // would block a reader forever
  paths.push_back(pathOf("pipe.hex"));
#endif
  for (const std::string& path : paths) {
    EXPECT_EQ(LoadImageFile(flash, path), 0u) << path;
    EXPECT_EQ(flash.data()[0], 0x42);
    EXPECT_EQ(flash.filePath(), "/somewhere/kept.hex");
  }
}

TEST_F(ImageFileTest, SaveWritesTheChipRangeOrFallsBackToTheLastProgrammedByte) {
  struct Case {
    const char* what;
    std::uint32_t last;          // as the Save command passes it: chip size - 1
    std::uint32_t programmedAt;  // one byte that is not 0xFF, or 0xFFFFFFFF for none
    bool written;
    std::size_t fileSize;
  };
  const Case cases[] = {
      {"chip of 8 KiB keeps trailing 0xFF", 0x1FFF, 0x10, true, 0x2000},
      {"chip of 8 KiB, byte beyond it not saved", 0x1FFF, 0x3000, true, 0x2000},
      {"no chip: up to the highest programmed byte", 0xFFFFFFFF, 0x1234, true, 0x1235},
      {"no chip, all erased: nothing", 0xFFFFFFFF, 0xFFFFFFFF, false, 0},
      {"no chip, only byte 0 programmed: nothing", 0xFFFFFFFF, 0, false, 0},
      {"range beyond the buffer falls back", kFlashBufferBytes, 0x20, true, 0x21},
      {"last of 0 falls back", 0, 0x40, true, 0x41},
      {"whole flash", kFlashBufferBytes - 1, 0x4FFFF, true, kFlashBufferBytes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryBuffer flash(kFlashBufferBytes);
    if (c.programmedAt != 0xFFFFFFFF) flash.data()[c.programmedAt] = 0x5A;
    const std::string path = pathOf("save.bin");
    fs::remove(path);
    EXPECT_EQ(SaveImageFile(flash, path, 0, c.last), c.written);
    EXPECT_EQ(fs::exists(path), c.written);
    if (c.written) {
      EXPECT_EQ(fs::file_size(path), c.fileSize);
    }
  }
  MemoryBuffer flash(kFlashBufferBytes);
  flash.data()[0x100] = 0;
  EXPECT_FALSE(SaveImageFile(flash, pathOf("x.bin"), kFlashBufferBytes, 0xFFFFFFFF));
  EXPECT_FALSE(SaveImageFile(flash, "", 0, 0x200));
}

TEST_F(ImageFileTest, SavingToEepOrHexWritesIntelHexThatLoadsBack) {
  MemoryBuffer eeprom(kEepromBufferBytes);
  FillBuffer(eeprom, RandomBytes(kEepromBufferBytes, 9));
  for (const char* name : {"data.eep", "data.HEX"}) {
    const std::string path = pathOf(name);
    ASSERT_TRUE(SaveImageFile(eeprom, path, 0, kEepromBufferBytes - 1));
    EXPECT_EQ(ReadFileText(path).substr(0, 9), ":10000000");
    MemoryBuffer copy(kEepromBufferBytes);
    EXPECT_EQ(LoadImageFile(copy, path), kEepromBufferBytes);
    EXPECT_EQ(BufferBytes(copy, kEepromBufferBytes), BufferBytes(eeprom, kEepromBufferBytes));
  }
}

TEST_F(ImageFileTest, ASaveReplacesTheOldFileCompletelyAndKeepsItsPermissions) {
  const std::string path = pathOf("image.bin");
  WriteFileBytes(path, RandomBytes(50000, 10));
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  MemoryBuffer eeprom(kEepromBufferBytes);
  FillBuffer(eeprom, RandomBytes(kEepromBufferBytes, 11));
  ASSERT_TRUE(SaveImageFile(eeprom, path, 0, 99));
  EXPECT_EQ(ReadFileBytes(path), BufferBytes(eeprom, 100));
#ifndef _WIN32  // Windows keeps a read-only flag only
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
  EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"image.bin"});
}

TEST_F(ImageFileTest, SavingToAFolderOrAMissingFolderFailsWithoutTouchingAnything) {
  MemoryBuffer flash(kFlashBufferBytes);
  flash.data()[0x10] = 0;
  fs::create_directories(folder_ / "target.hex");
  EXPECT_FALSE(SaveImageFile(flash, pathOf("target.hex"), 0, 0x1FFF));
  EXPECT_FALSE(SaveImageFile(flash, pathOf("target.hex"), 0, 0xFFFFFFFF));
  EXPECT_TRUE(fs::is_directory(folder_ / "target.hex"));
  EXPECT_FALSE(SaveImageFile(flash, pathOf("no/such/folder/image.bin"), 0, 0x1FFF));
  EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"target.hex"});
}

#ifndef _WIN32  // the file size limit is a POSIX process limit
// A write that fails half way (here: the file size limit of the process) must leave the
// previous file as it was and no temporary file behind.
TEST_F(ImageFileTest, AFailedWriteKeepsThePreviousFile) {
  for (const char* name : {"image.bin", "image.hex"}) {
    SCOPED_TRACE(name);
    const std::string path = pathOf(name);
    const Bytes previous = RandomBytes(3000, 12);
    WriteFileBytes(path, previous);
    MemoryBuffer flash(kFlashBufferBytes);
    FillBuffer(flash, RandomBytes(kFlashBufferBytes, 13));

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = SaveImageFile(flash, path, 0, kFlashBufferBytes - 1);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadFileBytes(path), previous);
    EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{name});
    fs::remove(path);
  }
}
#endif

TEST_F(ImageFileTest, ASaveDoesNotOverwriteAnUnrelatedFileNamedLikeItsTemporary) {
  const std::string path = pathOf("image.bin");
  WriteFileText(path + ".bq0.tmp", "keep me");
  MemoryBuffer eeprom(kEepromBufferBytes);
  eeprom.data()[0x20] = 1;
  ASSERT_TRUE(SaveImageFile(eeprom, path, 0, 0x7F));
  EXPECT_EQ(ReadFileText(path + ".bq0.tmp"), "keep me");
  EXPECT_EQ(fs::file_size(path), 0x80u);
}

TEST_F(ImageFileTest, SavingThroughASymbolicLinkReplacesTheFileItPointsTo) {
  const std::string real = pathOf("real.bin");
  WriteFileText(real, "old");
  std::error_code ec;
  fs::create_symlink(real, pathOf("link.bin"), ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  MemoryBuffer eeprom(kEepromBufferBytes);
  eeprom.data()[3] = 0;
  ASSERT_TRUE(SaveImageFile(eeprom, pathOf("link.bin"), 0, 0xFFFFFFFF));
  EXPECT_TRUE(fs::is_symlink(pathOf("link.bin")));
  EXPECT_EQ(ReadFileBytes(real), (Bytes{0xFF, 0xFF, 0xFF, 0x00}));
}

}  // namespace
}  // namespace bq::test
