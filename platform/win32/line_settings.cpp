#include "platform/win32/line_settings.h"

namespace bq {

DCB ProgrammerLineSettings(DCB found, const LineSettings& line) {
  DCB dcb = found;
  dcb.BaudRate = line.baud;  // the CBR_ constants are the rates themselves
  dcb.ByteSize = line.dataBits;
  dcb.Parity = line.parity == LineSettings::Parity::Even  ? EVENPARITY
               : line.parity == LineSettings::Parity::Odd ? ODDPARITY
                                                          : NOPARITY;
  dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  // A port left with XON/XOFF on (by a terminal program, or by Wine for a terminal at its
  // defaults) would swallow 0x11 and 0x13 and stop sending after a 0x13 in the answers.
  // Parity is sent and received but not checked, as on the other systems.
  dcb.fBinary = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fParity = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  return dcb;
}

std::string LineSettingsProblem(const LineSettings& line) {
  if (line.baud == 0) return "a line rate of 0 baud cannot be set";
  if (line.dataBits < 5 || line.dataBits > 8) {
    return std::to_string(line.dataBits) + " data bits cannot be set (5 to 8)";
  }
  if (line.stopBits != 1 && line.stopBits != 2) {
    return std::to_string(line.stopBits) + " stop bits cannot be set (1 or 2)";
  }
  return "";
}

}  // namespace bq
