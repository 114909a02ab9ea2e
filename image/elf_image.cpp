#include "image/elf_image.h"

#include <algorithm>
#include <cstdio>

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
                        kLockBase = 0x830000, kSkippedBase = 0x840000;

enum class Memory { Flash, Eeprom, Fuses, Lock };

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
    {Memory::Fuses, kFuseBase, 3, "fuse", "three fuse bytes (0x820000..0x820002)"},
    {Memory::Lock, kLockBase, 1, "lock", "one lock byte (0x830000)"},
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
  std::size_t fileOffset;
  unsigned segment;
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
    const std::string_view note = bytes.substr(static_cast<std::size_t>(offset),
                                               static_cast<std::size_t>(size));
    const std::uint32_t nameBytes = Read(note, 0, 4);
    const std::uint32_t descBytes = Read(note, 4, 4);
    if (nameBytes != 4 || Read(note, 8, 4) != 1 || note.substr(12, 4) != std::string_view("AVR\0", 4)) {
      continue;
    }
    const std::string_view desc = note.substr(16, std::min<std::size_t>(descBytes, note.size() - 16));
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
    if (address >= kSkippedBase) continue;
    if (address >= kRamBase && address < kEepromBase) {
      return Fail(error, "segment " + std::to_string(segment) + " holds data for RAM at " +
                             Hex(address) + ", which cannot be programmed");
    }
    const Region* region = &kRegions[0];
    for (const Region& r : kRegions) {
      if (address >= r.base) region = &r;
    }
    const std::uint64_t first = address - region->base;
    if (first + count > region->bytes) {
      return Fail(error, "segment " + std::to_string(segment) + " puts " + region->name +
                             " data at " + Hex(address) + ".." + Hex(address + count - 1) +
                             ", beyond the " + region->limit);
    }
    pieces.push_back({region, first, count, static_cast<std::size_t>(offset), segment});
  }

  std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
    return a.region != b.region ? a.region < b.region : a.offset < b.offset;
  });
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const Piece& before = pieces[i - 1];
    const Piece& piece = pieces[i];
    if (piece.region == before.region && piece.offset < before.offset + before.count) {
      const unsigned a = std::min(before.segment, piece.segment);
      const unsigned b = std::max(before.segment, piece.segment);
      return Fail(error, "segments " + std::to_string(a) + " and " + std::to_string(b) +
                             " both hold " + piece.region->name + " data at " +
                             Hex(piece.region->base + piece.offset));
    }
  }

  ElfImage image;
  image.device = DeviceNote(bytes);
  std::optional<std::uint8_t>* const fuses[] = {&image.low, &image.high, &image.extended};
  for (const Piece& piece : pieces) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data()) + piece.fileOffset;
    switch (piece.region->memory) {
      case Memory::Flash:
        Place(image.flash, piece, data);
        break;
      case Memory::Eeprom:
        Place(image.eeprom, piece, data);
        break;
      case Memory::Fuses:
        for (std::uint64_t k = 0; k < piece.count; ++k) *fuses[piece.offset + k] = data[k];
        break;
      case Memory::Lock:
        image.lock = data[0];
        break;
    }
  }
  return image;
}

}  // namespace bq
