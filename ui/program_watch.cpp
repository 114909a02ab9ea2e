#include "ui/program_watch.h"

#include <system_error>

#include "core/utf8_path.h"

namespace bq {

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  std::error_code ec;
  const std::filesystem::path p = PathFromUtf8(path);
  if (!std::filesystem::is_regular_file(p, ec)) return stamp;
  stamp.time = std::filesystem::last_write_time(p, ec);
  if (ec) return {};
  stamp.size = std::filesystem::file_size(p, ec);
  if (ec) return {};
  stamp.exists = true;
  return stamp;
}

void ProgramWatch::Begin(const std::string& path) {
  active_ = true;
  path_ = path;
  seen_ = programmed_ = StampOf(path);
}

void ProgramWatch::End() {
  active_ = false;
  path_.clear();
}

bool ProgramWatch::Due(bool idle) {
  if (!active_) return false;
  const FileStamp now = StampOf(path_);
  const bool settled = now == seen_;
  seen_ = now;
  // A file taken away (a clean build) is waited for until it is back.
  if (!settled || !now.exists || now == programmed_ || !idle) return false;
  programmed_ = now;
  return true;
}

}  // namespace bq
