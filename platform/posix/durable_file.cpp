#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bq {

namespace {

bool Failed(std::string* why, const std::string& what) {
  if (why != nullptr) *why = what + ": " + std::strerror(errno);
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The folder's entry of a renamed file reaches the disk only with the folder itself.
void SyncFolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool AppendFileDurably(const std::string& path, const std::string& text, std::string* why) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Failed(why, "cannot open " + path);
  const bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return ok || Failed(why, "cannot write " + path);
}

bool ReplaceFileDurably(const std::string& path, const std::string& text, std::string* why) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Failed(why, "cannot create " + temporary);
  const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  if (!written) return Failed(why, "cannot write " + temporary);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return Failed(why, "cannot replace " + path);
  SyncFolderOf(path);
  return true;
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing releases the lock
}

bool FileLock::TryLock(const std::string& path, bool* busy, std::string* why) {
  if (busy != nullptr) *busy = false;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Failed(why, "cannot open " + path);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    if (busy != nullptr) *busy = error == EWOULDBLOCK;
    return Failed(why, "cannot lock " + path);
  }
  handle_ = fd;
  return true;
}

}  // namespace bq
