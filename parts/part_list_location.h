#pragma once
// Where the programs find PartList.cfg when no file is named: in the current folder, then next
// to the executable, then in ../share/brindlequartz/ relative to the executable. The first
// place that has the file is the one used; if that file does not load, that is the error and
// no other place is tried, so a broken list is never silently replaced by another one.

#include <filesystem>
#include <string>
#include <vector>

#include "parts/part_database.h"

namespace bq {

struct PartListSearch {
  std::filesystem::path found;               // the file to load; empty when no place has one
  std::vector<std::filesystem::path> tried;  // the places looked at, in order, up to found
};

// The places in order. An empty executableFolder (unknown) leaves out the places relative to
// it; a place that repeats an earlier one is left out.
std::vector<std::filesystem::path> PartListPlaces(const std::filesystem::path& currentFolder,
                                                  const std::filesystem::path& executableFolder);

// The first place where something named PartList.cfg is present (also a file that cannot be
// read: that is then the error to report).
PartListSearch FindPartList(const std::filesystem::path& currentFolder,
                            const std::filesystem::path& executableFolder);

// "no PartList.cfg found; looked for A, B and C": the places tried, for when none had the file.
std::string PartListNotFoundText(const PartListSearch& search);

// Loads search.found into db. False with a one-line reason when no place had the file (naming
// every place tried), the file cannot be read (naming it and why) or it holds no part.
bool LoadFoundPartList(PartDatabase& db, const PartListSearch& search, std::string& error);

}  // namespace bq
