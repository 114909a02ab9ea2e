#include "session/serial_numbers.h"

#include <gtest/gtest.h>

namespace bq {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Where --serial puts a number, byte by byte, and what it refuses.
TEST(SerialNumbers, PlacesTheNumberWhereTheOptionSays) {
  const struct {
    const char* place;
    std::uint64_t number;
    Bytes before, after;  // nullopt-like: an empty `after` means refused
    bool placed;
  } cases[] = {
      {"eeprom:0", 1000, {}, {0xE8, 0x03, 0x00, 0x00}, true},
      {"EEPROM:0:4:BE", 1000, {}, {0x00, 0x00, 0x03, 0xE8}, true},
      {"eeprom:2:2:le",
       0x1234,
       {0x11, 0x22, 0x33, 0x44, 0x55},
       {0x11, 0x22, 0x34, 0x12, 0x55},
       true},
      {"flash:0x3:3:be", 0xABCDEF, {}, {0xFF, 0xFF, 0xFF, 0xAB, 0xCD, 0xEF}, true},
      {"eeprom:0:1", 255, {}, {0xFF}, true},
      {"eeprom:0:1", 256, {0x11}, {0x11}, false},  // too big for one byte: nothing changes
      {"eeprom:0:8:be", 0x0102030405060708, {}, {1, 2, 3, 4, 5, 6, 7, 8}, true},
  };
  for (const auto& c : cases) {
    std::string why;
    const std::optional<SerialPlace> place = ParseSerialPlace(c.place, &why);
    ASSERT_TRUE(place) << c.place << ": " << why;
    Bytes image = c.before;
    EXPECT_EQ(PlaceSerialNumber(*place, c.number, image), c.placed) << c.place;
    EXPECT_EQ(image, c.after) << c.place;
  }
}

TEST(SerialNumbers, RefusesWhatIsNotAPlaceOrDoesNotFitTheMemory) {
  for (const char* bad : {"eeprom", "ram:0", "eeprom:x", "eeprom:-1", "eeprom:0:0", "eeprom:0:9",
                          "eeprom:0:4:middle", "eeprom:0:4:le:more", "eeprom::4"}) {
    std::string why;
    EXPECT_FALSE(ParseSerialPlace(bad, &why)) << bad;
    EXPECT_NE(why.find(bad), std::string::npos) << why;
  }
  const struct {
    const char* place;
    std::uint32_t memoryBytes;
    bool fits;
  } places[] = {
      {"eeprom:252:4", 256, true},
      {"eeprom:253:4", 256, false},
      {"eeprom:0:4", 0, false},
      {"flash:0xFFFFFFFF:8", 0xFFFFFFFF, false},
  };
  for (const auto& p : places) {
    const SerialPlace place = *ParseSerialPlace(p.place, nullptr);
    EXPECT_EQ(SerialPlaceProblem(place, p.memoryBytes, "ATtiny85").empty(), p.fits) << p.place;
  }
}

// The counter file, and a counter that hands a number out only once it is saved as used.
TEST(SerialNumbers, TheCounterSavesEachNumberAsUsedBeforeHandingItOut) {
  EXPECT_EQ(ParseSerialCounter(FormatSerialCounter(1003)), 1003u);
  EXPECT_EQ(ParseSerialCounter(" 42\r\n"), 42u);
  for (const char* bad : {"", "x", "-1", "12 13", "0x10", "99999999999999999999"}) {
    EXPECT_FALSE(ParseSerialCounter(bad)) << bad;
  }

  std::vector<std::uint64_t> saved;
  bool diskFull = false;
  SerialCounter counter(254, 255, [&](std::uint64_t next, std::string* why) {
    if (diskFull) {
      *why = "disk full";
      return false;
    }
    saved.push_back(next);
    return true;
  });
  std::uint64_t n = 0;
  std::string why;
  diskFull = true;
  EXPECT_FALSE(counter.Take(n, &why));
  EXPECT_EQ(why, "disk full");
  diskFull = false;
  ASSERT_TRUE(counter.Take(n, &why));
  EXPECT_EQ(n, 254u) << "a failed save hands nothing out and uses nothing up";
  ASSERT_TRUE(counter.Take(n, &why));
  EXPECT_EQ(n, 255u);
  EXPECT_FALSE(counter.Take(n, &why)) << "255 is the last number of one byte";
  EXPECT_EQ(saved, (std::vector<std::uint64_t>{255, 256}));
}

// The same --serial-start on every batch: the counter file's number wins unless the start
// is ahead of it.
TEST(SerialNumbers, ARunGoesOnFromTheCounterFileOrMovesItForward) {
  using N = std::optional<std::uint64_t>;
  const struct {
    N start, kept;
    std::uint64_t first;
  } cases[] = {{N{}, N{}, 1},      {1000, N{}, 1000},  {N{}, 1003, 1003},
               {1000, 1003, 1003}, {5000, 1003, 5000}, {1003, 1003, 1003}};
  for (const auto& c : cases) {
    EXPECT_EQ(FirstSerialNumber(c.start, c.kept), c.first)
        << c.start.value_or(0) << " " << c.kept.value_or(0);
  }
}

}  // namespace
}  // namespace bq
