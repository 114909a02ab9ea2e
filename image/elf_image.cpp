#include "image/elf_image.h"

#include <algorithm>
#include <cstdio>

#include "image/intel_hex.h"
#include "image/memory_buffer.h"

namespace bq {

namespace {

// Sizes and field offsets of the 32-bit ELF header and program header.
constexpr std::size_t kHeaderBytes = 52;
constexpr std::size_t kProgramHeaderBytes = 32;
constexpr std::size_t kClassAt = 4, kDataAt = 5;
constexpr std::size_t kTypeAt = 16, kMachineAt = 18;
constexpr std::size_t kPhoffAt = 28, kPhentsizeAt = 42, kPhnumAt = 44;
constexpr std::size_t kPTypeAt = 0, kPOffsetAt = 4, kPPaddrAt = 12, kPFileszAt = 16;
constexpr std::size_t kShoffAt = 32, kShentsizeAt = 46, kShnumAt = 48;
constexpr std::size_t kSectionHeaderBytes = 40;
constexpr std::size_t kShTypeAt = 4, kShOffsetAt = 16, kShSizeAt = 20;
constexpr std::uint32_t kNoteSection = 7;

constexpr std::uint8_t kClass32 = 1, kLittleEndian = 1;
constexpr std::uint32_t kTypeExecutable = 2, kMachineAvr = 83, kLoadSegment = 1;

// Where avr-gcc's linker scripts put each memory's load addresses.
constexpr std::uint64_t kRamBase = 0x800000, kEepromBase = 0x810000, kFuseBase = 0x820000,
                        kLockBase = 0x830000, kSignatureBase = 0x840000, kUserRowBase = 0x850000,
                        kSkippedBase = 0x860000;

enum class Memory { Flash, Eeprom, Fuses, Lock, UserRow };

struct Region {
  Memory memory;
  std::uint64_t base;
  std::uint64_t bytes;
  const char* name;   // "flash data at ..."
  const char* limit;  // "... beyond the <limit>"
};

constexpr Region kRegions[] = {
    {Memory::Flash, 0, kFlashBufferBytes, "flash", "0x50000 bytes of the flash image"},
    {Memory::Eeprom, kEepromBase, kEepromBufferBytes, "EEPROM",
     "0x2000 bytes of the EEPROM image (0x810000..0x811FFF)"},
    {Memory::Fuses, kFuseBase, 32, "fuse", "32 fuse bytes (0x820000..0x82001F)"},
    {Memory::Lock, kLockBase, 4, "lock", "4 lock bytes (0x830000..0x830003)"},
    {Memory::UserRow, kUserRowBase, 0x10000, "user row",
     "0x10000 bytes of the user row (0x850000..0x85FFFF)"},
};
static_assert(kFlashBufferBytes == 0x50000 && kEepromBufferBytes == 0x2000,
              "the limits named in the error texts");

// The callers have checked that at + width <= bytes.size().
std::uint32_t Read(std::string_view bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// The file bytes of one loadable segment, placed in one memory.
struct Piece {
  const Region* region;
  std::uint64_t offset;  // from the region's base
  std::uint64_t count;
  const std::uint8_t* data;
  unsigned segment;  // or the line of an Intel HEX record
};

std::optional<ElfImage> Fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return std::nullopt;
}

// Gaps between pieces stay 0xFF, as erased memory reads.
void Place(std::vector<std::uint8_t>& memory, const Piece& piece, const std::uint8_t* data) {
  const auto end = static_cast<std::size_t>(piece.offset + piece.count);
  if (memory.size() < end) memory.resize(end, 0xFF);
  std::copy_n(data, piece.count, memory.begin() + static_cast<std::ptrdiff_t>(piece.offset));
}

// The device name of avr-gcc's device note: a note named "AVR" of type 1 whose description
// holds six words (flash, RAM and EEPROM start and size), then the length in bytes of an
// offset table (its own word included), the table, and a string table the first offset
// points into. Empty when there is no such note or it does not hold together; the name is
// a hint for a safety check, so a damaged note never refuses the file.
std::string DeviceNote(std::string_view bytes) {
  const std::uint64_t shoff = Read(bytes, kShoffAt, 4);
  const std::uint64_t shentsize = Read(bytes, kShentsizeAt, 2);
  const std::uint64_t shnum = Read(bytes, kShnumAt, 2);
  if (shoff == 0 || shentsize < kSectionHeaderBytes || shoff + shnum * shentsize > bytes.size()) {
    return {};
  }
  for (std::uint64_t i = 0; i < shnum; ++i) {
    const auto at = static_cast<std::size_t>(shoff + i * shentsize);
    if (Read(bytes, at + kShTypeAt, 4) != kNoteSection) continue;
    const std::uint64_t offset = Read(bytes, at + kShOffsetAt, 4);
    const std::uint64_t size = Read(bytes, at + kShSizeAt, 4);
    if (offset + size > bytes.size() || size < 16) continue;
    const std::string_view note =
        bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
    const std::uint32_t nameBytes = Read(note, 0, 4);
    const std::uint32_t descBytes = Read(note, 4, 4);
    if (nameBytes != 4 || Read(note, 8, 4) != 1 ||
        note.substr(12, 4) != std::string_view("AVR\0", 4)) {
      continue;
    }
    const std::string_view desc =
        note.substr(16, std::min<std::size_t>(descBytes, note.size() - 16));
    if (desc.size() < 32) continue;
    const std::uint64_t table = Read(desc, 24, 4);
    if (table < 8 || 24 + table > desc.size()) continue;
    const std::uint64_t nameAt = 24 + table + Read(desc, 28, 4);
    if (nameAt >= desc.size()) continue;
    const std::string_view rest = desc.substr(static_cast<std::size_t>(nameAt));
    const std::string_view name = rest.substr(0, rest.find('\0'));
    if (name.empty() || name.size() > 64) continue;
    return std::string(name);
  }
  return {};
}

// The pieces of a file, placed: two for the same byte are refused (unit names them, "segments"
// or "lines").
std::optional<ElfImage> Assemble(std::vector<Piece>& pieces, const char* unit, std::string device,
                                 std::string* error) {
  std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
    return a.region != b.region ? a.region < b.region : a.offset < b.offset;
  });
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const Piece& before = pieces[i - 1];
    const Piece& piece = pieces[i];
    if (piece.region == before.region && piece.offset < before.offset + before.count) {
      const unsigned a = std::min(before.segment, piece.segment);
      const unsigned b = std::max(before.segment, piece.segment);
      return Fail(error, std::string(unit) + " " + std::to_string(a) + " and " + std::to_string(b) +
                             " both hold " + piece.region->name + " data at " +
                             Hex(piece.region->base + piece.offset));
    }
  }

  ElfImage image;
  image.device = std::move(device);
  std::optional<std::uint8_t>* const classic[] = {&image.low, &image.high, &image.extended};
  for (const Piece& piece : pieces) {
    switch (piece.region->memory) {
      case Memory::Flash:
        Place(image.flash, piece, piece.data);
        break;
      case Memory::Eeprom:
        Place(image.eeprom, piece, piece.data);
        break;
      case Memory::Fuses:
        for (std::uint64_t k = 0; k < piece.count; ++k) {
          const auto offset = static_cast<std::uint8_t>(piece.offset + k);
          image.fuses.emplace_back(offset, piece.data[k]);
          if (offset < 3) *classic[offset] = piece.data[k];
        }
        break;
      case Memory::Lock:
        Place(image.lockBytes, piece, piece.data);
        if (piece.offset == 0) image.lock = piece.data[0];
        break;
      case Memory::UserRow:
        Place(image.userRow, piece, piece.data);
        break;
    }
  }
  return image;
}

