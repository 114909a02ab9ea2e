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
  buffer.setIncomplete(false);
  buffer.setDevice({});
}

std::optional<std::uint32_t> FirstProgrammedByteFrom(const std::uint8_t* data, std::size_t size,
                                                     std::uint32_t from) {
  if (data == nullptr) return std::nullopt;
  for (std::size_t a = from; a < size; ++a) {
    if (data[a] != 0xFF) return static_cast<std::uint32_t>(a);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> FirstProgrammedByteFrom(const MemoryBuffer& buffer,
                                                     std::uint32_t from) {
  return FirstProgrammedByteFrom(buffer.data(), buffer.capacity(), from);
}

std::uint32_t ProgrammedLength(const std::uint8_t* data, std::size_t size) {
  while (size > 0 && data[size - 1] == 0xFF) --size;
  return static_cast<std::uint32_t>(size);
}

std::string StoredFileName(const MemoryBuffer& buffer) {
  const std::string& path = buffer.filePath();
  // Both separators count: paths come from Windows dialogs as well as from POSIX shells.
  const auto cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return path;
  return path.substr(cut + 1);
}

}  // namespace bq
