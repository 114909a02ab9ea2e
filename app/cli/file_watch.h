#pragma once
// Watching image files for `program --watch`: a file has changed when its time of last
// change or its size is not what it was; a change is taken once the file has stayed the
// same for a moment, so a file a build is still writing is not programmed half-written.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace bq::cli {

class FileWatch {
 public:
  explicit FileWatch(std::vector<std::string> files);

  // Takes the files as they are now as the state to compare with.
  void Rebase();
  // The first file that differs from the state last taken; nullopt when none does. A file
  // that is missing differs only once it is there again.
  std::optional<std::string> Changed() const;

 private:
  struct Stamp {
    bool present = false;
    std::filesystem::file_time_type time{};
    std::uintmax_t size = 0;
    bool operator==(const Stamp& o) const {
      return present == o.present && (!present || (time == o.time && size == o.size));
    }
  };
  static Stamp Take(const std::string& file);

  std::vector<std::string> files_;
  std::vector<Stamp> stamps_;
};

}  // namespace bq::cli
