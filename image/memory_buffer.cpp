#include "image/memory_buffer.h"

#include <algorithm>
#include <new>

namespace bq {

MemoryBuffer::MemoryBuffer(std::uint32_t capacity) {
  if (capacity == 0) return;
  // nothrow: a failed allocation leaves data() null, which start-up reports to the user.
  data_.reset(new (std::nothrow) std::uint8_t[capacity]);
  if (!data_) return;
  lastIndex_ = capacity - 1;
  std::fill_n(data_.get(), capacity, std::uint8_t{0xFF});
}

void ClearBuffer(MemoryBuffer& buffer) {
  if (buffer.data() == nullptr) return;
  std::fill_n(buffer.data(), buffer.capacity(), std::uint8_t{0xFF});
}

std::string StoredFileName(const MemoryBuffer& buffer) {
  const std::string& path = buffer.filePath();
  // Both separators count: paths come from Windows dialogs as well as from POSIX shells.
  const auto cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return path;
  return path.substr(cut + 1);
}

}  // namespace bq
