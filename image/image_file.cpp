#include "image/image_file.h"

#include <filesystem>
#include <system_error>

#include "core/text.h"
#include "image/binary_image.h"
#include "image/intel_hex.h"

namespace bq {

ImageFormat ImageFormatForPath(std::string_view path) {
  const auto dot = path.rfind('.');
  if (dot == std::string_view::npos) return ImageFormat::Binary;
  const std::string extension = ToUpperAscii(path.substr(dot + 1));
  if (extension == "HEX" || extension == "EEP") return ImageFormat::IntelHex;
  return ImageFormat::Binary;
}

std::uint32_t LoadImageFile(MemoryBuffer& buffer, const std::string& path) {
  if (buffer.data() == nullptr || path.empty()) return 0;
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  // Only regular files: a folder is refused as designed, and a device or pipe could block
  // the reader or feed it without end.
  if (ec || !std::filesystem::is_regular_file(status)) return 0;
  const ImageFormat format = ImageFormatForPath(path);
  buffer.setFilePath(std::string());
  return format == ImageFormat::IntelHex ? ReadHexImage(buffer, path)
                                         : ReadBinaryImage(buffer, path);
}

SaveOutcome SaveImage(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                      std::uint32_t last) {
  if (buffer.data() == nullptr || path.empty()) return SaveOutcome::Failed;
  if (first > buffer.lastIndex()) return SaveOutcome::NothingToSave;
  if (!(first < last && last != 0 && last <= buffer.lastIndex())) {
    const std::uint8_t* data = buffer.data();
    std::uint32_t highest = buffer.lastIndex();
    while (highest > 0 && data[highest] == 0xFF) --highest;
    if (first >= highest) return SaveOutcome::NothingToSave;
    last = highest;
  }
  const bool written = ImageFormatForPath(path) == ImageFormat::IntelHex
                           ? WriteHexImage(buffer, path, first, last)
                           : WriteBinaryImage(buffer, path, first, last);
  return written ? SaveOutcome::Written : SaveOutcome::Failed;
}

bool SaveImageFile(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                   std::uint32_t last) {
  return SaveImage(buffer, path, first, last) == SaveOutcome::Written;
}

}  // namespace bq
