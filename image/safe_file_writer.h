#pragma once
// Writes a file so that a failed save never destroys the file it was meant to replace:
// the bytes go to a temporary file beside the target, which replaces the target only
// after every write and the close have succeeded.

#include <cstddef>
#include <cstdio>
#include <string>

namespace bq {

class SafeFileWriter {
 public:
  SafeFileWriter() = default;
  SafeFileWriter(const SafeFileWriter&) = delete;
  SafeFileWriter& operator=(const SafeFileWriter&) = delete;
  // Removes the temporary file when the save was not committed.
  ~SafeFileWriter();

  // Creates the temporary file for target. False when target names a directory or the
  // temporary file cannot be created (missing folder, no permission).
  bool open(const std::string& target);
  // False once any write has failed; later writes are ignored.
  bool write(const void* bytes, std::size_t count);
  // Flushes and closes the temporary file and moves it over the target. False on any
  // failure, in which case the target is left as it was.
  bool commit();
  // Why open, write or commit failed, as the system says it ("No space left on device",
  // "Read-only file system") or "the name is a folder"; empty while nothing failed.
  const std::string& error() const { return error_; }

 private:
  void discard();
  bool fail(const std::string& why);
  bool failWithErrno(int error);

  std::FILE* file_ = nullptr;
  std::string target_;
  std::string temporary_;
  bool failed_ = false;
  std::string error_;
};

}  // namespace bq
