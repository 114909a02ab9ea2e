#include "platform/durable_file.h"

#include <windows.h>

#include <algorithm>

#include "core/utf8_path.h"

namespace bq {

namespace {

std::string SystemText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message =
      n > 0 ? Utf8FromWide(std::wstring_view(text, n)) : "error " + std::to_string(error);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

bool Failed(std::string* why, const std::string& what) {
  if (why != nullptr) *why = what + ": " + SystemText(::GetLastError());
  return false;
}

bool WriteAll(HANDLE file, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
    if (!::WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
}

}  // namespace

bool AppendFileDurably(const std::string& path, const std::string& text, std::string* why) {
  // FILE_APPEND_DATA alone: every write goes to the end, also with other writers.
  HANDLE file = ::CreateFileW(WideFromUtf8(path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(why, "cannot open " + path);
  const bool ok = WriteAll(file, text) && ::FlushFileBuffers(file);
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  ::SetLastError(error);
  return ok || Failed(why, "cannot write " + path);
}

bool ReplaceFileDurably(const std::string& path, const std::string& text, std::string* why) {
  const std::string temporary = path + ".tmp";
  const std::wstring wideTemporary = WideFromUtf8(temporary);
  HANDLE file = ::CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(why, "cannot create " + temporary);
  const bool written = WriteAll(file, text) && ::FlushFileBuffers(file);
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  ::SetLastError(error);
  if (!written) return Failed(why, "cannot write " + temporary);
  if (!::MoveFileExW(wideTemporary.c_str(), WideFromUtf8(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Failed(why, "cannot replace " + path);
  }
  return true;
}

FileLock::~FileLock() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));  // releases the lock
}

bool FileLock::TryLock(const std::string& path, bool* busy, std::string* why) {
  if (busy != nullptr) *busy = false;
  HANDLE file = ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(why, "cannot open " + path);
  OVERLAPPED at{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ::SetLastError(error);
    if (busy != nullptr) *busy = error == ERROR_LOCK_VIOLATION;
    return Failed(why, "cannot lock " + path);
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

}  // namespace bq
