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

#include <string>

#include "link/serial_connection.h"

namespace bq {

// `found` at the line's rate and framing (115200 baud 8N1 by default) in binary mode: no
// XON/XOFF in either direction, no parity check or replacement, no null stripping, no error
// character, no abort on error, so every byte value passes both ways. The hardware handshake
// (CTS, DSR, DTR, RTS) stays as found.
DCB ProgrammerLineSettings(DCB found, const LineSettings& line = {});

// Why a port cannot be set to the line (a rate of 0, data bits outside 5..8, stop bits other
// than 1 or 2); "" when it can.
std::string LineSettingsProblem(const LineSettings& line);

}  // namespace bq
