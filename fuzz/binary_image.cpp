// Fuzzes the raw binary reader and writer through a real file: a file that fits the buffer
// loads whole and a save writes it back; a larger one is refused and changes nothing.

#include "image/binary_image.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/image_file.h"
#include "image/memory_buffer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          ("bq_fuzz_" + std::to_string(getpid()) + "_" + name))
      .string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string in = TempPath("in.bin");
  const std::string out = TempPath("out.bin");
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  bq::MemoryBuffer eeprom(bq::kEepromBufferBytes);
  const std::size_t expected = size <= eeprom.capacity() ? size : 0;
  Check(bq::LoadImageFile(eeprom, in) == expected);
  Check(size == 0 || std::memcmp(eeprom.data(), data, expected) == 0);
  const bq::MemoryBuffer erased(bq::kEepromBufferBytes);
  Check(std::memcmp(eeprom.data() + expected, erased.data(), eeprom.capacity() - expected) == 0);
  Check(eeprom.filePath() == (expected > 0 ? in : std::string()));

  if (expected > 0) {
    const std::uint32_t first = data[0] % expected;
    const std::uint32_t last = static_cast<std::uint32_t>(expected - 1);
    Check(bq::WriteBinaryImage(eeprom, out, first, last));
    bq::MemoryBuffer back(bq::kEepromBufferBytes);
    Check(bq::ReadBinaryImage(back, out) == last - first + 1);
    Check(std::memcmp(back.data(), eeprom.data() + first, last - first + 1) == 0);
  }
  std::error_code ec;
  std::filesystem::remove(in, ec);
  std::filesystem::remove(out, ec);
  return 0;
}
