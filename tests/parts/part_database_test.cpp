// Lookups, selection and name enumeration of the part database.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parts/part_database.h"
#include "tests/parts/part_list_files.h"

namespace bq {
namespace {

// A loaded database built directly, as the reader would leave it.
PartDatabase Loaded(const std::vector<std::pair<std::string, std::uint32_t>>& parts) {
  PartDatabase db;
  for (const auto& [name, signature] : parts) db.RecordFor(name).signature = signature;
  db.FinishLoad();
  return db;
}

std::vector<std::string> Enumerate(PartDatabase& db, int calls) {
  std::vector<std::string> seen;
  std::string name;
  for (int i = 0; i < calls; ++i) seen.push_back(db.NextPartName(name) ? name : "<false>");
  return seen;
}

TEST(PartDatabase, EnumeratesNamesInByteOrderThenFalseThenAgain) {
  PartDatabase db = Loaded({{"B", 1}, {"a", 2}, {"A", 3}});
  EXPECT_EQ(Enumerate(db, 5), (std::vector<std::string>{"A", "B", "a", "<false>", "A"}));
}

TEST(PartDatabase, AnEnumerationStoppedHalfWayResumesAndALoadRewindsIt) {
  PartDatabase db = Loaded({{"P1", 1}, {"P2", 2}, {"P3", 3}});
  EXPECT_EQ(Enumerate(db, 1), std::vector<std::string>{"P1"});
  EXPECT_EQ(Enumerate(db, 3), (std::vector<std::string>{"P2", "P3", "<false>"}));
  EXPECT_EQ(Enumerate(db, 2), (std::vector<std::string>{"P1", "P2"}));
  ASSERT_EQ(test::LoadText(db, test::kDemo8), 1);
  EXPECT_EQ(Enumerate(db, 3), (std::vector<std::string>{"DEMO-8", "<false>", "DEMO-8"}));
}

TEST(PartDatabase, ACopyEnumeratesOnItsOwn) {
  PartDatabase db = Loaded({{"P1", 1}, {"P2", 2}});
  std::string name;
  ASSERT_TRUE(db.NextPartName(name));
  PartDatabase copy = db;
  db.ClearParts();
  EXPECT_EQ(Enumerate(copy, 2), (std::vector<std::string>{"P2", "<false>"}));
}

TEST(PartDatabase, NothingWorksOnADatabaseThatIsNotLoaded) {
  PartDatabase db;
  db.RecordFor("X").signature = 7;  // records, but no finished load
  std::string name = "stale";
  EXPECT_FALSE(db.NextPartName(name));
  EXPECT_EQ(name, "");
  EXPECT_FALSE(db.SelectPartByName("X"));
  EXPECT_FALSE(db.SelectPartBySignature(7));
  EXPECT_FALSE(db.selected());
  // The name lookup does not care about loading.
  EXPECT_EQ(db.PartNameForSignature(7), "X");
  EXPECT_EQ(PartDatabase().PartNameForSignature(7), "Unknown");
}

TEST(PartDatabase, SelectionByNameIsCaseSensitiveAndKeepsTheOldSelectionOnFailure) {
  PartDatabase db = Loaded({{"ATtiny13", 1}, {"ATmega8", 2}});
  ASSERT_TRUE(db.SelectPartByName("ATmega8"));
  EXPECT_TRUE(db.SelectPartByName("ATmega8"));
  EXPECT_FALSE(db.SelectPartByName("atmega8"));
  EXPECT_FALSE(db.SelectPartByName("Nope"));
  EXPECT_TRUE(db.selected());
  EXPECT_EQ(db.selectedName(), "ATmega8");
  EXPECT_EQ(db.SelectedPart().signature, 2u);
  EXPECT_EQ(db.size(), 2u);
}

TEST(PartDatabase, SelectionBySignatureClearsTheOldSelectionWhenNothingMatches) {
  PartDatabase db = Loaded({{"ATtiny13", 0x1E9007}, {"ATmega8", 0x1E9307}});
  ASSERT_TRUE(db.SelectPartBySignature(0x1E9007));
  EXPECT_EQ(db.selectedName(), "ATtiny13");
  EXPECT_FALSE(db.SelectPartBySignature(0x1E9999));
  EXPECT_FALSE(db.selected());
  EXPECT_EQ(db.selectedName(), "");
  // All 32 bits count.
  EXPECT_FALSE(db.SelectPartBySignature(0x011E9307));
  EXPECT_EQ(db.PartNameForSignature(0x1E9999), "Unknown");
}

TEST(PartDatabase, ASharedSignatureFindsTheNameThatSortsFirst) {
  PartDatabase db = Loaded({{"Zeta", 0x1E9205}, {"Alpha", 0x1E9205}, {"alpha", 0x1E9205}});
  EXPECT_EQ(db.PartNameForSignature(0x1E9205), "Alpha");
  ASSERT_TRUE(db.SelectPartBySignature(0x1E9205));
  EXPECT_EQ(db.selectedName(), "Alpha");
}

TEST(PartDatabase, SelectedPartWithoutASelectionIsEmptyAndAddsNothing) {
  PartDatabase db = Loaded({{"", 5}, {"P", 6}});
  EXPECT_EQ(db.SelectedPart().signature, 0u);
  EXPECT_EQ(db.size(), 2u);
}

TEST(PartDatabase, ListsAreCopiedOnlyForASelectedPartThatHasThem) {
  PartDatabase db;
  ASSERT_EQ(test::LoadText(db, std::string(test::kDemo8) +
                                   R"(<AVRPART name="PLAIN" signature="0x1E0001"></AVRPART>)"),
            2);
  BitFieldMap fuses;
  fuses[7].name = "earlier";
  BitFieldMap locks = fuses;
  OsccalMap osccal;
  osccal[3].label = "earlier";

  EXPECT_FALSE(db.GetFuseBits(fuses));  // nothing selected
  ASSERT_TRUE(db.SelectPartByName("PLAIN"));
  EXPECT_FALSE(db.GetFuseBits(fuses));
  EXPECT_FALSE(db.GetLockBits(locks));
  EXPECT_FALSE(db.GetOsccalEntries(osccal));
  EXPECT_EQ(fuses.at(7).name, "earlier");
  EXPECT_EQ(locks.at(7).name, "earlier");
  EXPECT_EQ(osccal.at(3).label, "earlier");

  ASSERT_TRUE(db.SelectPartByName("DEMO-8"));
  ASSERT_TRUE(db.GetFuseBits(fuses));
  ASSERT_TRUE(db.GetLockBits(locks));
  ASSERT_TRUE(db.GetOsccalEntries(osccal));
  EXPECT_EQ(fuses.size(), 3u);  // the earlier entry is gone
  EXPECT_EQ(fuses.at(2).name, "EESAVE");
  EXPECT_EQ(locks.size(), 1u);
  EXPECT_EQ(osccal.size(), 1u);
  EXPECT_EQ(osccal.at(0).label, "8.0 MHz");
}

TEST(PartRecord, DerivedSizesFollowThePageGeometry) {
  PartRecord r;
  r.flashPageSizeW = 64;
  r.flashNoOfPages = 256;
  r.eepromPageSize = 8;
  r.eepromNoOfPages = 128;
  EXPECT_EQ(r.FlashBytes(), 32768u);
  EXPECT_EQ(r.EepromBytes(), 1024u);
}

}  // namespace
}  // namespace bq
