#include "link/protocol.h"

namespace bq {

const char* DeviceErrorText(std::uint8_t code) {
  switch (code) {
    case STATUS_DEVICE_UNKNOWN_COMMAND:
      return "Unknown Command";
    case STATUS_DEVICE_ENTER_PROG_MODE:
      return "Enter Program Mode";
    case STATUS_DEVICE_WRITE_LOCK_BITS:
      return "Write Lock Bits";
    case STATUS_DEVICE_WRITE_FUSES:
      return "Write Fuses";
    case STATUS_DEVICE_WRITE_MEMORY:
      return "Write Memory";
    case STATUS_DEVICE_CHIP_ERASE:
      return "Chip Erase";
    case STATUS_DEVICE_ISP_SPEED:
      return "ISP Speed not set";
    default:
      return "";
  }
}

std::string LinkStatusText(std::uint8_t status) {
  if (status >= STATUS_DEVICE_UNKNOWN_COMMAND && status <= STATUS_DEVICE_ISP_SPEED) {
    return std::string("ERROR: ") + DeviceErrorText(status);
  }
  switch (status) {
    case STATUS_WRITE_FAILED:
      return "Comunication Error Code 0x01!!!";
    case STATUS_NO_ANSWER:
      return "Comunication Error Code 0x02!!!";
    case STATUS_BAD_HEADER:
      return "Comunication Error Code 0x03!!!";
    case STATUS_SHORT_ANSWER:
      return "Comunication Error Code 0x04!!!";
    case STATUS_CANCELLED:
      return "Stopped before the end: the operation was cancelled";
    default:
      return "Unknown Error !!!";
  }
}

const char* IspClockText(std::uint8_t index) {
  switch (index) {
    case ISP_CLOCK_3686_KHZ:
      return "3.686 MHz";
    case ISP_CLOCK_1843_KHZ:
      return "1.843 MHz";
    case ISP_CLOCK_921_KHZ:
      return "921.60 kHz";
    case ISP_CLOCK_460_KHZ:
      return "460.80 kHz";
    case ISP_CLOCK_230_KHZ:
      return "230.40 kHz";
    case ISP_CLOCK_115_KHZ:
      return "115.20 kHz";
    case ISP_CLOCK_57_KHZ:
      return "57.60 kHz";
    default:
      return "";
  }
}

}  // namespace bq
