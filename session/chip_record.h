#pragma once
// One chip of a production run as a line of JSON, for the log that --log appends to:
// enough to trace a board back to the images, the serial number, the tool and the
// programmer that made it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace bq {

struct ChipRecord {
  std::chrono::system_clock::time_point time;  // when the chip's result was known
  std::string port;
  std::uint32_t chip = 0;  // the chip's number in the run on this port, from 1
  std::string part;
  std::optional<std::uint32_t> signature;  // as the chip answered, when it did
  std::optional<std::uint64_t> serial;
  bool passed = false;
  std::string step;    // the step that failed ("" when passed)
  std::string reason;  // why it failed
  double seconds = 0;
  // SHA-256 of each memory written: the chip's whole memory as it is meant to be afterwards
  // (0xFF where the image holds nothing).
  std::optional<std::string> flashSha256, eepromSha256;
  // A UPDI part's user row, when it is written (the key is left out otherwise).
  std::optional<std::string> userRowSha256;
  std::string tool;                          // the program's version
  std::uint32_t hardware = 0, firmware = 0;  // the programmer's versions, major * 256 + minor
};

// {"time":"2025-03-01T09:15:02Z","port":...} without a line end; keys always present,
// null where a value is not known.
std::string ChipRecordJson(const ChipRecord& record);

// "2025-03-01T09:15:02Z"
std::string IsoUtcTime(std::chrono::system_clock::time_point time);

}  // namespace bq
