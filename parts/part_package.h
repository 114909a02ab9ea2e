#pragma once
// The through-hole package a part comes in, as far as the programmer's high-voltage sockets
// care: each DIP package has its own pin map for programming, so a socket takes the parts of
// one package only. The rescue asks for the socket of the part's package; the simulated
// bench places a chip in the socket of its package.

#include <cstdint>
#include <string>

namespace bq {

enum class Package : std::uint8_t {
  Other,     // no DIP package a socket of the programmer takes (surface-mount only, or another map)
  Dip8,      // ATtiny13/25/45/85: HVSP
  Dip14,     // ATtiny24/44/84/841: HVSP on other pins than the 8-pin parts
  Dip20,     // ATtiny2313/2313A/4313: HVPP, BS1/PAGEL and XA1/BS2 shared
  Dip20X61,  // ATtiny26/261/461/861(A): HVPP, BS1/PAGEL and XA1/BS2 shared, another pin map
  Dip28,     // ATmega8/48/88/168/328(P): HVPP
  Dip40,     // ATmega16/32/164/324/644/1284(P): HVPP, BS2 on PA0
};

// By the part's name as the part list spells it ("ATmega1284P"); Other for an unknown name.
Package PackageOf(const std::string& partName);

}  // namespace bq
