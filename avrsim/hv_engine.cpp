#include "avrsim/hv_engine.h"

#include <algorithm>
#include <set>

namespace bq::avrsim {

namespace {

constexpr Nanos kUs = 1000;
// Entry (VCC-timed): 12 V 20-60 us after VCC, Prog_enable kept 10 us after 12 V.
constexpr Nanos kVppEarliest = 20 * kUs;
constexpr Nanos kVppLatest = 60 * kUs;
constexpr Nanos kHold = 10 * kUs;
// Entry (XTAL1 toggled): VCC on 100 us first, 6 toggles, Prog_enable steady 100 ns around 12 V.
constexpr Nanos kSettle = 100 * kUs;
constexpr unsigned kToggles = 6;
constexpr Nanos kQuiet = 100;
// Entry (reset disabled): VCC and 12 V together; "together" read as within 1 us.
constexpr Nanos kTogether = 1 * kUs;
// Before the first command: 300 us (VCC-timed), 50 us (XTAL1-toggle and reset-disabled).
constexpr Nanos kFirstCommand = 300 * kUs;
constexpr Nanos kFirstCommandOlder = 50 * kUs;
// When the serial chip starts driving SDO after 12 V. The board must keep SDO at 0 for 10 us
// and then release it; the datasheets give no figure for the chip's side, so it takes the
// line 40 us after that hold (UNCONFIRMED; a board releasing later risks contention).
constexpr Nanos kSdoTakeover = 50 * kUs;
constexpr Nanos kFirstFrame = 300 * kUs;
// Serial clock: SCI high and low at least 100 ns, period 220 ns, SDI/SII 50 ns around the rise.
constexpr Nanos kSciPhase = 100;
constexpr Nanos kSciPeriod = 220;
constexpr Nanos kSciSetup = 50;
// Parallel strobes.
constexpr Nanos kSetup = 67;  // data and control before XTAL1, BS1 before PAGEL/WR, holds
constexpr Nanos kXtalHigh = 150;
constexpr Nanos kXtalLow = 200;
constexpr Nanos kPagelHigh = 150;
constexpr Nanos kPagelToXtal = 150;
constexpr Nanos kWrLow = 150;
constexpr Nanos kDataValid = 250;  // OE low or BS1 change to DATA valid

// Parts whose datasheets give the older parallel entry (XTAL1 toggled with RESET at 0 V
// before 12 V); the others use the VCC-timed entry. ATmega16, ATmega32(A), ATmega164P,
// ATmega324P, ATmega644(P) and ATtiny26 are taken to be like the parts of their families
// whose datasheets say so (their own were not seen).
bool UsesXtal1Entry(const std::string& name) {
  static const std::set<std::string> kParts = {
      "ATmega8",     "ATmega8A",   "ATmega8L",   "ATmega16",    "ATmega16A",   "ATmega32",
      "ATmega32A",   "ATmega164A", "ATmega164P", "ATmega164PA", "ATmega324A",  "ATmega324P",
      "ATmega324PA", "ATmega644",  "ATmega644A", "ATmega644P",  "ATmega644PA", "ATmega1284",
      "ATmega1284P", "ATtiny2313", "ATtiny26",   "ATtiny261",   "ATtiny461",   "ATtiny861",
      "ATtiny261A",  "ATtiny461A", "ATtiny861A"};
  return kParts.count(name) != 0;
}

// Parts whose datasheets give the entry for a chip with RESET disabled: VCC and 12 V together.
bool HasResetDisabledEntry(const std::string& name) {
  static const std::set<std::string> kParts = {"ATmega8", "ATmega8A", "ATmega8L", "ATmega16A",
                                               "ATtiny2313"};
  return kParts.count(name) != 0;
}

bool IsData(Pin pin) {
  return pin >= Pin::Data0 && pin <= Pin::Data7;
}
unsigned Index(Pin pin) {
  return static_cast<unsigned>(pin);
}
unsigned long long Ns(Nanos time) {
  return static_cast<unsigned long long>(time);
}

}  // namespace

HvEngine::HvEngine(ChipMemory& memory, Reporter& report, const BusyTimes& busy, std::uint8_t hvMode,
                   const Lines& lines)
    : memory_(memory), report_(report), lines_(lines), core_(memory, busy) {
  if (hvMode == 1 || hvMode == 2) {
    kind_ = Kind::Parallel;
    tag_ = "HVPP";
    xtalEntry_ = UsesXtal1Entry(memory.name());
    resetDisabledEntry_ = HasResetDisabledEntry(memory.name());
    shared_ = hvMode == 2;
  } else if (hvMode == 3) {
    kind_ = Kind::Serial;
    tag_ = "HVSP";
  }
}

bool HvEngine::IsProgEnable(Pin pin) const {
  if (kind_ == Kind::Serial) return pin == Pin::Sdi || pin == Pin::Sii || pin == Pin::Sdo;
  if (shared_) return pin == Pin::Xa1 || pin == Pin::Xa0 || pin == Pin::Bs1 || pin == Pin::Wr;
  return pin == Pin::Pagel || pin == Pin::Xa1 || pin == Pin::Xa0 || pin == Pin::Bs1;
}

bool HvEngine::ProgEnableZero() const {
  if (kind_ == Kind::Serial)
    return !lines_.High(Pin::Sdi) && !lines_.High(Pin::Sii) && !lines_.High(Pin::Sdo);
  if (shared_)
    return !lines_.High(Pin::Xa1) && !lines_.High(Pin::Xa0) && !lines_.High(Pin::Bs1) &&
           !lines_.High(Pin::Wr);
  return !lines_.High(Pin::Pagel) && !lines_.High(Pin::Xa1) && !lines_.High(Pin::Xa0) &&
         !lines_.High(Pin::Bs1);
}

void HvEngine::Violation(const char* kind, const std::string& text) {
  if (std::find(told_.begin(), told_.end(), kind) != told_.end()) return;
  told_.push_back(kind);
  report_.Violation(text);
}

void HvEngine::TooSoon(Nanos elapsed, Nanos minimum, const char* what, const char* kind) {
  if (elapsed == kNever || elapsed >= minimum) return;
  Violation(kind, Format("%s: %s %llu ns; it must be at least %llu ns", tag_, what, Ns(elapsed),
                         Ns(minimum)));
}

void HvEngine::PowerOn(Nanos now) {
  powered_ = true;
  powerOnAt_ = now;
  toggles_ = 0;
  readyAtPowerOn_ = lines_.level[Index(Pin::Reset)] == Level::Low && ProgEnableZero();
}

void HvEngine::PowerOff(Nanos) {
  if (lines_.level[Index(Pin::Reset)] == Level::Vpp) {
    report_.Violation("12 V on RESET while VCC is off: VCC was switched off before the 12 V");
  }
  powered_ = false;
  Leave();
}

void HvEngine::Leave() {
  if (active_) memory_.Latch();
  active_ = false;
  sdoTakeAt_ = kNever;
}

void HvEngine::HighVoltageOn(Nanos now, bool powered) {
  if (!powered) {
    report_.Violation(
        "12 V on RESET while VCC is off: switch VCC on first, then 12 V 20-60 us later");
    return;
  }
  if (kind_ == Kind::None) {
    report_.Violation("12 V on RESET of the " + memory_.name() +
                      ", which has no high-voltage programming mode");
    return;
  }
  std::string why;
  const Nanos after = now - powerOnAt_;
  const bool together = resetDisabledEntry_ && kind_ == Kind::Parallel && after <= kTogether &&
                        readyAtPowerOn_ && ProgEnableZero();
  if (together) {
    // The entry for a chip whose RESET pin is disabled.
  } else if (!xtalEntry_) {
    if (!readyAtPowerOn_) {
      why = "RESET and the Prog_enable pins were not all at 0 V when VCC came on";
    } else if (after < kVppEarliest || after > kVppLatest) {
      why = Format("12 V came %.1f us after VCC; it must come 20-60 us after",
                   static_cast<double>(after) / 1e3);
    } else if (!ProgEnableZero()) {
      why = "the Prog_enable pins were not all 0 when 12 V came";
    }
  } else if (memory_.ResetDisabled()) {
    why = Format(
        "RSTDISBL is programmed, so RESET at 0 V does not hold the chip in reset and the XTAL1 "
        "pulses do not count%s",
        resetDisabledEntry_ ? "; apply VCC and 12 V together instead" : "");
  } else if (toggles_ < kToggles) {
    why =
        Format("XTAL1 toggled %u times with RESET at 0 V after VCC had settled 100 us; it needs 6",
               toggles_);
  } else if (!ProgEnableZero() || now - progEnableChangedAt_ < kQuiet) {
    why = "the Prog_enable pins were not 0 for 100 ns before 12 V came";
  }
  if (!why.empty()) {
    report_.Note(Format("%s: the %s did not enter programming mode: %s", tag_,
                        memory_.name().c_str(), why.c_str()));
    return;
  }
  active_ = true;
  vppAt_ = now;
  const bool older = xtalEntry_ || together;
  holdUntil_ = now + (older ? kQuiet : kHold);
  firstCommandAt_ = now + (older ? kFirstCommandOlder : kFirstCommand);
  told_.clear();
  core_.Reset();
  sdoTakeAt_ = kind_ == Kind::Serial ? now + kSdoTakeover : kNever;
  sdoTaken_ = false;
  bits_ = 0;
  sdi_ = sii_ = 0;
  sciRise_ = sciFall_ = kNever;
  wrLow_ = pagel_ = false;
  out_ = 0;
  showReady_ = true;
  xtalRise_ = xtalFall_ = pagelRise_ = pagelFall_ = wrFall_ = kNever;
  oeLowAt_ = lines_.level[Index(Pin::Oe)] == Level::Low ? now : kNever;
}

void HvEngine::HighVoltageOff(Nanos) {
  Leave();
}

void HvEngine::CatchUp(Nanos now) {
  if (!active_ || sdoTaken_ || now < sdoTakeAt_) return;
  sdoTaken_ = true;
  if (lines_.level[Index(Pin::Sdo)] != Level::Float) {
    Violation(
        "sdo",
        Format("HVSP: the board still drives SDO %llu us after 12 V, when the chip drives it; "
               "release SDO after the 10 us hold",
               Ns(kSdoTakeover / kUs)));
  }
}

void HvEngine::PinChanged(Pin pin, Level old, Level level, Nanos now) {
  const bool high = level == Level::High;
  const bool changed = (old == Level::High) != high;
  if (kind_ == Kind::None) return;
  if (IsProgEnable(pin) && changed) {
    progEnableChangedAt_ = now;
    if (active_ && now < holdUntil_) {
      active_ = false;
      report_.Note(
          Format("%s: the %s did not enter programming mode: %s changed %llu ns after 12 V; "
                 "the Prog_enable pins must stay at 0 for %s",
                 tag_, memory_.name().c_str(), PinName(pin), Ns(now - vppAt_),
                 holdUntil_ - vppAt_ == kQuiet ? "100 ns" : "10 us"));
      return;
    }
  }
  if (kind_ == Kind::Serial) {
    if (!active_) return;
    if (pin == Pin::Sdo && sdoTaken_ && level != Level::Float) {
      Violation("sdo", "HVSP: the board drives SDO while the chip drives it (bus contention)");
    } else if (pin == Pin::Sci && changed) {
      SciEdge(high, now);
    } else if ((pin == Pin::Sdi || pin == Pin::Sii) && changed && sciRise_ != kNever &&
               now - sciRise_ < kSciSetup) {
      Violation("hold", Format("HVSP: %s changed %llu ns after SCI rose; it must stay %llu ns",
                               PinName(pin), Ns(now - sciRise_), Ns(kSciSetup)));
    }
    return;
  }
  // Parallel: before entry only the XTAL1 toggles of the older entry count.
  if (!active_) {
    if (pin == Pin::Xtal1 && changed && powered_ && lines_.level[Index(Pin::Reset)] == Level::Low &&
        now >= powerOnAt_ + kSettle) {
      ++toggles_;
    }
    return;
  }
  if (IsData(pin) && level != Level::Float && lines_.level[Index(Pin::Oe)] == Level::Low) {
    Violation(
        "contention",
        Format(
            "HVPP: the board drives %s while OE is low and the chip drives DATA (bus contention)",
            PinName(pin)));
  }
  if (changed || IsData(pin)) ParallelPin(pin, high, now);
}

void HvEngine::Busy(const char* strobe, Nanos now) {
  if (core_.Busy(now)) {
    Violation("busy",
              Format("HVPP: %s while the chip is still programming (RDY/BSY low for %llu us more)",
                     strobe, Ns((core_.BusyUntil() - now + kUs - 1) / kUs)));
  }
}

std::uint8_t HvEngine::DataByte() const {
  std::uint8_t data = 0;
  for (unsigned bit = 0; bit < 8; ++bit) {
    if (lines_.High(static_cast<Pin>(Index(Pin::Data0) + bit)))
      data = static_cast<std::uint8_t>(data | (1u << bit));
  }
  return data;
}

void HvEngine::ParallelPin(Pin pin, bool high, Nanos now) {
  auto since = [&](Nanos at) { return at == kNever ? kNever : now - at; };
  // WR, OE and PAGEL act only after XTAL1 is low again.
  const bool strobe = (pin == Pin::Wr && !high) || (pin == Pin::Pagel && high) ||
                      (pin == Pin::Oe && lines_.level[Index(Pin::Oe)] == Level::Low);
  if (strobe && lines_.High(Pin::Xtal1)) {
    Violation("xtalhigh", Format("HVPP: %s %s while XTAL1 was high; wait until XTAL1 is low",
                                 PinName(pin), pin == Pin::Pagel ? "rose" : "fell"));
  }
  switch (pin) {
    case Pin::Xtal1:
      if (high) {
        Busy("XTAL1 pulsed", now);
        if (now < firstCommandAt_) {
          Violation("first",
                    Format("HVPP: XTAL1 pulsed %llu us after 12 V; wait at least %llu us "
                           "before the first command",
                           Ns((now - vppAt_) / kUs), Ns((firstCommandAt_ - vppAt_) / kUs)));
        }
        TooSoon(since(xtalFall_), kXtalLow, "XTAL1 low to XTAL1 high", "xlxh");
        for (Pin line : {Pin::Xa0, Pin::Xa1, Pin::Bs1, Pin::Bs2, Pin::Data0, Pin::Data1, Pin::Data2,
                         Pin::Data3, Pin::Data4, Pin::Data5, Pin::Data6, Pin::Data7}) {
          const Nanos at = lines_.ChangedAt(line);
          if (at != kNever && at > vppAt_ && now - at < kSetup) {
            Violation(
                "dvxh",
                Format(
                    "HVPP: %s changed %llu ns before XTAL1 rose; it must be steady %llu ns before",
                    PinName(line), Ns(now - at), Ns(kSetup)));
          }
        }
        if (pagelFall_ != kNever && (xtalRise_ == kNever || pagelFall_ > xtalRise_)) {
          TooSoon(now - pagelFall_, kPagelToXtal, "PAGEL low to XTAL1 high", "plxh");
        }
        core_.XtalPulse(lines_.High(Pin::Xa1), lines_.High(Pin::Xa0), lines_.High(Pin::Bs1), Bs2(),
                        DataByte());
        xtalRise_ = now;
      } else {
        TooSoon(since(xtalRise_), kXtalHigh, "XTAL1 high for", "xhxl");
        xtalFall_ = now;
      }
      return;
    case Pin::Pagel:
      if (shared_) return;  // not a pin of its own: BS1/PAGEL
      if (high)
        TooSoon(since(lines_.ChangedAt(Pin::Bs1)), kSetup, "BS1 set before PAGEL rose by", "bvph");
      PagelEdge(high, now);
      return;
    case Pin::Bs2:
      if (shared_) return;  // not a pin of its own: XA1/BS2
      break;
    case Pin::Wr:
      if (!high) {
        Busy("WR pulsed", now);
        TooSoon(since(lines_.ChangedAt(Pin::Bs1)), kSetup, "BS1 set before WR fell by", "bvwl");
        TooSoon(since(lines_.ChangedAt(shared_ ? Pin::Xa1 : Pin::Bs2)), kSetup,
                "BS2 set before WR fell by", "bvwl");
        if (pagelFall_ != kNever && (wrFall_ == kNever || pagelFall_ > wrFall_)) {
          TooSoon(now - pagelFall_, kSetup, "PAGEL low to WR low", "plwl");
        }
        core_.Write(lines_.High(Pin::Bs1), Bs2(), now);
        wrFall_ = now;
      } else {
        TooSoon(since(wrFall_), kWrLow, "WR low for", "wlwh");
      }
      return;
    case Pin::Oe:
      if (lines_.level[Index(Pin::Oe)] == Level::Low) {
        Busy("OE pulled low", now);
        for (unsigned bit = 0; bit < 8; ++bit) {
          const Pin line = static_cast<Pin>(Index(Pin::Data0) + bit);
          if (lines_.level[Index(line)] != Level::Float) {
            Violation("contention",
                      Format("HVPP: OE went low while the board drives %s (bus contention)",
                             PinName(line)));
          }
        }
        oeLowAt_ = now;
      } else {
        oeLowAt_ = kNever;
      }
      return;
    default:
      break;
  }
  // Data and control lines: held 67 ns after XTAL1 falls (and not changed while it is high),
  // BS1/BS2 held 67 ns after WR falls, BS1 67 ns after PAGEL falls.
  if (pin == Pin::Xa0 || pin == Pin::Xa1 || pin == Pin::Bs1 || pin == Pin::Bs2 || IsData(pin)) {
    if (lines_.High(Pin::Xtal1)) {
      Violation("xhold", Format("HVPP: %s changed while XTAL1 was high", PinName(pin)));
    } else {
      TooSoon(since(xtalFall_), kSetup, "data and control held after XTAL1 fell for", "xldx");
    }
  }
  if (pin == Pin::Bs1 || pin == Pin::Bs2)
    TooSoon(since(wrFall_), kSetup, "BS1/BS2 held after WR fell for", "wlbx");
  if (pin == Pin::Bs1 && shared_) {
    PagelEdge(high, now);
  } else if (pin == Pin::Bs1) {
    if (lines_.High(Pin::Pagel)) {
      Violation("plbx", "HVPP: BS1 changed while PAGEL was high");
    } else {
      TooSoon(since(pagelFall_), kSetup, "BS1 held after PAGEL fell for", "plbx");
    }
  }
}

// A PAGEL edge (its own pin, or BS1/PAGEL on the mode-2 parts): rising latches the data.
void HvEngine::PagelEdge(bool high, Nanos now) {
  if (high) {
    Busy("PAGEL pulsed", now);
    core_.PagelPulse(shared_ || lines_.High(Pin::Bs1));
    pagelRise_ = now;
  } else {
    if (pagelRise_ != kNever) TooSoon(now - pagelRise_, kPagelHigh, "PAGEL high for", "phpl");
    pagelFall_ = now;
  }
}

bool HvEngine::Bs2() const {
  return lines_.High(shared_ ? Pin::Xa1 : Pin::Bs2);
}

Nanos HvEngine::DataValidAt() const {
  Nanos at = oeLowAt_;
  for (Pin line : {Pin::Bs1, shared_ ? Pin::Xa1 : Pin::Bs2}) {
    const Nanos changed = lines_.ChangedAt(line);
    if (changed != kNever && changed > at) at = changed;
  }
  return at + kDataValid;
}

// ---------------------------------------------------------------------------------------------

void HvEngine::SciEdge(bool rising, Nanos now) {
  if (!rising) {
    if (sciRise_ != kNever && now - sciRise_ < kSciPhase)
      TooSoon(now - sciRise_, kSciPhase, "SCI high for", "sci");
    sciFall_ = now;
    return;
  }
  if (now < vppAt_ + kFirstFrame) {
    Violation(
        "first",
        Format("HVSP: SCI clocked %llu us after 12 V; wait at least 300 us before the first frame",
               Ns((now - vppAt_) / kUs)));
  }
  if (sciFall_ != kNever) TooSoon(now - sciFall_, kSciPhase, "SCI low for", "sci");
  if (sciRise_ != kNever) TooSoon(now - sciRise_, kSciPeriod, "SCI period", "sciperiod");
  for (Pin line : {Pin::Sdi, Pin::Sii}) {
    const Nanos at = lines_.ChangedAt(line);
    if (at != kNever && at > vppAt_ && now - at < kSciSetup) {
      Violation("setup",
                Format("HVSP: %s changed %llu ns before SCI rose; it must be steady %llu ns before",
                       PinName(line), Ns(now - at), Ns(kSciSetup)));
    }
  }
  sdi_ = ((sdi_ << 1) | (lines_.High(Pin::Sdi) ? 1u : 0u)) & 0x7FFu;
  sii_ = ((sii_ << 1) | (lines_.High(Pin::Sii) ? 1u : 0u)) & 0x7FFu;
  sciRise_ = now;
  if (++bits_ == 11) {
    bits_ = 0;
    Frame(now);
  }
}

// One 11-bit frame: SII drives the parallel control lines (bit 6..0 = XA1 XA0 BS1 /WR /OE BS2
// PAGEL), SDI the data bus; the state machine steps once per frame.
void HvEngine::Frame(Nanos now) {
  const auto data = static_cast<std::uint8_t>(sdi_ >> 2);
  const auto instruction = static_cast<std::uint8_t>(sii_ >> 2);
  if (((sdi_ | sii_) & 0x403u) != 0) {
    Violation("framing",
              Format("HVSP: frame SDI 0x%03X SII 0x%03X has a start or stop bit set; frames are "
                     "0, 8 data bits, 0, 0",
                     static_cast<unsigned>(sdi_), static_cast<unsigned>(sii_)));
  }
  const bool xa1 = instruction & 0x40, xa0 = instruction & 0x20, bs1 = instruction & 0x10;
  const bool wrLow = !(instruction & 0x08), oeLow = !(instruction & 0x04), bs2 = instruction & 0x02;
  const bool pagel = instruction & 0x01;
  const bool action = !(xa1 && xa0) || (wrLow && !wrLow_) || (pagel && !pagel_) || oeLow;
  if (action && core_.Busy(now)) {
    Violation("busy",
              Format("HVSP: frame SDI 0x%02X SII 0x%02X sent while the chip is still programming; "
                     "wait until SDO goes high",
                     data, instruction));
  }
  if (!(xa1 && xa0)) core_.XtalPulse(xa1, xa0, bs1, bs2, data);
  if (pagel && !pagel_) core_.PagelPulse(bs1);
  if (wrLow && !wrLow_) {
    core_.Write(bs1, bs2, now);
    showReady_ = true;
  }
  if (oeLow) {
    out_ = core_.Output(bs1, bs2);
    showReady_ = false;
  }
  wrLow_ = wrLow;
  pagel_ = pagel;
}

// Read data: bit 7 before the frame's first SCI rise, the next bit after each rise. After a
// write step SDO shows RDY/BSY (low while busy) until data are read again.
Level HvEngine::Sdo(Nanos now) const {
  if (showReady_) return core_.Busy(now) ? Level::Low : Level::High;
  if (bits_ > 7) return Level::Low;
  return ((out_ >> (7 - bits_)) & 1u) ? Level::High : Level::Low;
}

Level HvEngine::Read(Pin pin, Nanos now) {
  if (!active_) return Level::Float;
  if (kind_ == Kind::Serial) return pin == Pin::Sdo && sdoTaken_ ? Sdo(now) : Level::Float;
  if (pin == Pin::RdyBsy) return core_.Busy(now) ? Level::Low : Level::High;
  if (!IsData(pin) || lines_.level[Index(Pin::Oe)] != Level::Low) return Level::Float;
  // Until DATA is valid the chip does not drive it yet; the bench asks again when it is
  // (NextChange), so a board that samples too soon reads the floating line.
  if (now < DataValidAt()) return Level::Float;
  const std::uint8_t value = core_.Output(lines_.High(Pin::Bs1), Bs2());
  return (value >> (Index(pin) - Index(Pin::Data0))) & 1u ? Level::High : Level::Low;
}

Nanos HvEngine::NextChange(Nanos now) const {
  if (!active_) return kNever;
  Nanos next = kNever;
  auto consider = [&](Nanos at) {
    if (at > now && at < next) next = at;
  };
  consider(core_.BusyUntil());
  if (kind_ == Kind::Serial && !sdoTaken_) consider(sdoTakeAt_);
  if (kind_ == Kind::Parallel && oeLowAt_ != kNever) consider(DataValidAt());
  return next;
}

}  // namespace bq::avrsim
