#include "app/cli/file_watch.h"

#include "core/utf8_path.h"

namespace bq::cli {

FileWatch::FileWatch(std::vector<std::string> files) : files_(std::move(files)) {
  Rebase();
}

FileWatch::Stamp FileWatch::Take(const std::string& file) {
  Stamp stamp;
  std::error_code ec;
  const std::filesystem::path path = PathFromUtf8(file);
  stamp.time = std::filesystem::last_write_time(path, ec);
  if (ec) return stamp;
  stamp.size = std::filesystem::file_size(path, ec);
  stamp.present = !ec;
  return stamp;
}

void FileWatch::Rebase() {
  stamps_.clear();
  for (const std::string& file : files_) stamps_.push_back(Take(file));
}

std::optional<std::string> FileWatch::Changed() const {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const Stamp now = Take(files_[i]);
    if (now.present && !(now == stamps_[i])) return files_[i];
  }
  return std::nullopt;
}

}  // namespace bq::cli
