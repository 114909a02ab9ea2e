#pragma once
// The line settings a programmer needs on a Windows serial port, as a plain function of the
// settings found so that it can be checked without a port.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace bq {

// `found` at 115200 baud 8N1 in binary mode: no XON/XOFF in either direction, no parity
// check or replacement, no null stripping, no error character, no abort on error, so every
// byte value passes both ways. The hardware handshake (CTS, DSR, DTR, RTS) stays as found.
DCB ProgrammerLineSettings(DCB found);

}  // namespace bq
