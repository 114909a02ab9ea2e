#pragma once
// The chip the transfer benchmarks program: an ATmega2560 as the part list describes it
// (1024 flash pages of 128 words, 512 EEPROM pages of 8 bytes, high-voltage mode 1).

#include "parts/part_record.h"

namespace bq::bench {

inline PartRecord Atmega2560() {
  PartRecord part;
  part.signature = 0x1E9801;
  part.flashPageSizeW = 128;
  part.flashNoOfPages = 1024;
  part.eepromPageSize = 8;
  part.eepromNoOfPages = 512;
  part.hvMode = 1;
  part.hasDefaultLow = part.hasDefaultHigh = part.hasDefaultExtended = true;
  part.defaultLow = 0x62;
  part.defaultHigh = 0x99;
  part.defaultExtended = 0xFF;
  return part;
}

}  // namespace bq::bench
