#include "parts/part_list_location.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>

namespace bq {
namespace {

constexpr const char* kFileName = "PartList.cfg";

}  // namespace

std::vector<std::filesystem::path> PartListPlaces(const std::filesystem::path& currentFolder,
                                                  const std::filesystem::path& executableFolder) {
  std::vector<std::filesystem::path> places{(currentFolder / kFileName).lexically_normal()};
  if (!executableFolder.empty()) {
    places.push_back((executableFolder / kFileName).lexically_normal());
    places.push_back(
        (executableFolder / ".." / "share" / "brindlequartz" / kFileName).lexically_normal());
  }
  std::vector<std::filesystem::path> unique;
  for (auto& place : places) {
    if (std::find(unique.begin(), unique.end(), place) == unique.end()) {
      unique.push_back(std::move(place));
    }
  }
  return unique;
}

PartListSearch FindPartList(const std::filesystem::path& currentFolder,
                            const std::filesystem::path& executableFolder) {
  PartListSearch search;
  for (auto& place : PartListPlaces(currentFolder, executableFolder)) {
    search.tried.push_back(place);
    std::error_code ec;
    // Only "not there" moves on: a place that cannot even be looked at is reported, not skipped.
    if (std::filesystem::status(place, ec).type() != std::filesystem::file_type::not_found) {
      search.found = std::move(place);
      break;
    }
  }
  return search;
}

std::string PartListNotFoundText(const PartListSearch& search) {
  std::string text = std::string("no ") + kFileName + " found; looked for ";
  for (std::size_t i = 0; i < search.tried.size(); ++i) {
    if (i > 0) text += i + 1 == search.tried.size() ? " and " : ", ";
    text += search.tried[i].string();
  }
  return text;
}

bool LoadFoundPartList(PartDatabase& db, const PartListSearch& search, std::string& error) {
  if (search.found.empty()) {
    error = PartListNotFoundText(search);
    return false;
  }
  const std::string file = search.found.string();
  std::error_code ec;
  if (std::filesystem::is_directory(search.found, ec)) {
    error = "the part list " + file + " cannot be read: it is a folder";
    return false;
  }
  errno = 0;
  if (!std::ifstream(search.found, std::ios::binary)) {
    const int why = errno;
    error = "the part list " + file + " cannot be read";
    if (why != 0) error += ": " + std::generic_category().message(why);
    return false;
  }
  if (LoadPartList(db, file) <= 0) {
    error = "the part list " + file + " holds no part";
    return false;
  }
  return true;
}

}  // namespace bq
