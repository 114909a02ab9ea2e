#pragma once
// Whether an image built for a device (as avr-gcc names it in an ELF file: "atmega328p")
// belongs in a part of the part list ("ATmega328P").

#include <string_view>

namespace bq {

// True when device is partName in any letter case, or when device is empty (the image
// does not say what it was built for).
bool ImageDeviceFits(std::string_view device, std::string_view partName);

}  // namespace bq
