#include "session/rescue_coverage.h"

#include <vector>

#include "link/protocol.h"
#include "session/fuse_fields.h"
#include "session/rescue.h"

namespace bq {

namespace {

const BitFieldDesc* ClockSource(const PartRecord& part) { return RescueClockField(part); }

bool HasChoice(const BitFieldDesc* field, bool (*match)(const std::string&)) {
  if (field == nullptr) return false;
  for (const auto& [row, choice] : field->choices) {
    if (match(choice.text)) return true;
  }
  return false;
}

bool External(const std::string& text) {
  return text.rfind("Ext.", 0) == 0;
}
bool Slow(const std::string& text) {
  return text.find("128 kHz") != std::string::npos || text.find("128kHz") != std::string::npos;
}

bool Has(const PartRecord& part, const char* field) {
  const BitFieldDesc* f = FindFuseField(part.fuseBits, field);
  return f != nullptr && f->mask != 0;
}

// LB1 and LB2: the two low bits of the lock byte, which the rescue erases when programmed.
bool HasLockBits(const PartRecord& part) {
  for (const auto& [row, field] : part.lockBits) {
    if ((field.mask & 0x03u) != 0) return true;
  }
  return false;
}

std::string Listed(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::string Unthe(const std::string& socket) {
  return socket.rfind("the ", 0) == 0 ? socket.substr(4) : socket;
}

}  // namespace

RescueCoverage RescueCoverageOf(const std::string& partName, const PartRecord& part) {
  RescueCoverage c;
  if (part.IsUpdi()) {
    c.isp = "–";
    const std::string locked = "; locked: `erase --unlock`";
    const UpdiLayout& updi = part.updi;
    const std::string header = updi.pinShared && !updi.pinFuse.empty()
                                   ? "UPDI header: 12 V pulse, " + updi.pinFuse + "." +
                                         updi.pinField + " back to UPDI" + locked
                                   : "UPDI header: a UPDI pin of its own, no pulse needed" + locked;
    c.uno = header;
    c.mega = header;
    return c;
  }

  const BitFieldDesc* clock = ClockSource(part);
  const bool lock = HasLockBits(part);
  // Over ISP: the programmer's clock on XTAL1 for an external clock choice, the slow ISP
  // clocks for CKDIV8 or a slow clock source, the erase for the lock bits.
  std::vector<std::string> isp;
  if (HasChoice(clock, External)) isp.push_back("external clock (clock lead on XTAL1)");
  if (clock != nullptr || Has(part, "CKDIV8")) isp.push_back("slow clock");
  if (lock) isp.push_back("lock bits");
  c.isp = isp.empty() ? "nothing" : Listed(isp);

  // In the socket: the fields that keep ISP out, the clock source, the lock bits.
  const std::string socket = RescueSocketFor(partName, part);
  if (socket.empty()) {
    c.uno = "ISP only: no socket";
    c.mega = c.uno;
    return c;
  }
  std::vector<std::string> hv;
  for (const char* field : {"RSTDISBL", "DWEN", "SPIEN"}) {
    if (Has(part, field)) hv.push_back(field);
  }
  if (HasChoice(clock, External) || HasChoice(clock, Slow)) hv.push_back("clock source");
  if (lock) hv.push_back("lock bits");
  const std::string inSocket = Unthe(socket) + ": " + Listed(hv);
  c.mega = inSocket;
  // The Uno/Nano build's firmware has the serial socket only.
  c.uno = part.hvMode == PROG_MODE_HVSP ? inSocket : "ISP only (" + Unthe(socket) + ": Mega build)";
  return c;
}

std::string RescueCoverageMarkdown(const PartDatabase& parts) {
  std::string text =
      "| part | over the ISP cable, both builds | Uno / Nano build | Mega build |\n"
      "|---|---|---|---|\n";
  for (const auto& [name, part] : parts.parts()) {
    const RescueCoverage c = RescueCoverageOf(name, part);
    text += "| " + name + " | " + c.isp + " | " + c.uno + " | " + c.mega + " |\n";
  }
  return text;
}

}  // namespace bq
