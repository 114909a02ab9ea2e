#pragma once
// Serial numbers for production runs: where a number goes in a chip's image
// ("--serial MEMORY:ADDRESS[:BYTES[:le|be]]"), putting it there, the text of the counter
// file that keeps the next number across runs, and a counter that hands each number out
// at most once: it is saved as used before the chip that gets it is written, so a crash
// or a power cut can lose a number but never hand it out twice.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bq {

struct SerialPlace {
  bool eeprom = true;         // else flash, or the user row when userRow is set
  bool userRow = false;       // a UPDI part's user row (eeprom is false then)
  std::uint32_t address = 0;  // of the first byte in the memory
  unsigned bytes = 4;         // 1..8
  bool bigEndian = false;     // default: little-endian, as avr-gcc stores integers
};

// "eeprom:0", "flash:0x1FFC:4:be", "userrow:0:4", ...; nullopt with the reason in *why when
// malformed.
std::optional<SerialPlace> ParseSerialPlace(const std::string& text, std::string* why);

// The largest number the place's bytes hold.
std::uint64_t MaxSerialNumber(const SerialPlace& place);

// Why the number's bytes do not lie inside the part's memory of memoryBytes bytes, or "".
std::string SerialPlaceProblem(const SerialPlace& place, std::uint32_t memoryBytes,
                               const std::string& partName);

// Writes number into image at the place's address (the image grows with 0xFF to reach it).
// False, image unchanged, when the number does not fit the place's bytes.
// The memory's name in messages: "EEPROM", "FLASH" or "USERROW".
std::string SerialMemoryName(const SerialPlace& place);

bool PlaceSerialNumber(const SerialPlace& place, std::uint64_t number,
                       std::vector<std::uint8_t>& image);

// The counter file: the next number to hand out, in decimal, on a line of its own.
std::string FormatSerialCounter(std::uint64_t next);
// nullopt when the text is not such a file (blanks around the number are fine).
std::optional<std::uint64_t> ParseSerialCounter(const std::string& text);

// The first number of a run: --serial-start (start) seeds a new counter file; when the file
// keeps a number (kept), the run goes on from it, or from start when that is higher, so
// the same command line can run batch after batch and no number is handed out twice.
// Default 1.
std::uint64_t FirstSerialNumber(std::optional<std::uint64_t> start,
                                std::optional<std::uint64_t> kept);

// Hands out numbers from next up to max, one caller at a time (several programmers share
// one counter). save(n) must store n as the next number durably; a number is returned
// only after its save succeeded.
class SerialCounter {
 public:
  using Save = std::function<bool(std::uint64_t next, std::string* why)>;
  SerialCounter(std::uint64_t next, std::uint64_t max, Save save)
      : next_(next), max_(max), save_(std::move(save)) {}

  // False with the reason when the numbers are used up or the save failed; nothing is
  // handed out then.
  bool Take(std::uint64_t& number, std::string* why);

 private:
  std::mutex mutex_;
  std::uint64_t next_;
  std::uint64_t max_;
  Save save_;
};

}  // namespace bq
