// The names a part answers to, and the suggestions for a name that fits no part.

#include "parts/part_names.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/nearest.h"
#include "core/text.h"

namespace bq {
namespace {

using Names = std::vector<std::string>;

PartDatabase Parts(const Names& names) {
  PartDatabase db;
  for (const std::string& name : names) db.RecordFor(name).signature = 0x1E0000;
  db.FinishLoad();
  return db;
}

TEST(PartNames, ShortIdsFollowOneRule) {
  const std::map<std::string, std::string> cases = {{"ATmega328P", "m328p"},
                                                    {"ATtiny85", "t85"},
                                                    {"AT90USB1287", "usb1287"},
                                                    {"AT90CAN128", "can128"},
                                                    {"ATMEGA8", "m8"},
                                                    {"ATmega128RFA1", "m128rfa1"},
                                                    {"ATmega", ""},
                                                    {"AT90PWM3B", ""},
                                                    {"DEMO-8", ""},
                                                    {"", ""}};
  for (const auto& [name, id] : cases) EXPECT_EQ(PartShortId(name), id) << name;
}

TEST(PartNames, ExactNameThenAnyCaseThenShortIdAndNeverAGuess) {
  const PartDatabase db =
      Parts({"ATmega328P", "ATtiny85", "AT90USB1287", "ATmega8", "ATMEGA8", "m16"});
  const std::map<std::string, std::string> cases = {
      {"ATmega328P", "ATmega328P"},
      {"atmega328p", "ATmega328P"},
      {"M328P", "ATmega328P"},
      {"t85", "ATtiny85"},
      {"ATTINY85", "ATtiny85"},
      {"usb1287", "AT90USB1287"},
      {"ATmega8", "ATmega8"},  // the exact name wins over the other spelling
      {"ATMEGA8", "ATMEGA8"},
      {"m16", "m16"},
      {"atmega8", ""},  // fits two parts in any case: no guess
      {"m8", ""},       // the short id of both
      {"t86", ""},
      {"", ""},
  };
  for (const auto& [given, expected] : cases) {
    std::string canonical = "untouched";
    const PartRecord* record = FindPartByAnyName(db, given, &canonical);
    if (expected.empty()) {
      EXPECT_EQ(record, nullptr) << given;
      EXPECT_EQ(canonical, "untouched") << given;
    } else {
      EXPECT_EQ(record, db.Find(expected)) << given;
      EXPECT_EQ(canonical, expected) << given;
    }
  }
  EXPECT_EQ(FindPartByAnyName(db, "t85", nullptr), db.Find("ATtiny85"));
}

TEST(NearestNames, OffersOnlyCloseNamesClosestFirst) {
  const Names commands = {"read", "write", "verify", "erase", "parts", "part", "ports"};
  struct Case {
    std::string given;
    std::size_t max;
    Names expected;
  };
  const Case cases[] = {
      {"raed", 3, {"read"}},            // two neighbours swapped
      {"VERFY", 3, {"verify"}},         // a letter missing, any case
      {"prts", 3, {"parts", "ports"}},  // "part" is two edits away
      {"prts", 1, {"parts"}},
      {"partss", 3, {"parts", "part", "ports"}},
      {"flash", 3, {}},
      {"", 3, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NearestNames(c.given, commands, c.max), c.expected) << c.given;
  EXPECT_EQ(NearestNames("x", {"y", "y"}, 3), Names{"y"})
      << "a candidate listed twice is given once";
}

TEST(NearestNames, SuggestsPartsByNameOrShortId) {
  const PartDatabase db = Parts({"ATmega328", "ATmega328P", "ATmega32", "ATtiny85", "ATtiny45"});
  EXPECT_EQ(NearestPartNames(db, "atmega329", 3), (Names{"ATmega32", "ATmega328", "ATmega328P"}));
  EXPECT_EQ(NearestPartNames(db, "attiny58", 3), (Names{"ATtiny85", "ATtiny45"}));
  EXPECT_EQ(NearestPartNames(db, "t58", 3), (Names{"t85"}));
  EXPECT_EQ(NearestPartNames(db, "pic16f84", 3), Names{});
}

TEST(PartNames, ShippedListNamesEveryPartUniquely) {
  PartDatabase db;
  ASSERT_GT(LoadPartList(db, std::string(BQ_SOURCE_DIR) + "/PartList.cfg"), 0);
  std::set<std::string> ids, lowerNames;
  for (const auto& [name, record] : db.parts()) {
    const std::string lower = ToLowerAscii(name);
    EXPECT_TRUE(lowerNames.insert(lower).second) << name << ": another part has this name";
    const std::string id = PartShortId(name);
    if (id.empty()) continue;
    EXPECT_TRUE(ids.insert(id).second) << name << ": short id " << id << " is taken";
    EXPECT_EQ(FindPartByAnyName(db, id, nullptr), &record) << id;
    EXPECT_EQ(FindPartByAnyName(db, lower, nullptr), &record) << lower;
  }
  for (const char* id : {"m328p", "t85", "usb1287", "can128", "t1614", "t3217", "m4809"}) {
    EXPECT_EQ(ids.count(id), 1u) << id;
  }
  EXPECT_EQ(PartShortId("AVR128DA48"), "");  // the rule gives AVR Dx parts no short id
  EXPECT_NE(db.Find("AVR128DA48"), nullptr);
}

}  // namespace
}  // namespace bq
