#include "app/avrsim/board_wiring.h"

namespace bq::avrsim {

std::vector<Wire> WiresFor(Board board, Place place) {
  using R = WireRole;
  if (board == Board::Uno) {
    switch (place) {
      case Place::Isp:  // D10 RESET, D11 MOSI, D12 MISO, D13 SCK
        return {{'B', 2, Pin::Reset}, {'B', 3, Pin::Mosi}, {'B', 4, Pin::Miso}, {'B', 5, Pin::Sck}};
      case Place::HvspSocket:
      case Place::Hvsp14Adapter:  // D2 SCI, D3 SDO, D4 SII, D5 SDI, A0 supply, A1 12 V
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
    case Place::HvspSocket:
    case Place::Hvsp14Adapter:  // A0 SDI, A1 SII, A2 SDO, A3 SCI, A4 supply, A5 12 V
      return {{'F', 0, Pin::Sdi}, {'F', 1, Pin::Sii},           {'F', 2, Pin::Sdo},
              {'F', 3, Pin::Sci}, {'F', 4, Pin::Vcc, R::Supply}, {'F', 5, Pin::Reset, R::HighVoltage}};
    case Place::HvppSocket:
    case Place::Hvpp40Socket:
    case Place::Hvpp20Socket:
    case Place::Hvpp20X61Socket: {
      // The parallel bus, shared by the HVPP sockets: D22-D29 DATA, D37-D30 controls, D49
      // RDY/BSY. The 20-pin chips have BS1/PAGEL on the BS1 line and XA1/BS2 on the XA1 line;
      // the bus's PAGEL and BS2 lines go to no pin of theirs.
      const bool twenty = place == Place::Hvpp20Socket || place == Place::Hvpp20X61Socket;
      std::vector<Wire> wires;
      for (std::uint8_t i = 0; i < 8; ++i) {
        wires.push_back({'A', i, static_cast<Pin>(static_cast<unsigned>(Pin::Data0) + i)});
      }
      const Pin controls[8] = {Pin::Xtal1, Pin::Oe,  Pin::Wr,    Pin::Bs1,
                               Pin::Xa0,   Pin::Xa1, Pin::Pagel, Pin::Bs2};
      for (std::uint8_t i = 0; i < 8; ++i) {
        if (twenty && (controls[i] == Pin::Pagel || controls[i] == Pin::Bs2)) continue;
        wires.push_back({'C', i, controls[i]});
      }
      wires.push_back({'L', 0, Pin::RdyBsy});
      // Each socket's own supply and 12 V switches (the supply first: a port write that
      // switches both gives the chip VCC before 12 V).
      struct Switches {
        char port;
        std::uint8_t supply, twelve;
      };
      const Switches sw = place == Place::HvppSocket     ? Switches{'L', 1, 2}   // D48, D47
                          : place == Place::Hvpp40Socket ? Switches{'L', 3, 4}   // D46, D45
                          : place == Place::Hvpp20Socket ? Switches{'L', 5, 6}   // D44, D43
                                                         : Switches{'G', 0, 1};  // D41, D40
      wires.push_back({sw.port, sw.supply, Pin::Vcc, R::Supply});
      wires.push_back({sw.port, sw.twelve, Pin::Reset, R::HighVoltage});
      return wires;
    }
    default:
      return {};
  }
}

Place SocketFor(Board board, Package package) {
  if (package == Package::Dip8) return Place::HvspSocket;
  if (package == Package::Dip14) return Place::Hvsp14Adapter;
  if (board != Board::Mega) return Place::Isp;
  switch (package) {
    case Package::Dip20:
      return Place::Hvpp20Socket;
    case Package::Dip20X61:
      return Place::Hvpp20X61Socket;
    case Package::Dip28:
      return Place::HvppSocket;
    case Package::Dip40:
      return Place::Hvpp40Socket;
    default:
      return Place::Isp;
  }
}

const char* PlaceName(Place place) {
  switch (place) {
    case Place::Isp:
      return "ISP header";
    case Place::HvspSocket:
      return "8-pin HVSP socket";
    case Place::Hvsp14Adapter:
      return "14-pin adapter on the HVSP socket's lines";
    case Place::HvppSocket:
      return "28-pin HVPP socket";
    case Place::Hvpp40Socket:
      return "40-pin HVPP socket";
    case Place::Hvpp20Socket:
      return "20-pin HVPP socket for the ATtiny2313/4313";
    case Place::Hvpp20X61Socket:
      return "20-pin HVPP socket for the ATtiny26/261/461/861";
    default:
      return "nowhere";
  }
}

Wire ClockLead(Board board) {
  return board == Board::Uno ? Wire{'D', 6, Pin::Xtal1} : Wire{'B', 4, Pin::Xtal1};
}

bool IsChipOutput(Pin pin) {
  return pin == Pin::Miso || pin == Pin::Sdo || pin == Pin::RdyBsy ||
         (pin >= Pin::Data0 && pin <= Pin::Data7);
}

}  // namespace bq::avrsim