// The region a piece at address belongs to, or null for one that is skipped; an error for
// RAM and for data beyond its region.
bool Locate(std::uint64_t address, std::uint64_t count, unsigned unit, const char* unitName,
            const Region*& region, std::string* error) {
  region = nullptr;
  if (address >= kSkippedBase || (address >= kSignatureBase && address < kUserRowBase)) {
    return true;
  }
  if (address >= kRamBase && address < kEepromBase) {
    Fail(error, std::string(unitName) + " " + std::to_string(unit) + " holds data for RAM at " +
                    Hex(address) + ", which cannot be programmed");
    return false;
  }
  region = &kRegions[0];
  for (const Region& r : kRegions) {
    if (address >= r.base) region = &r;
  }
  if (address - region->base + count > region->bytes) {
    Fail(error, std::string(unitName) + " " + std::to_string(unit) + " puts " + region->name +
                    " data at " + Hex(address) + ".." + Hex(address + count - 1) + ", beyond the " +
                    region->limit);
    return false;
  }
  return true;
}

}  // namespace

bool LooksLikeElf(std::string_view bytes) {
  constexpr char kMagic[] = {0x7F, 'E', 'L', 'F'};
  return bytes.substr(0, 4) == std::string_view(kMagic, 4);
}

std::optional<ElfImage> ParseElfImage(std::string_view bytes, std::string* error) {
  if (!LooksLikeElf(bytes)) return Fail(error, "not an ELF file");
  if (bytes.size() < kHeaderBytes) {
    return Fail(error, "the ELF header is cut short (" + std::to_string(bytes.size()) + " of " +
                           std::to_string(kHeaderBytes) + " bytes)");
  }
  if (static_cast<std::uint8_t>(bytes[kClassAt]) != kClass32 ||
      static_cast<std::uint8_t>(bytes[kDataAt]) != kLittleEndian) {
    return Fail(error, "not a 32-bit little-endian file");
  }
  const std::uint32_t machine = Read(bytes, kMachineAt, 2);
  if (machine != kMachineAvr) {
    return Fail(error, "not built for AVR (machine " + std::to_string(machine) + ")");
  }
  const std::uint32_t type = Read(bytes, kTypeAt, 2);
  if (type != kTypeExecutable) {
    return Fail(error, "not a linked program (ELF type " + std::to_string(type) + ")");
  }
  const std::uint64_t phoff = Read(bytes, kPhoffAt, 4);
  const std::uint64_t phentsize = Read(bytes, kPhentsizeAt, 2);
  const std::uint64_t phnum = Read(bytes, kPhnumAt, 2);
  if (phnum == 0) return Fail(error, "the file has no program headers");
  if (phentsize < kProgramHeaderBytes) {
    return Fail(error, "program headers of " + std::to_string(phentsize) +
                           " bytes are too short (32 needed)");
  }
  // At most 2^32 + 2^16 * 2^16: no overflow in 64 bits.
  if (phoff + phnum * phentsize > bytes.size()) {
    return Fail(error, "the program headers run past the end of the file");
  }

  std::vector<Piece> pieces;
  for (std::uint64_t i = 0; i < phnum; ++i) {
    const auto at = static_cast<std::size_t>(phoff + i * phentsize);
    const auto segment = static_cast<unsigned>(i);
    const std::uint64_t count = Read(bytes, at + kPFileszAt, 4);
    if (Read(bytes, at + kPTypeAt, 4) != kLoadSegment || count == 0) continue;
    const std::uint64_t offset = Read(bytes, at + kPOffsetAt, 4);
    if (offset + count > bytes.size()) {
      return Fail(error, "segment " + std::to_string(segment) + " runs past the end of the file");
    }
    const std::uint64_t address = Read(bytes, at + kPPaddrAt, 4);
    const Region* region = nullptr;
    if (!Locate(address, count, segment, "segment", region, error)) return std::nullopt;
    if (region == nullptr) continue;
    pieces.push_back({region, address - region->base, count,
                      reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset, segment});
  }

  return Assemble(pieces, "segments", DeviceNote(bytes), error);
}

}  // namespace bq

