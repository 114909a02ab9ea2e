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
//   0x820000 .. 0x820002  fuse bytes low, high, extended (.fuse; avr-libc's FUSES macro)
//   0x830000              lock byte (.lock; avr-libc's LOCKBITS macro)
//   0x840000 and above    signature and other memories no programmer writes: skipped
// Overlapping segments are refused: the linker never writes them, so they mean a damaged
// file, and no choice of winner would be safe to program.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

}  // namespace bq
