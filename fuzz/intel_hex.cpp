// Fuzzes the Intel HEX reader (fed from memory, whole and in pieces), the record parser,
// and the writer/reader round trip over an address range chosen by the input.

#include "image/intel_hex.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "image/memory_buffer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string path = "fuzz.hex";

  (void)bq::ParseHexRecord(text);

  bq::MemoryBuffer whole(bq::kEepromBufferBytes);
  const std::uint32_t count = bq::ReadHexImageText(whole, text, path);
  if (count == 0) {
    // Nothing stored, or a failed read: the image is erased.
    bq::MemoryBuffer erased(bq::kEepromBufferBytes);
    Check(std::memcmp(whole.data(), erased.data(), erased.capacity()) == 0);
  }

  // The same bytes in two pieces split at an input-chosen point give the same image.
  const std::size_t split = size == 0 ? 0 : data[0] * size / 256;
  bq::MemoryBuffer pieces(bq::kEepromBufferBytes);
  bq::HexImageReader reader(pieces, path);
  reader.feed(text.substr(0, split));
  reader.feed(text.substr(split));
  Check(reader.finish() == count);
  Check(std::memcmp(whole.data(), pieces.data(), whole.capacity()) == 0);
  Check(whole.filePath() == pieces.filePath());

  // Round trip: the input's first bytes choose a range of the flash image, its rest fills it.
  if (size >= 6) {
    // Kept between runs: allocating 320 KiB twice per input would dominate the run time.
    static bq::MemoryBuffer flash(bq::kFlashBufferBytes);
    static bq::MemoryBuffer back(bq::kFlashBufferBytes);
    bq::ClearBuffer(flash);
    // Any 64 KiB segment, any offset in it (so boundaries are easy to reach), up to 1 KiB.
    const std::uint32_t first = ((data[0] % 5u) << 16) | (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t length = ((std::uint32_t{data[3]} << 8 | data[4]) & 0x3FF) + 1;
    const std::uint32_t last =
        std::min<std::uint32_t>(first + length - 1, bq::kFlashBufferBytes - 1);
    const std::size_t fill = size - 6;
    for (std::uint32_t a = first; a <= last; ++a) {
      flash.data()[a] = fill == 0 ? 0 : data[6 + (a - first) % fill];
    }
    std::string hex;
    Check(bq::FormatHexImage(flash, first, last, hex));
    Check(bq::ReadHexImageText(back, hex, path) == last - first + 1);
    Check(std::memcmp(back.data(), flash.data(), bq::kFlashBufferBytes) == 0);
    Check(back.filePath() == path);
  }
  return 0;
}
