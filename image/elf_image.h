#pragma once
// ELF files as avr-gcc writes them (32-bit, little-endian, machine AVR): the flash and EEPROM
// images, the fuse bytes and the lock byte they hold.
//
// Debian has no ELF library that also builds into the static Windows program, and we need
// only the program headers, so this is a small reader of our own.
//
// The loadable segments (PT_LOAD with file bytes) are placed by their physical (load)
// address, the way avr-gcc's linker scripts lay out the memories:
//   0x000000 .. 0x7FFFFF  flash: .text, and .data's initial values, which follow .text
//   0x800000 .. 0x80FFFF  RAM: no file bytes belong here (.bss and .noinit have none)
//   0x810000 ..           EEPROM (.eeprom)
//   0x820000 .. 0x82001F  fuse bytes by offset (.fuse; avr-libc's FUSES macro): low, high,
//                         extended on a classic part, the named bytes of a UPDI part
//   0x830000 .. 0x830003  lock (.lock; avr-libc's LOCKBITS macro): a byte, or the 4-byte key
//                         of an AVR Dx
//   0x840000 .. 0x84FFFF  signature (.signature): skipped, no programmer writes it
//   0x850000 .. 0x85FFFF  user row of a UPDI part (.user_signatures)
//   0x860000 and above    other memories no programmer writes: skipped
// An Intel HEX file that avr-objcopy made of all these sections holds the same layout.
// Overlapping segments are refused: the linker never writes them, so they mean a damaged
// file, and no choice of winner would be safe to program.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bq {

struct ElfImage {
  // Bytes from address 0 up to the last byte a segment holds; gaps between segments are
  // 0xFF. Empty when the file holds no data for that memory.
  std::vector<std::uint8_t> flash;
  std::vector<std::uint8_t> eeprom;
  // Absent when the file does not hold that byte (a chip with fewer fuse bytes, or a
  // program without FUSES or LOCKBITS).
  std::optional<std::uint8_t> low, high, extended, lock;
  // Every fuse byte the file holds, as (offset from 0x820000, value) in offset order; low,
  // high and extended above are offsets 0, 1 and 2.
  std::vector<std::pair<std::uint8_t, std::uint8_t>> fuses;
  // The lock bytes from 0x830000 (1 byte, or an AVR Dx's 4-byte key); gaps are 0xFF.
  std::vector<std::uint8_t> lockBytes;
  // The user row from 0x850000; gaps are 0xFF. Empty when the file holds none.
  std::vector<std::uint8_t> userRow;
  // The device the program was built for, as avr-gcc names it in the note it writes
  // (.note.gnu.avr.deviceinfo: "atmega328p"); empty when the file has no such note.
  std::string device;

  bool operator==(const ElfImage&) const = default;
};

// True when bytes start with the ELF magic number (0x7F 'E' 'L' 'F'), so a caller can choose
// this reader by content whatever the file's name.
bool LooksLikeElf(std::string_view bytes);

// Reads an ELF file held in memory. On failure returns nullopt and, when error is not null,
// sets *error to the reason ("not an ELF file", "not built for AVR (machine 62)",
// "segment 2 runs past the end of the file", "segment 0 puts flash data at
// 0x4FF00..0x500FF, beyond the 0x50000 bytes of the flash image", ...). Flash data beyond
// kFlashBufferBytes and EEPROM data beyond kEepromBufferBytes are refused, never cut off.
// Never reads outside bytes.
std::optional<ElfImage> ParseElfImage(std::string_view bytes, std::string* error);

// Reads an Intel HEX file held in memory whose addresses follow the same layout (flash from
// 0, EEPROM at 0x810000, fuses at 0x820000, lock at 0x830000, user row at 0x850000), as
// avr-objcopy writes a program's every section. Records of type 02 and 04 set the base,
// 03 and 05 are ignored. The same limits and refusals as ParseElfImage; a bad record, a
// file without its end-of-file record and two records for the same byte are refused too
// ("line 4: checksum error", "lines 2 and 7 both hold fuse data at 0x820005").
std::optional<ElfImage> ParseSectionedHex(std::string_view text, std::string* error);

}  // namespace bq
