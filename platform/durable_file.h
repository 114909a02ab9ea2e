#pragma once
// Files that outlive a crash or a power cut, for production runs: a line appended to a log
// and a small file replaced whole (write a temporary file, flush it to the disk, rename it
// over the old one) are on the disk when the call returns; a lock that one run at a time
// holds on a file, released by the system when the process ends however it ends.
// Implemented once per system (platform/posix: fsync and flock; platform/win32:
// FlushFileBuffers and LockFileEx). File names are UTF-8.

#include <cstdint>
#include <string>

namespace bq {

// Appends text in one write and flushes it to the disk; false with the system's reason.
bool AppendFileDurably(const std::string& path, const std::string& text, std::string* why);

// Replaces the file's contents through PATH.tmp and a rename, so that a reader finds the old
// contents or the new ones, never a mix or nothing; false with the system's reason.
bool ReplaceFileDurably(const std::string& path, const std::string& text, std::string* why);

// An exclusive lock on a file (created when missing, left in place afterwards).
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock without waiting. False when another process holds it (*busy true) or
  // the file cannot be opened (*busy false, the reason in *why).
  bool TryLock(const std::string& path, bool* busy, std::string* why);

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace bq
