#include "image/safe_file_writer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/utf8_path.h"

namespace bq {

namespace fs = std::filesystem;

SafeFileWriter::~SafeFileWriter() {
  discard();
}

bool SafeFileWriter::fail(const std::string& why) {
  if (error_.empty()) error_ = why;
  return false;
}

bool SafeFileWriter::failWithErrno(int error) {
  return fail(error != 0 ? std::strerror(error) : "the file could not be written");
}

bool SafeFileWriter::open(const std::string& target) {
  discard();
  failed_ = false;
  error_.clear();
  if (target.empty()) return fail("no file name");
  std::error_code ec;
  fs::path resolved = PathFromUtf8(target);
  // Saving through a symbolic link replaces the file it points to, not the link.
  if (fs::is_symlink(fs::symlink_status(resolved, ec))) {
    const fs::path real = fs::weakly_canonical(resolved, ec);
    if (ec) return fail(ec.message());
    resolved = real;
  }
  const fs::file_status status = fs::status(resolved, ec);
  if (fs::is_directory(status)) return fail("the name is a folder");
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    return fail("the name is not a regular file");
  }
  target_ = Utf8FromPath(resolved);

  // A name that no file uses yet, so that no unrelated file of the user is overwritten.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = target_ + ".bq" + std::to_string(attempt) + ".tmp";
    if (fs::exists(fs::symlink_status(PathFromUtf8(candidate), ec))) continue;
    errno = 0;
    file_ = OpenFileUtf8(candidate, "wb");
    if (file_ == nullptr) return failWithErrno(errno);
    temporary_ = std::move(candidate);
    return true;
  }
  return fail("no free name for a temporary file beside it");
}

bool SafeFileWriter::write(const void* bytes, std::size_t count) {
  if (file_ == nullptr || failed_) return false;
  errno = 0;
  if (count != 0 && std::fwrite(bytes, 1, count, file_) != count) {
    failed_ = true;
    failWithErrno(errno);
  }
  return !failed_;
}

bool SafeFileWriter::commit() {
  if (file_ == nullptr) return fail("the file is not open");
  errno = 0;
  bool ok = !failed_ && std::fflush(file_) == 0 && std::ferror(file_) == 0;
  if (!ok) failWithErrno(errno);
  errno = 0;
  if (std::fclose(file_) != 0 && ok) {
    ok = false;
    failWithErrno(errno);
  }
  file_ = nullptr;
  if (!ok) {
    discard();
    return false;
  }
  std::error_code ec;
  // Keep the permissions of the file being replaced.
  const fs::path target = PathFromUtf8(target_);
  const fs::path temporary = PathFromUtf8(temporary_);
  const fs::file_status old = fs::status(target, ec);
  if (!ec && fs::is_regular_file(old)) {
    fs::permissions(temporary, old.permissions(), fs::perm_options::replace, ec);
  }
  fs::rename(temporary, target, ec);
  if (ec) {
    fail(ec.message());
    discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void SafeFileWriter::discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_.empty()) {
    std::error_code ec;
    fs::remove(PathFromUtf8(temporary_), ec);
    temporary_.clear();
  }
}

}  // namespace bq
