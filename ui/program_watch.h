#pragma once
// Chip > "Program again when the file changes": while it is checked, the image file of the
// FLASH buffer is looked at on each tick of a front-end timer, and each change to it (its
// modification time or its size) makes the chip be programmed again, for the
// edit-build-flash loop. A change is acted on once the file has stayed the same for one
// tick (a build may still be writing it) and no job runs; changes made while the chip is
// being programmed are taken up when it is done.

#include <cstdint>
#include <filesystem>
#include <string>

namespace bq {

// What the watch compares of a file.
struct FileStamp {
  bool exists = false;
  std::filesystem::file_time_type time{};
  std::uintmax_t size = 0;
  bool operator==(const FileStamp& other) const {
    return exists == other.exists && time == other.time && size == other.size;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};
FileStamp StampOf(const std::string& path);

class ProgramWatch {
 public:
  // Watches path (UTF-8); the file as it is now is not programmed again.
  void Begin(const std::string& path);
  void End();
  bool active() const { return active_; }
  const std::string& path() const { return path_; }
  // One tick of the timer: true when the file changed since it was last programmed (or
  // since Begin), has not changed since the last tick, and idle: the caller programs it now.
  bool Due(bool idle);

 private:
  bool active_ = false;
  std::string path_;
  FileStamp seen_;        // at the last tick
  FileStamp programmed_;  // at Begin or at the last time Due said yes
};

}  // namespace bq
