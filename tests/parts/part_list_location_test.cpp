// Where the programs find PartList.cfg without being told, and what they say when they cannot.

#include "parts/part_list_location.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/parts/part_list_files.h"

namespace bq::test {
namespace {

namespace fs = std::filesystem;

// A user's folder and an installed program: PREFIX/bin/program, PREFIX/share/brindlequartz/.
struct Install {
  ScratchFolder root;
  fs::path work = root.path() / "work";
  fs::path bin = root.path() / "prefix" / "bin";
  fs::path share = root.path() / "prefix" / "share" / "brindlequartz";
  Install() {
    for (const auto& folder : {work, bin, share}) fs::create_directories(folder);
  }
  void Put(const fs::path& folder, std::string_view text) const {
    std::ofstream(folder / "PartList.cfg", std::ios::binary) << text;
  }
};

TEST(PartListLocation, TheFirstPlaceThatHasTheFileIsUsed) {
  enum Place { kWork = 1, kBin = 2, kShare = 4 };
  struct Case {
    int present;
    int found;  // 0: none
    std::size_t tried;
  };
  const Case cases[] = {
      {kWork | kBin | kShare, kWork, 1}, {kBin | kShare, kBin, 2}, {kShare, kShare, 3}, {0, 0, 3}};
  for (const Case& c : cases) {
    Install at;
    if (c.present & kWork) at.Put(at.work, kDemo8);
    if (c.present & kBin) at.Put(at.bin, kDemo8);
    if (c.present & kShare) at.Put(at.share, kDemo8);
    const PartListSearch search = FindPartList(at.work, at.bin);
    const fs::path expected = c.found == kWork    ? at.work / "PartList.cfg"
                              : c.found == kBin   ? at.bin / "PartList.cfg"
                              : c.found == kShare ? at.share / "PartList.cfg"
                                                  : fs::path();
    EXPECT_EQ(search.found, expected) << c.present;
    EXPECT_EQ(search.tried.size(), c.tried) << c.present;
    PartDatabase db;
    std::string error;
    EXPECT_EQ(LoadFoundPartList(db, search, error), c.found != 0) << error;
    EXPECT_EQ(db.Find("DEMO-8") != nullptr, c.found != 0);
  }
}

TEST(PartListLocation, PlacesAreListedOnceAndOnlyWhenKnown) {
  Install at;
  EXPECT_EQ(PartListPlaces(at.work, {}), std::vector<fs::path>{at.work / "PartList.cfg"});
  EXPECT_EQ(PartListPlaces(at.bin, at.bin),
            (std::vector<fs::path>{at.bin / "PartList.cfg", at.share / "PartList.cfg"}));
}

TEST(PartListLocation, AListThatDoesNotLoadIsTheErrorNeverAnotherList) {
  Install at;
  at.Put(at.bin, kDemo8);
  // Nowhere: every place tried is named.
  std::string error;
  PartDatabase db;
  ASSERT_FALSE(LoadFoundPartList(db, FindPartList(at.work, at.root.path() / "elsewhere"), error));
  EXPECT_EQ(error, "no PartList.cfg found; looked for " + (at.work / "PartList.cfg").string() +
                       ", " + (at.root.path() / "elsewhere" / "PartList.cfg").string() + " and " +
                       (at.root.path() / "share" / "brindlequartz" / "PartList.cfg").string());

  // A list without parts in the current folder hides the good one next to the program.
  at.Put(at.work, "<AVRPART>");
  ASSERT_FALSE(LoadFoundPartList(db, FindPartList(at.work, at.bin), error));
  EXPECT_EQ(error, "the part list " + (at.work / "PartList.cfg").string() + " holds no part");

  // So does a folder of that name.
  fs::remove(at.work / "PartList.cfg");
  fs::create_directory(at.work / "PartList.cfg");
  ASSERT_FALSE(LoadFoundPartList(db, FindPartList(at.work, at.bin), error));
  EXPECT_EQ(error, "the part list " + (at.work / "PartList.cfg").string() +
                       " cannot be read: it is a folder");
}

}  // namespace
}  // namespace bq::test
