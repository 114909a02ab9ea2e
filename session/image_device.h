#pragma once
// Whether a program image built for one device may go into the chip in use. avr-gcc names
// the device in an ELF file ("atmega328p"); the part list names parts "ATmega328P".

#include <string>
#include <string_view>

namespace bq {

// True when the image names no device, or names the part: its name or short id ("m328p")
// in any letter case.
bool ImageDeviceFits(std::string_view device, std::string_view partName);

// "the image was built for atmega328p, not for ATtiny85": what a refusal says, without the
// way out, which each front-end words for itself.
std::string ImageDeviceMismatchText(std::string_view device, std::string_view partName);

}  // namespace bq
