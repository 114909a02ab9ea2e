#pragma once
// Which board pin goes to which chip line, per board and place (the ISP header or a
// socket). The tables are the programmer's pin maps; docs/hardware.md shows the same.

#include <cstdint>
#include <vector>

#include "avrsim/target.h"

namespace bq::avrsim {

enum class Board : std::uint8_t { Uno, Mega };
enum class Place : std::uint8_t {
  None,
  Isp,
  HvspSocket,      // 8-pin
  Hvsp14Adapter,   // the 14-pin adapter on the HVSP socket's lines
  HvppSocket,      // 28-pin (Mega)
  Hvpp40Socket,    // 40-pin (Mega)
  Hvpp20Socket,    // 20-pin for the ATtiny2313/4313 (Mega)
  Hvpp20X61Socket  // 20-pin for the ATtiny26/261/461/861 (Mega)
};

// The socket a board has for a package, or Place::Isp when it has none.
Place SocketFor(Board board, Package package);
// "ISP header", "28-pin HVPP socket", ...
const char* PlaceName(Place place);

// How the board's pin level becomes the chip line's level.
enum class WireRole : std::uint8_t {
  Line,         // the level as it is (an input without pull-up floats)
  Supply,       // a switch: pin high = the chip's VCC on, else off
  HighVoltage,  // a switch: pin high = 12 V on RESET, else RESET pulled to 0 V
};

struct Wire {
  char port;         // 'A'..'L'
  std::uint8_t bit;  // 0..7
  Pin pin;
  WireRole role = WireRole::Line;
};

// The wires of a place on a board; empty for Place::None.
std::vector<Wire> WiresFor(Board board, Place place);

// The board pin of the ISP cable's clock lead to the chip's XTAL1: the firmware's clock
// output, Uno D6 (PD6, Timer0's OC0A) and Mega D10 (PB4, Timer2's OC2A).
Wire ClockLead(Board board);

// True for the chip lines whose level the board reads (the chip may drive them).
bool IsChipOutput(Pin pin);

}  // namespace bq::avrsim
