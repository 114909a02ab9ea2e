#include "ui/hex_view.h"

namespace bq {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}  // namespace

void FormatHexLine(const MemoryBuffer& buffer, std::uint32_t offset, std::string& out) {
  out.clear();
  if (buffer.data() == nullptr || offset > buffer.lastIndex()) return;
  const std::uint8_t* data = buffer.data();
  char chars[16];
  std::size_t charCount = 0;
  // At least five digits, more for offsets beyond 0xFFFFF.
  int digits = 5;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (int d = digits - 1; d >= 0; --d) out += kDigits[(offset >> (4 * d)) & 0xFu];
  out += " : ";
  for (std::uint32_t i = 0; i < 16 && offset + i <= buffer.lastIndex(); ++i) {
    if (i > 0) out += ' ';
    if (i == 8) out += "- ";
    const std::uint8_t b = data[offset + i];
    out += kDigits[b >> 4];
    out += kDigits[b & 0xFu];
    chars[charCount++] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    if (offset + i == buffer.lastIndex()) break;  // the last index may be 0xFFFFFFFF
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
