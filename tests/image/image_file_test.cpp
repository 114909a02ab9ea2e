// Loading and saving images by file extension, the save range rule and safe saving.

#include "image/image_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif
#include <sys/stat.h>

#include "core/utf8_path.h"
#include "image/binary_image.h"
#include "image/buffer_commands.h"
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

// The name chooses the format; a name that chooses none leaves it to the first line that
// is not blank; a format given by the caller wins over both.
TEST_F(ImageFileTest, TheNameThenTheContentChooseTheFormatUnlessOneIsGiven) {
  // A valid Intel HEX text: read as HEX it gives one byte 0x55, read raw it gives its text.
  const std::string hex = ":0100000055AA\r\n:00000001FF\r\n";
  const std::string badChecksum = ":0100000055AB\r\n:00000001FF\r\n";
  struct Case {
    const char* name;
    std::string content;
    ImageFormat format;
    bool intelHex;
  };
  fs::create_directories(folder_ / "old.hex");
  const Case cases[] = {
      {"image.BIN", hex, ImageFormat::Auto, false},
      {"image.Hex", hex, ImageFormat::Auto, true},
      {"image.eep", hex, ImageFormat::Auto, true},
      {"image.IHX", hex, ImageFormat::Auto, true},
      {"image.ihex", hex, ImageFormat::Auto, true},
      {"image.hex.bin", hex, ImageFormat::Auto, false},
      {"image.bin.HEX", hex, ImageFormat::Auto, true},
      {"image.txt", hex, ImageFormat::Auto, true},
      {"image", "\r\n \t\n\n" + hex, ImageFormat::Auto, true},
      {"old.hex/image", hex, ImageFormat::Auto, true},
      {"image.", hex, ImageFormat::Auto, true},
      {"bad.dat", badChecksum, ImageFormat::Auto, false},
      {"indented.dat", "  " + hex, ImageFormat::Auto, false},
      {"text.dat", "hello\n" + hex, ImageFormat::Auto, false},
      {"forced.hex", hex, ImageFormat::Binary, false},
      {"forced.bin", hex, ImageFormat::IntelHex, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = pathOf(c.name);
    WriteFileText(path, c.content);
    MemoryBuffer flash(kFlashBufferBytes);
    EXPECT_EQ(LoadImage(flash, path, c.format).count, c.intelHex ? 1u : c.content.size());
    EXPECT_EQ(flash.data()[0], c.intelHex ? 0x55 : c.content[0]);
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
      {"x86.elf", std::string("\x7F" "ELF\x01\x01\x01", 7) + std::string(300, '\0'),
       "not built for AVR (machine 0)"},
      {"renamed.data", std::string("\x7F" "ELF", 4) + ":00000001FF\n",
       "the ELF header is cut short (16 of 52 bytes)"},
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

// Standard input: the same rule and the same messages, with the name the caller gives.
TEST_F(ImageFileTest, AnImageInMemoryLoadsByTheSameRules) {
  const std::string hex = ":0100000055AA\r\n:00000001FF\r\n";
  const std::string elfError = "-: the ELF header is cut short (5 of 52 bytes)";
  struct Case {
    const char* what;
    std::string bytes;
    ImageFormat format;
    std::uint32_t count;
    std::string error;
  };
  const Case cases[] = {
      {"Intel HEX found by its first record", hex, ImageFormat::Auto, 1, ""},
      {"raw bytes", std::string("\x00\x01\x02", 3), ImageFormat::Auto, 3, ""},
      {"raw because told so", hex, ImageFormat::Binary, static_cast<std::uint32_t>(hex.size()), ""},
      {"damaged Intel HEX", ":0100000011EF\n", ImageFormat::IntelHex, 0,
       "-: line 1: checksum error"},
      {"ELF", std::string("\x7F" "ELF\x02", 5), ImageFormat::Auto, 0, elfError},
      {"ELF bytes read raw because told so", std::string("\x7F" "ELF\x02", 5), ImageFormat::Binary, 5,
       ""},
      {"larger than the buffer", std::string(kEepromBufferBytes + 1, 'x'), ImageFormat::Binary, 0,
       "-: the file holds 8193 bytes, more than the 8192 bytes of the buffer"},
      {"nothing", "", ImageFormat::Auto, 0, "- is empty."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryBuffer eeprom(kEepromBufferBytes);
    eeprom.data()[7] = 0x42;
    eeprom.setFilePath("kept.eep");
    const ImageLoadResult result = LoadImageBytes(eeprom, c.bytes, c.format, "-");
    EXPECT_EQ(result.count, c.count);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(eeprom.filePath(), c.count != 0 ? "-" : "kept.eep");
    if (c.count == 0) {
      EXPECT_EQ(eeprom.data()[7], 0x42);
    } else {
      EXPECT_EQ(eeprom.data()[0], c.count == 1 ? 0x55 : static_cast<std::uint8_t>(c.bytes[0]));
      EXPECT_EQ(eeprom.data()[c.count], 0xFF);  // the rest is erased
    }
  }
}

// Standard output: the range rule of Save, Intel HEX unless raw binary is asked for.
TEST_F(ImageFileTest, AnImageFormattedInMemoryLoadsBack) {
  MemoryBuffer eeprom(kEepromBufferBytes);
  FillBuffer(eeprom, RandomBytes(0x100, 14), 0x10);
  for (ImageFormat format : {ImageFormat::Auto, ImageFormat::IntelHex, ImageFormat::Binary}) {
    std::string text;
    ASSERT_EQ(FormatImage(eeprom, 0, 0xFFFFFFFF, format, text), SaveOutcome::Written);
    EXPECT_EQ(text.size() == 0x110, format == ImageFormat::Binary);
    MemoryBuffer back(kEepromBufferBytes);
    EXPECT_EQ(LoadImageBytes(back, text, ImageFormat::Auto, "-").count, 0x110u);
    EXPECT_EQ(BufferBytes(back, kEepromBufferBytes), BufferBytes(eeprom, kEepromBufferBytes));
  }
  std::string text;
  MemoryBuffer empty(kEepromBufferBytes);
  EXPECT_EQ(FormatImage(empty, 0, 0xFFFFFFFF, ImageFormat::Auto, text), SaveOutcome::NothingToSave);
  EXPECT_TRUE(text.empty());
}

// A name outside the system's ANSI code page, in a folder named so too, saves, loads and
// reloads, and the file on disk carries exactly that name (Windows tests run under Wine).
TEST_F(ImageFileTest, AFileNameInAnyScriptSavesLoadsAndKeepsItsName) {
  const std::string folderName = "\xE6\x97\xA5\xE6\x9C\xAC";                   // 日本
  const std::string fileName = "J\xC3\xBCrgen_\xE6\x97\xA5\xE6\x9C\xAC.hex";  // Jürgen_日本.hex
  const std::string folder = Utf8FromPath(folder_) + "/" + folderName;
  ASSERT_TRUE(fs::create_directory(PathFromUtf8(folder)));
  const std::string path = folder + "/" + fileName;
  MemoryBuffer flash(kFlashBufferBytes);
  FillBuffer(flash, RandomBytes(0x200, 15));
  ASSERT_EQ(SaveImage(flash, path, 0, 0x1FF), SaveOutcome::Written);
  ASSERT_EQ(SaveImage(flash, path, 0, 0x1FF), SaveOutcome::Written);  // replaces it

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(PathFromUtf8(folder)))
    names.push_back(Utf8FromPath(entry.path().filename()));
  EXPECT_EQ(names, std::vector<std::string>{fileName});

  MemoryBuffer eeprom(kEepromBufferBytes);
  MemoryBuffer copy(kFlashBufferBytes);
  const BufferCommandResult loaded = LoadCommand(BufferTab::Flash, copy, eeprom, path, false);
  EXPECT_EQ(loaded.log, (LogEntries{{LogKind::LogInfo, path + " loaded into FLASH buffer"}}));
  EXPECT_EQ(BufferBytes(copy, 0x200), BufferBytes(flash, 0x200));
  EXPECT_EQ(ReloadCommand(BufferTab::Flash, copy, eeprom, false).log,
            (LogEntries{{LogKind::LogInfo, fileName + " reloaded"}}));
  // Read raw, the same file gives its text.
  EXPECT_EQ(ReadBinaryImage(copy, path), fs::file_size(PathFromUtf8(path)));
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

// A file that is there but gives nothing says what is wrong with it; only a file that is
// not there at all leaves the error to the caller's "not found.".
TEST_F(ImageFileTest, AFileThatGivesNothingSaysWhy) {
  struct Case {
    const char* name;
    std::string content;
    const char* error;  // after the path; "" for no error
  };
  const Case cases[] = {
      {"empty.hex", "", " is empty."},
      {"empty.bin", "", " is empty."},
      {"notes.hex", "flash image for board 3\nsee the wiki\n", " holds no Intel HEX record."},
      {"raw.hex", std::string("\x0C\x94\x34\x00\x0C\x94", 6), " holds no Intel HEX record."},
      {"end-only.hex", ":00000001FF\r\n", " holds no data (only its end record)."},
      {"address-only.hex", ":020000040000FA\n:00000001FF\n", " holds no data."},
      {"missing.hex", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = pathOf(c.name);
    if (std::string(c.name) != "missing.hex") WriteFileText(path, c.content);
    MemoryBuffer flash(kFlashBufferBytes);
    const ImageLoadResult result = LoadImage(flash, path);
    EXPECT_EQ(result.count, 0u);
    EXPECT_EQ(result.error, *c.error == '\0' ? "" : path + c.error);
  }
  MemoryBuffer flash(kFlashBufferBytes);
  EXPECT_EQ(LoadImage(flash, folder_.string()).error, folder_.string() + " is a folder.");
  EXPECT_EQ(ImageFileProblem(pathOf("missing.hex")), pathOf("missing.hex") + " not found.");
}

// The addresses a file holds are those its records fill, whatever their value; the gaps
// between them are not the file's.
TEST_F(ImageFileTest, ALoadTellsWhichAddressesTheFileHolds) {
  const std::string hex = pathOf("two-parts.hex");
  WriteFileText(hex, ":02000000FFFF00\n:0100100011DE\n:0100110022CC\n:00000001FF\n");
  const std::string bin = pathOf("five.bin");
  WriteFileText(bin, std::string(5, '\xFF'));
  using Held = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  MemoryBuffer flash(kFlashBufferBytes);
  EXPECT_EQ(LoadImage(flash, hex).held, (Held{{0, 2}, {0x10, 0x12}}));
  EXPECT_EQ(LoadImage(flash, bin).held, (Held{{0, 5}}));
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
