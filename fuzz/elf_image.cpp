// Fuzzes the ELF reader: any input either gives an image within the program's image sizes or
// a reason, and an image written back as an ELF file reads back to the same image.

#include "image/elf_image.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "image/memory_buffer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void Put(std::string& file, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) file[at + i] = static_cast<char>(value >> (8 * i));
}

struct Segment {
  std::uint32_t type;
  std::uint32_t address;
  std::vector<std::uint8_t> bytes;
};

// One loadable segment per memory (one per fuse byte), laid out as the linker does, after a
// note segment that is skipped (and keeps a file of an empty image valid).
std::string WriteElf(const bq::ElfImage& image) {
  std::vector<Segment> segments = {{4, 0, {'n', 'o', 't', 'e'}}};
  if (!image.flash.empty()) segments.push_back({1, 0, image.flash});
  if (!image.eeprom.empty()) segments.push_back({1, 0x810000, image.eeprom});
  for (const auto& [offset, value] : image.fuses)
    segments.push_back({1, 0x820000u + offset, {value}});
  // The lock byte at offset 0 is present only when a segment starts there.
  const std::size_t lockFrom = image.lock ? 0 : 1;
  if (image.lockBytes.size() > lockFrom) {
    segments.push_back(
        {1,
         0x830000u + static_cast<std::uint32_t>(lockFrom),
         {image.lockBytes.begin() + static_cast<std::ptrdiff_t>(lockFrom), image.lockBytes.end()}});
  }
  if (!image.userRow.empty()) segments.push_back({1, 0x850000, image.userRow});
  std::string file(52 + 32 * segments.size(), '\0');
  const char ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};  // 32-bit, little-endian, version 1
  file.replace(0, sizeof ident, ident, sizeof ident);
  Put(file, 16, 2, 2);
  Put(file, 18, 83, 2);
  Put(file, 28, 52, 4);
  Put(file, 42, 32, 2);
  Put(file, 44, static_cast<std::uint32_t>(segments.size()), 2);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const std::size_t at = 52 + 32 * i;
    Put(file, at, segments[i].type, 4);
    Put(file, at + 4, static_cast<std::uint32_t>(file.size()), 4);
    Put(file, at + 12, segments[i].address, 4);
    Put(file, at + 16, static_cast<std::uint32_t>(segments[i].bytes.size()), 4);
    file.append(segments[i].bytes.begin(), segments[i].bytes.end());
  }
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<bq::ElfImage> image = bq::ParseElfImage(bytes, &error);
  Check(image.has_value() == error.empty());
  Check(bq::ParseElfImage(bytes, nullptr) == image);
  if (!image) return 0;
  Check(bq::LooksLikeElf(bytes));
  Check(image->flash.size() <= bq::kFlashBufferBytes);
  Check(image->eeprom.size() <= bq::kEepromBufferBytes);
  // The written file has no device note: the image less its device name comes back.
  bq::ElfImage noted = *image;
  noted.device.clear();
  Check(bq::ParseElfImage(WriteElf(*image), &error) == noted);
  return 0;
}
