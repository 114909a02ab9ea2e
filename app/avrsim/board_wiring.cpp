#include "app/avrsim/board_wiring.h"

namespace bq::avrsim {

std::vector<Wire> WiresFor(Board board, Place place) {
  using R = WireRole;
  if (board == Board::Uno) {
    switch (place) {
      case Place::Isp:  // D10 RESET, D11 MOSI, D12 MISO, D13 SCK
        return {{'B', 2, Pin::Reset}, {'B', 3, Pin::Mosi}, {'B', 4, Pin::Miso}, {'B', 5, Pin::Sck}};
      case Place::HvspSocket:  // D2 SCI, D3 SDO, D4 SII, D5 SDI, A0 supply, A1 12 V
        return {{'D', 2, Pin::Sci},           {'D', 3, Pin::Sdo},
                {'D', 4, Pin::Sii},           {'D', 5, Pin::Sdi},
                {'C', 0, Pin::Vcc, R::Supply}, {'C', 1, Pin::Reset, R::HighVoltage}};
      default:
        return {};
    }
  }
  switch (place) {
    case Place::Isp:  // D53 RESET, D51 MOSI, D50 MISO, D52 SCK
      return {{'B', 0, Pin::Reset}, {'B', 2, Pin::Mosi}, {'B', 3, Pin::Miso}, {'B', 1, Pin::Sck}};
    case Place::HvspSocket:  // A0 SDI, A1 SII, A2 SDO, A3 SCI, A4 supply, A5 12 V
      return {{'F', 0, Pin::Sdi}, {'F', 1, Pin::Sii},           {'F', 2, Pin::Sdo},
              {'F', 3, Pin::Sci}, {'F', 4, Pin::Vcc, R::Supply}, {'F', 5, Pin::Reset, R::HighVoltage}};
    case Place::HvppSocket: {  // D22-D29 DATA, D37-D30 controls, D49 RDY/BSY, D48 supply, D47 12 V
      std::vector<Wire> wires;
      for (std::uint8_t i = 0; i < 8; ++i) {
        wires.push_back({'A', i, static_cast<Pin>(static_cast<unsigned>(Pin::Data0) + i)});
      }
      const Pin controls[8] = {Pin::Xtal1, Pin::Oe,  Pin::Wr,    Pin::Bs1,
                               Pin::Xa0,   Pin::Xa1, Pin::Pagel, Pin::Bs2};
      for (std::uint8_t i = 0; i < 8; ++i) wires.push_back({'C', i, controls[i]});
      wires.push_back({'L', 0, Pin::RdyBsy});
      wires.push_back({'L', 1, Pin::Vcc, R::Supply});
      wires.push_back({'L', 2, Pin::Reset, R::HighVoltage});
      return wires;
    }
    default:
      return {};
  }
}

bool IsChipOutput(Pin pin) {
  return pin == Pin::Miso || pin == Pin::Sdo || pin == Pin::RdyBsy ||
         (pin >= Pin::Data0 && pin <= Pin::Data7);
}

}  // namespace bq::avrsim
