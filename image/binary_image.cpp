#include "image/binary_image.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "core/utf8_path.h"
#include "image/safe_file_writer.h"

namespace bq {

std::uint32_t ReadBinaryImage(MemoryBuffer& buffer, const std::string& path) {
  if (buffer.data() == nullptr) return 0;
  const std::filesystem::path name = PathFromUtf8(path);
  std::error_code ec;
  const auto status = std::filesystem::status(name, ec);
  if (ec || !std::filesystem::is_regular_file(status)) return 0;
  const std::uintmax_t size = std::filesystem::file_size(name, ec);
  if (ec) return 0;
  // A file larger than the buffer is refused: cutting it would put part of an image on a chip.
  if (size > buffer.capacity()) return 0;
  std::FILE* file = OpenFileUtf8(path, "rb");
  if (file == nullptr) return 0;
  const std::size_t n = static_cast<std::size_t>(size);
  ClearBuffer(buffer);
  const std::size_t got = n == 0 ? 0 : std::fread(buffer.data(), 1, n, file);
  std::fclose(file);
  if (got != n) {
    ClearBuffer(buffer);
    return 0;
  }
  buffer.setFilePath(path);
  return static_cast<std::uint32_t>(n);
}

bool WriteBinaryImage(const MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                      std::uint32_t last, std::string* why) {
  if (buffer.data() == nullptr || first > last || last > buffer.lastIndex()) return false;
  SafeFileWriter file;
  const bool written = file.open(path) &&
                       file.write(buffer.data() + first, std::size_t{last} - first + 1) &&
                       file.commit();
  if (!written && why != nullptr) *why = file.error();
  return written;
}

bool FormatBinaryImage(const MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last,
                       std::string& bytes) {
  if (buffer.data() == nullptr || first > last || last > buffer.lastIndex()) return false;
  bytes.append(reinterpret_cast<const char*>(buffer.data()) + first, std::size_t{last} - first + 1);
  return true;
}

}  // namespace bq
