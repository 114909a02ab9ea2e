// Hand-made malformed part lists in tests/parts/malformed/: what each one loads as.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "parts/part_database.h"

namespace bq {
namespace {

struct MalformedCase {
  std::string file;
  std::vector<std::string> names;  // every part the file yields, in byte order
  std::function<void(const PartDatabase&)> check;
};

void NoCheck(const PartDatabase&) {}

const std::vector<MalformedCase>& Cases() {
  static const std::vector<MalformedCase> cases = {
      {"empty.cfg", {}, NoCheck},
      {"no_tags.cfg", {}, NoCheck},
      {"all_rejected.cfg", {}, NoCheck},
      {"truncated_tag.cfg", {"GOOD"},
       [](const PartDatabase& db) { EXPECT_EQ(db.Find("GOOD")->hvMode, 3); }},
      {"truncated_body.cfg", {"GOOD"},
       [](const PartDatabase& db) {
         const auto& fuses = db.Find("GOOD")->fuseBits;
         ASSERT_EQ(fuses.size(), 1u);
         ASSERT_EQ(fuses.at(0).choices.size(), 1u);
         EXPECT_EQ(fuses.at(0).choices.at(0).text, "one");
       }},
      {"missing_enumerator_close.cfg", {"FIRST"},
       [](const PartDatabase& db) {
         const auto& lock = db.Find("FIRST")->lockBits;
         ASSERT_EQ(lock.size(), 1u);
         ASSERT_EQ(lock.at(0).choices.size(), 3u);
         EXPECT_EQ(lock.at(0).choices.at(2).text, "on");
         EXPECT_TRUE(db.Find("FIRST")->fuseBits.empty());
       }},
      {"missing_avrpart_close.cfg", {"FIRST", "THIRD"},
       [](const PartDatabase& db) {
         const PartRecord& first = *db.Find("FIRST");
         EXPECT_EQ(first.signature, 0x1E9001u);
         EXPECT_EQ(first.FlashBytes(), 64u * 2u * 256u);
         EXPECT_EQ(first.EepromBytes(), 1024u);
       }},
      {"unbalanced_quotes.cfg", {"Q signature="},
       [](const PartDatabase& db) { EXPECT_EQ(db.Find("Q signature=")->signature, 0x1E9005u); }},
      {"stray_brackets.cfg", {"S3"},
       [](const PartDatabase& db) { EXPECT_EQ(db.Find("S3")->hvMode, 2); }},
      {"binary_garbage.cfg", {std::string("BIN\xE9\0X", 6)},
       [](const PartDatabase& db) {
         const PartRecord& r = db.parts().begin()->second;
         EXPECT_EQ(r.signature, 0x1E9009u);
         ASSERT_EQ(r.osccal.size(), 1u);
         EXPECT_EQ(r.osccal.at(0).label, "\x80\x81");
         EXPECT_EQ(r.osccal.at(0).address, 0);
       }},
      {"mixed_line_ends.cfg", {"MIX"},
       [](const PartDatabase& db) {
         const PartRecord& r = *db.Find("MIX");
         EXPECT_EQ(r.signature, 0x1E900Au);
         EXPECT_EQ(r.FlashBytes(), 32u * 2u * 128u);
         EXPECT_EQ(r.EepromBytes(), 32u);
       }},
      {"fields_outside_bytes.cfg", {"F"},
       [](const PartDatabase& db) {
         const PartRecord& r = *db.Find("F");
         EXPECT_TRUE(r.fuseBits.empty());
         ASSERT_EQ(r.lockBits.size(), 1u);
         EXPECT_EQ(r.lockBits.at(0).name, "L");
         EXPECT_EQ(r.lockBits.at(0).mask, 0);
       }},
  };
  return cases;
}

TEST(MalformedPartLists, EachLoadsAsExpected) {
  for (const MalformedCase& c : Cases()) {
    SCOPED_TRACE(c.file);
    PartDatabase db;
    const std::int32_t count =
        LoadPartList(db, std::string(BQ_SOURCE_DIR) + "/tests/parts/malformed/" + c.file);
    ASSERT_EQ(count, static_cast<std::int32_t>(c.names.size()));
    EXPECT_EQ(db.loaded(), count > 0);
    std::vector<std::string> names;
    for (const auto& [name, record] : db.parts()) names.push_back(name);
    EXPECT_EQ(names, c.names);
    c.check(db);
  }
}

}  // namespace
}  // namespace bq
