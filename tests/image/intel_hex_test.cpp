// Intel HEX writer and reader on real files.

#include "image/intel_hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "image_test_support.h"

namespace bq::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string WrittenText(MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last) {
  std::string text;
  EXPECT_TRUE(FormatHexImage(buffer, first, last, text));
  return text;
}

using IntelHexFileTest = TempFolderTest;

TEST_F(IntelHexFileTest, WritesSixteenByteRecordsThenEndOfFileWithCrLf) {
  MemoryBuffer flash(kFlashBufferBytes);
  const std::string path = pathOf("range.hex");
  ASSERT_TRUE(WriteHexImage(flash, path, 0, 0x20));
  const std::string ff16 = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";
  EXPECT_EQ(Lines(ReadFileText(path)),
            (std::vector<std::string>{":10000000" + ff16 + "00", ":10001000" + ff16 + "F0",
                                      ":01002000FFE0", ":00000001FF"}));
}

TEST_F(IntelHexFileTest, RecordsFollowTheFirstAddressNotSixteenByteBoundaries) {
  MemoryBuffer flash(kFlashBufferBytes);
  FillBuffer(flash, RandomBytes(0x40, 1), 0x100);
  const auto lines = Lines(WrittenText(flash, 0x105, 0x12A));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 9), ":10010500");
  EXPECT_EQ(lines[1].substr(0, 9), ":10011500");
  EXPECT_EQ(lines[2].substr(0, 9), ":06012500");
  EXPECT_EQ(lines[3], ":00000001FF");
}

TEST_F(IntelHexFileTest, ImagesAbove64KiBAnnounceEachSegmentAndNeverCrossIt) {
  MemoryBuffer flash(kFlashBufferBytes);
  FillBuffer(flash, RandomBytes(kFlashBufferBytes, 2));
  const auto crossing = Lines(WrittenText(flash, 0xFFF8, 0x10007));
  ASSERT_EQ(crossing.size(), 4u);
  EXPECT_EQ(crossing[0].substr(0, 9), ":08FFF800");
  EXPECT_EQ(crossing[1], ":020000040001F9");
  EXPECT_EQ(crossing[2].substr(0, 9), ":08000000");
  EXPECT_EQ(crossing[3], ":00000001FF");

  const auto above = Lines(WrittenText(flash, 0x20005, 0x20006));
  ASSERT_EQ(above.size(), 3u);
  EXPECT_EQ(above[0], ":020000040002F8");
  EXPECT_EQ(above[1].substr(0, 9), ":02000500");

  std::string whole = WrittenText(flash, 0, kFlashBufferBytes - 1);
  std::size_t extended = 0;
  for (const auto& line : Lines(whole)) extended += line.substr(7, 2) == "04";
  EXPECT_EQ(extended, 4u);
  EXPECT_EQ(WrittenText(flash, 0, 0xFFFF).find(":02000004"), std::string::npos);
}

TEST_F(IntelHexFileTest, ByteByByteEmissionGivesTheSameTextAsTheRangeWriter) {
  MemoryBuffer flash(kFlashBufferBytes);
  FillBuffer(flash, RandomBytes(kFlashBufferBytes, 5));
  struct Range {
    std::uint32_t first, last;
  };
  for (const Range r : {Range{0, 0x20}, Range{0x105, 0x1FF}, Range{0xFFF9, 0x1001A},
                        Range{0x2FFFF, 0x30000}, Range{0x4FFF7, 0x4FFFF}, Range{7, 7}}) {
    SCOPED_TRACE(testing::Message() << std::hex << r.first << ".." << r.last);
    std::string emitted;
    {
      HexTextSink out(emitted);
      flash.staging().started = 0;
      for (std::uint32_t a = r.first; a <= r.last; ++a)
        EmitHexByte(flash, out, flash.data()[a], a, false);
      EmitHexByte(flash, out, 0, 0, true);
    }
    EXPECT_EQ(emitted, WrittenText(flash, r.first, r.last));
  }
  // A gap in the addresses starts a new record.
  std::string gapped;
  HexTextSink out(gapped);
  flash.staging().started = 0;
  EmitHexByte(flash, out, 0x11, 0x10, false);
  EmitHexByte(flash, out, 0x22, 0x11, false);
  EmitHexByte(flash, out, 0x33, 0x20, false);
  EmitHexByte(flash, out, 0, 0, true);
  EXPECT_EQ(Lines(gapped),
            (std::vector<std::string>{":020010001122BB", ":0100200033AC", ":00000001FF"}));
}

