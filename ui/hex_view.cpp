#include "ui/hex_view.h"

#include <algorithm>

namespace bq {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}  // namespace

void FormatHexLine(const MemoryBuffer& buffer, std::uint32_t offset, std::string& out) {
  out.clear();
  if (buffer.data() == nullptr || offset > buffer.lastIndex()) return;
  // The row's bytes are taken under the image's lock: the worker may be putting a read
  // into the image right now.
  std::uint8_t row[16];
  const std::uint32_t rowBytes =
      buffer.lastIndex() - offset >= 15 ? 16 : buffer.lastIndex() - offset + 1;
  {
    const auto lock = buffer.Lock();
    std::copy_n(buffer.data() + offset, rowBytes, row);
  }
  char chars[16];
  std::size_t charCount = 0;
  // At least five digits, more for offsets beyond 0xFFFFF.
  int digits = 5;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (int d = digits - 1; d >= 0; --d) out += kDigits[(offset >> (4 * d)) & 0xFu];
  out += " : ";
  for (std::uint32_t i = 0; i < rowBytes; ++i) {
    if (i > 0) out += ' ';
    if (i == 8) out += "- ";
    const std::uint8_t b = row[i];
    out += kDigits[b >> 4];
    out += kDigits[b & 0xFu];
    chars[charCount++] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
  }
  out += "   ";
  out.append(chars, charCount);
}

std::string FormatHexLine(const MemoryBuffer& buffer, std::uint32_t offset) {
  std::string out;
  FormatHexLine(buffer, offset, out);
  return out;
}

std::uint32_t HexRowCount(const MemoryBuffer& buffer) {
  if (buffer.data() == nullptr) return 0;
  return buffer.lastIndex() / 16 + 1;
}

HexRowColour HexRowColourFor(std::uint32_t row, std::uint32_t chipBytes) {
  return row < chipBytes / 16 ? HexRowColour::Blue : HexRowColour::Red;
}

std::uint32_t HexRowRgb(HexRowColour colour) {
  return colour == HexRowColour::Blue ? 0x0000FFu : 0xFF0000u;
}

std::string HexView::RowText(std::uint32_t row) const {
  std::string out;
  RowText(row, out);
  return out;
}

void HexView::RowText(std::uint32_t row, std::string& out) const {
  if (row >= RowCount()) {
    out.clear();
    return;
  }
  FormatHexLine(buffer_, row * 16u, out);
}

}  // namespace bq
