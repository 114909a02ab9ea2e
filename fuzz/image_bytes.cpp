// Images from standard input: LoadImageBytes chooses the format by content (or is told it)
// and either loads the whole image or changes nothing.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "image/image_file.h"
#include "image/memory_buffer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the format; the rest is the image.
  const bq::ImageFormat formats[] = {bq::ImageFormat::Auto, bq::ImageFormat::Binary,
                                     bq::ImageFormat::IntelHex};
  const bq::ImageFormat format = formats[data[0] % 3];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  bq::MemoryBuffer eeprom(bq::kEepromBufferBytes);
  eeprom.data()[0] = 0x42;
  eeprom.setFilePath("kept");
  const bq::ImageLoadResult result = bq::LoadImageBytes(eeprom, bytes, format, "-");
  if (result.count == 0) {
    Check(eeprom.data()[0] == 0x42 && eeprom.filePath() == "kept");
    return 0;
  }
  Check(result.error.empty() && eeprom.filePath() == "-");
  const bool hex = format == bq::ImageFormat::IntelHex ||
                   (format == bq::ImageFormat::Auto && bq::BeginsWithHexRecord(bytes));
  if (!hex) {
    Check(result.count == bytes.size());
    Check(std::memcmp(eeprom.data(), bytes.data(), bytes.size()) == 0);
  }
  // What loaded formats back to an image that loads the same.
  std::string text;
  if (bq::FormatImage(eeprom, 0, eeprom.lastIndex(), format, text) == bq::SaveOutcome::Written) {
    bq::MemoryBuffer back(bq::kEepromBufferBytes);
    Check(bq::LoadImageBytes(back, text, format, "-").count != 0);
    Check(std::memcmp(back.data(), eeprom.data(), eeprom.capacity()) == 0);
  }
  return 0;
}