TEST_F(IntelHexFileTest, EveryWrittenRangeReadsBackToTheSameBytes) {
  struct Range {
    std::uint32_t first, last;
  };
  const Range ranges[] = {{0, 1},
                          {0, 0x20},
                          {0x105, 0x2FF},
                          {0xFFF0, 0x10010},
                          {0x1FFFF, 0x20000},
                          {0, kFlashBufferBytes - 1},
                          {0x4FFF0, 0x4FFFF}};
  MemoryBuffer source(kFlashBufferBytes);
  FillBuffer(source, RandomBytes(kFlashBufferBytes, 3));
  for (const auto& r : ranges) {
    SCOPED_TRACE(testing::Message() << std::hex << r.first << ".." << r.last);
    const std::string path = pathOf("round.hex");
    ASSERT_TRUE(WriteHexImage(source, path, r.first, r.last));
    MemoryBuffer copy(kFlashBufferBytes);
    EXPECT_EQ(ReadHexImage(copy, path), r.last - r.first + 1);
    EXPECT_EQ(copy.filePath(), path);
    for (std::uint32_t a = 0; a < kFlashBufferBytes; ++a) {
      const std::uint8_t expected = (a >= r.first && a <= r.last) ? source.data()[a] : 0xFF;
      if (copy.data()[a] != expected) {
        ADD_FAILURE() << "address " << a;
        break;
      }
    }
  }
}

TEST_F(IntelHexFileTest, AFileThatCannotBeOpenedLeavesTheBufferUntouched) {
  MemoryBuffer flash(kFlashBufferBytes);
  flash.data()[5] = 0x12;
  flash.setFilePath("previous.hex");
  EXPECT_EQ(ReadHexImage(flash, pathOf("missing.hex")), 0u);
  EXPECT_EQ(ReadHexImage(flash, folder_.string()), 0u);
  EXPECT_EQ(flash.data()[5], 0x12);
  EXPECT_EQ(flash.filePath(), "previous.hex");
}

TEST_F(IntelHexFileTest, DataBeyondTheBufferFailsTheRead) {
  MemoryBuffer flash(kFlashBufferBytes);
  FillBuffer(flash, RandomBytes(0x20, 4), 0x1FF8);
  const std::string path = pathOf("eeprom.eep");
  ASSERT_TRUE(WriteHexImage(flash, path, 0x1FF8, 0x2017));
  MemoryBuffer eeprom(kEepromBufferBytes);
  HexReadReport report;
  EXPECT_EQ(ReadHexImage(eeprom, path, &report), 0u);
  EXPECT_EQ(report.error, "line 1: data at address 0x2000 lies beyond the 8192-byte buffer");
  EXPECT_TRUE(AllErased(eeprom));
}

TEST_F(IntelHexFileTest, AFailedReadAfterDataLeavesTheWholeBufferErased) {
  MemoryBuffer flash(kFlashBufferBytes);
  flash.data()[0x4000] = 0;  // old contents must not survive either
  const std::string path = pathOf("unknown.hex");
  WriteFileText(path, ":0400000001020304F2\r\n:020000060000F8\r\n:00000001FF\r\n");
  EXPECT_EQ(ReadHexImage(flash, path), 0u);
  EXPECT_TRUE(AllErased(flash));
  EXPECT_EQ(flash.filePath(), "");
}

