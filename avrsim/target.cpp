#include "avrsim/target.h"

namespace bq::avrsim {

const char* PinName(Pin pin) {
  static const char* const kNames[] = {
      "VCC", "RESET", "SCK",  "MOSI", "MISO", "SDI",   "SII",   "SDO",   "SCI",
      "XTAL1", "OE",  "WR",   "BS1",  "BS2",  "XA0",   "XA1",   "PAGEL", "RDY/BSY",
      "DATA0", "DATA1", "DATA2", "DATA3", "DATA4", "DATA5", "DATA6", "DATA7"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<unsigned>(Pin::kCount));
  const auto index = static_cast<unsigned>(pin);
  return index < static_cast<unsigned>(Pin::kCount) ? kNames[index] : "?";
}

}  // namespace bq::avrsim
