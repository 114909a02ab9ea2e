#include "platform/win32/line_settings.h"

namespace bq {

DCB ProgrammerLineSettings(DCB found) {
  DCB dcb = found;
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // A port left with XON/XOFF on (by a terminal program, or by Wine for a terminal at its
  // defaults) would swallow 0x11 and 0x13 and stop sending after a 0x13 in the answers.
  dcb.fBinary = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fParity = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  return dcb;
}

}  // namespace bq