// The table of hand-made malformed files in malformed/, with the outcome of each in
// malformed/expected.txt.
TEST(IntelHexMalformedFiles, EachFileReadsAsExpected) {
  const std::string folder = std::string(BQ_SOURCE_DIR) + "/tests/image/malformed/";
  std::ifstream table(folder + "expected.txt");
  ASSERT_TRUE(table) << "missing " << folder << "expected.txt";
  std::string row;
  int files = 0;
  while (std::getline(table, row)) {
    if (row.empty() || row[0] == '#') continue;
    std::string error;
    if (const auto bang = row.find(" ! "); bang != std::string::npos) {
      error = row.substr(bang + 3);
      row.resize(bang);
    }
    std::istringstream fields(row);
    std::string name, pathSet;
    std::uint32_t count = 0;
    fields >> name >> count >> pathSet;
    SCOPED_TRACE(name);
    ++files;
    MemoryBuffer flash(kFlashBufferBytes);
    const std::string path = folder + name;
    ASSERT_TRUE(fs::exists(path));
    HexReadReport report;
    EXPECT_EQ(ReadHexImage(flash, path, &report), count);
    EXPECT_EQ(report.error, error);
    EXPECT_EQ(report.endOfFile, pathSet == "yes");
    EXPECT_EQ(flash.filePath(), pathSet == "yes" ? path : "");
    if (count == 0) {
      EXPECT_TRUE(AllErased(flash));
    }
    std::string check;
    while (fields >> check) {
      const auto eq = check.find('=');
      const auto address = std::stoul(check.substr(0, eq), nullptr, 16);
      const auto value = std::stoul(check.substr(eq + 1), nullptr, 16);
      EXPECT_EQ(flash.data()[address], value) << check;
    }

    // The same content fed from memory in awkward pieces gives the same image.
    const std::string text = ReadFileText(path);
    for (std::size_t piece :
         {std::size_t{1}, std::size_t{3}, std::size_t{998}, std::size_t{1001}}) {
      MemoryBuffer copy(kFlashBufferBytes);
      HexImageReader reader(copy, path);
      for (std::size_t at = 0; at < text.size(); at += piece) {
        reader.feed(std::string_view(text).substr(at, piece));
      }
      EXPECT_EQ(reader.finish(), count) << "pieces of " << piece;
      EXPECT_EQ(reader.error(), error) << "pieces of " << piece;
      EXPECT_EQ(std::memcmp(copy.data(), flash.data(), kFlashBufferBytes), 0)
          << "pieces of " << piece;
    }
  }
  EXPECT_GE(files, 20);
}

TEST(ParseHexRecord, ChecksFieldsLengthAndChecksum) {
  using P = HexRecordProblem;
  struct Case {
    const char* line;
    bool accepted;
    std::uint8_t count, type;
    std::uint16_t address;
    P problem;
  };
  const Case cases[] = {
      {":00000001FF", true, 0, 1, 0, P::None},
      {":0300300002337A1E", true, 3, 0, 0x0030, P::None},
      {":0300300002337a1e", true, 3, 0, 0x0030, P::None},
      {":0300300002337A1F", false, 0, 0, 0, P::Checksum},            // off by one
      {":0300300002337A", false, 0, 0, 0, P::TooShort},              // cut short
      {":00000001F", false, 0, 0, 0, P::TooShort},                   // shorter than any record
      {":FF000000000000000000000000FF", false, 0, 0, 0, P::TooShort},  // count > the line
      {":00000001FFxyz", true, 0, 1, 0, P::None},                    // text after the checksum
      {": 0000001FF", false, 0, 0, 0, P::NotHex},                    // field begins with a blank
      {":0300300002337G1E", false, 0, 0, 0, P::NotHex},              // a digit inside a byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const HexRecord record = ParseHexRecord(c.line);
    EXPECT_EQ(record.accepted, c.accepted);
    EXPECT_EQ(record.problem, c.problem);
    if (!c.accepted) continue;
    EXPECT_EQ(record.count, c.count);
    EXPECT_EQ(record.type, c.type);
    EXPECT_EQ(record.address, c.address);
  }
  const HexRecord data = ParseHexRecord(":0300300002337A1E");
  EXPECT_EQ(data.data[0], 0x02);
  EXPECT_EQ(data.data[1], 0x33);
  EXPECT_EQ(data.data[2], 0x7A);
}

}  // namespace
}  // namespace bq::test
