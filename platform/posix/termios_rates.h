#pragma once
// Line rates and their termios constants, both ways.

#include <termios.h>

#include <cstdint>

namespace bq {

struct TermiosRate {
  std::uint32_t baud;
  speed_t speed;
};

inline constexpr TermiosRate kTermiosRates[] = {
    {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

// The termios constant of a rate; B0 for one the system has no constant for.
inline speed_t SpeedFor(std::uint32_t baud) {
  for (const TermiosRate& r : kTermiosRates) {
    if (r.baud == baud) return r.speed;
  }
  return B0;
}

// The rate of a termios constant; 0 for one not in the table.
inline std::uint32_t BaudFor(speed_t speed) {
  for (const TermiosRate& r : kTermiosRates) {
    if (r.speed == speed) return r.baud;
  }
  return 0;
}

}  // namespace bq