namespace bq {

std::optional<ElfImage> ParseSectionedHex(std::string_view text, std::string* error) {
  std::vector<HexRecord> records;  // the data stays here while the pieces point into it
  std::vector<std::pair<std::uint64_t, unsigned>> starts;  // address and line of each
  std::uint64_t base = 0;
  bool endOfFile = false;
  unsigned line = 0;
  std::size_t at = 0;
  while (at < text.size() && !endOfFile) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view row = text.substr(at, end - at);
    at = end + 1;
    ++line;
    if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
    const auto first = row.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    row.remove_prefix(first);
    const HexRecord record = ParseHexRecord(row);
    if (row.front() != ':' || !record.accepted) {
      return Fail(error, "line " + std::to_string(line) + ": " +
                             (row.front() != ':' ? "not an Intel HEX record"
                              : record.problem == HexRecordProblem::Checksum ? "checksum error"
                                                                             : "damaged record"));
    }
    switch (record.type) {
      case 0:
        if (record.count == 0) break;
        records.push_back(record);
        starts.emplace_back(base + record.address, line);
        break;
      case 1:
        endOfFile = true;
        break;
      case 2:
      case 4:
        if (record.count != 2) {
          return Fail(error, "line " + std::to_string(line) + ": an address record needs 2 bytes");
        }
        base = (std::uint64_t{record.data[0]} << 8 | record.data[1]) << (record.type == 2 ? 4 : 16);
        break;
      case 3:
      case 5:
        break;
      default:
        return Fail(error, "line " + std::to_string(line) + ": unknown record type " +
                               std::to_string(record.type));
    }
  }
  if (!endOfFile) return Fail(error, "no end-of-file record; the file may be incomplete");
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Region* region = nullptr;
    const auto [address, number] = starts[i];
    if (!Locate(address, records[i].count, number, "line", region, error)) return std::nullopt;
    if (region == nullptr) continue;
    pieces.push_back(
        {region, address - region->base, records[i].count, records[i].data.data(), number});
  }
  if (pieces.empty()) return Fail(error, "the file holds no data");
  return Assemble(pieces, "lines", {}, error);
}

}  // namespace bq
