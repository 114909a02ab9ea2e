#pragma once
// The hex dump of one image: one row per 16 bytes, offset, bytes and characters. Rows are
// made when a view asks for them, so a refill costs the same for 512 rows as for 20,480;
// the text depends only on the buffer, the colour only on the row index and the chip size.

#include <cstdint>
#include <string>

#include "image/memory_buffer.h"

namespace bq {

// "%05X : " offset, up to sixteen "%02X" bytes (a "- " between the eighth and the ninth),
// three spaces and the bytes as characters ('.' for anything outside 0x20..0x7E).
// "" when offset lies beyond the buffer or the buffer has no storage.
std::string FormatHexLine(const MemoryBuffer& buffer, std::uint32_t offset);
// The same into out (its storage is reused; for views that format many rows).
void FormatHexLine(const MemoryBuffer& buffer, std::uint32_t offset, std::string& out);

// Rows of a buffer: last index / 16 + 1 (20,480 for flash, 512 for EEPROM); 0 without storage.
std::uint32_t HexRowCount(const MemoryBuffer& buffer);

enum class HexRowColour : std::uint8_t { Blue, Red };
// Blue for the rows inside the chip's memory (row < chipBytes / 16), red beyond it.
HexRowColour HexRowColourFor(std::uint32_t row, std::uint32_t chipBytes);
// Red, green, blue of a row colour: blue (0, 0, 255), red (255, 0, 0).
std::uint32_t HexRowRgb(HexRowColour colour);

class HexView {
 public:
  explicit HexView(const MemoryBuffer& buffer) : buffer_(buffer) {}

  const MemoryBuffer& buffer() const { return buffer_; }
  std::uint32_t RowCount() const { return HexRowCount(buffer_); }
  // The text of row (offset 16 * row); "" beyond the last row.
  std::string RowText(std::uint32_t row) const;
  void RowText(std::uint32_t row, std::string& out) const;

  // The buffer changed: every row is to be formatted again. Counts the refills so a view
  // can tell whether what it shows is current.
  void RefillHexView() { ++generation_; }
  std::uint32_t generation() const { return generation_; }

 private:
  const MemoryBuffer& buffer_;
  std::uint32_t generation_ = 0;
};

}  // namespace bq
