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

std::optional<std::uint32_t> FirstProgrammedByteFrom(const MemoryBuffer& buffer,
                                                     std::uint32_t from) {
  const std::uint8_t* data = buffer.data();
  if (data == nullptr) return std::nullopt;
  const std::uint32_t size = buffer.capacity();
  for (std::uint32_t a = from; a < size; ++a) {
    if (data[a] != 0xFF) return a;
  }
  return std::nullopt;
}

std::string StoredFileName(const MemoryBuffer& buffer) {
  const std::string& path = buffer.filePath();
  // Both separators count: paths come from Windows dialogs as well as from POSIX shells.
  const auto cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return path;
  return path.substr(cut + 1);
}

}  // namespace bq
