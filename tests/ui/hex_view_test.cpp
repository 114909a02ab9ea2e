// Hex rows of the flash and EEPROM images: text, row counts and colours.

#include "ui/hex_view.h"

#include <gtest/gtest.h>

#include <cstring>

namespace bq {
namespace {

TEST(HexViewTest, RowTextShowsOffsetBytesAndCharacters) {
  MemoryBuffer buffer(kFlashBufferBytes);
  for (int i = 0; i < 16; ++i) buffer.data()[i] = static_cast<std::uint8_t>(0x41 + i);
  EXPECT_EQ(FormatHexLine(buffer, 0),
            "00000 : 41 42 43 44 45 46 47 48 - 49 4A 4B 4C 4D 4E 4F 50   ABCDEFGHIJKLMNOP");
  EXPECT_EQ(FormatHexLine(buffer, 16),
            "00010 : FF FF FF FF FF FF FF FF - FF FF FF FF FF FF FF FF   ................");
}

TEST(HexViewTest, OnlyPrintableBytesAppearAsCharacters) {
  MemoryBuffer buffer(kEepromBufferBytes);
  const std::uint8_t bytes[] = {0x00, 0x7F, 0x80, 0xFF, 0x20, 0x7E, 0x1F, 0x21};
  std::memcpy(buffer.data() + 32, bytes, sizeof bytes);
  const std::string line = FormatHexLine(buffer, 32);
  EXPECT_EQ(line.substr(line.size() - 16), std::string("...."
                                                       " ~.!") +
                                               "........");
}

TEST(HexViewTest, RowCountsAndLastRows) {
  struct Case {
    std::uint32_t capacity;
    std::uint32_t rows;
    const char* lastRowStart;
  };
  for (const Case& c :
       {Case{kFlashBufferBytes, 20480, "4FFF0 : "}, Case{kEepromBufferBytes, 512, "01FF0 : "}}) {
    MemoryBuffer buffer(c.capacity);
    HexView view(buffer);
    EXPECT_EQ(view.RowCount(), c.rows);
    EXPECT_EQ(view.RowText(c.rows - 1).rfind(c.lastRowStart, 0), 0u) << view.RowText(c.rows - 1);
    EXPECT_EQ(view.RowText(c.rows), "");
  }
}

TEST(HexViewTest, BeyondTheBufferOrWithoutStorageNothingIsShown) {
  MemoryBuffer none(0);
  EXPECT_EQ(HexRowCount(none), 0u);
  EXPECT_EQ(FormatHexLine(none, 0), "");
  MemoryBuffer small(20);  // a last row of four bytes
  EXPECT_EQ(HexRowCount(small), 2u);
  EXPECT_EQ(FormatHexLine(small, 16), "00010 : FF FF FF FF   ....");
  EXPECT_EQ(FormatHexLine(small, 20), "");
}

TEST(HexViewTest, RowsInsideTheChipAreBlueAndBeyondRed) {
  EXPECT_EQ(HexRowColourFor(0, 8192), HexRowColour::Blue);
  EXPECT_EQ(HexRowColourFor(511, 8192), HexRowColour::Blue);
  EXPECT_EQ(HexRowColourFor(512, 8192), HexRowColour::Red);
  EXPECT_EQ(HexRowColourFor(0, 0), HexRowColour::Red);   // no chip selected
  EXPECT_EQ(HexRowColourFor(0, 15), HexRowColour::Red);  // rounded down
  EXPECT_EQ(HexRowRgb(HexRowColour::Blue), 0x0000FFu);
  EXPECT_EQ(HexRowRgb(HexRowColour::Red), 0xFF0000u);
}

TEST(HexViewTest, RowsFollowTheBufferWithoutBeingStored) {
  MemoryBuffer buffer(kEepromBufferBytes);
  HexView view(buffer);
  const std::uint32_t before = view.generation();
  buffer.data()[0x1FF5] = 'Z';
  view.RefillHexView();
  EXPECT_NE(view.generation(), before);
  EXPECT_EQ(view.RowText(0x1FF),
            "01FF0 : FF FF FF FF FF 5A FF FF - FF FF FF FF FF FF FF FF   .....Z..........");
}

}  // namespace
}  // namespace bq
