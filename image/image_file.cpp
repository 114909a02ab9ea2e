#include "image/image_file.h"

#include <cstring>
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

ImageLoadResult LoadImage(MemoryBuffer& buffer, const std::string& path) {
  ImageLoadResult result;
  if (buffer.data() == nullptr || path.empty()) return result;
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  // Only regular files: a folder is refused as designed, and a device or pipe could block
  // the reader or feed it without end.
  if (ec || !std::filesystem::is_regular_file(status)) return result;
  MemoryBuffer scratch(buffer.capacity());
  if (scratch.data() == nullptr) return result;
  if (ImageFormatForPath(path) == ImageFormat::IntelHex) {
    HexReadReport report;
    result.count = ReadHexImage(scratch, path, &report);
    if (!report.error.empty()) {
      result.count = 0;
      result.error = path + ": " + report.error;
    } else if (result.count != 0 && !report.endOfFile) {
      result.warning = path + ": no end-of-file record; the file may be incomplete";
    }
  } else {
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > buffer.capacity()) {
      result.error = path + ": the file holds " + std::to_string(size) +
                     " bytes, more than the " + std::to_string(buffer.capacity()) +
                     " bytes of the buffer";
      return result;
    }
    result.count = ReadBinaryImage(scratch, path);
  }
  if (result.count == 0) return result;
  const auto lock = buffer.Lock();
  std::memcpy(buffer.data(), scratch.data(), buffer.capacity());
  buffer.setFilePath(path);
  return result;
}

std::uint32_t LoadImageFile(MemoryBuffer& buffer, const std::string& path) {
  return LoadImage(buffer, path).count;
}

SaveOutcome SaveImage(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                      std::uint32_t last) {
  if (buffer.data() == nullptr || path.empty()) return SaveOutcome::Failed;
  if (first > buffer.lastIndex()) return SaveOutcome::NothingToSave;
  // Save is allowed while the programmer works; a read it finishes meanwhile waits for this.
  const auto lock = buffer.Lock();
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
