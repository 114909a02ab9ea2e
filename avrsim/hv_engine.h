#pragma once
// High-voltage programming: entry with 12 V on RESET, then the parallel interface (20-, 28-
// and 40-pin chips) or the serial one (8- and 14-pin chips), which drives the same
// parallel-mode state machine once per 11-bit frame.
//
// Readings where the datasheets leave room (the conservative one each time):
// - Serial frames: SII bits 6..0 = XA1 XA0 BS1 /WR /OE BS2 PAGEL, a mapping that fits every
//   documented frame but is not stated; a frame whose start or stop bits are not 0 is reported.
// - PAGEL with BS1 = 0 latches the low data byte, with BS1 = 1 both bytes (fits the ATtiny24
//   and the ATtiny25/13 page loads alike). ATtiny24/44/84 use the same model, with SDI, SII
//   and SDO as Prog_enable pins like the ATtiny25 family (their own table was not seen).
// - Entry: the VCC-timed algorithm, or for the parts in UsesXtal1Entry only the XTAL1-toggle
//   one (a toggle is any level change of XTAL1); the older ATtiny13 entry with SCI toggles is
//   not modelled. The XTAL1-toggle entry fails while RSTDISBL is programmed (RESET at 0 V
//   does not hold the chip); the parts in HasResetDisabledEntry also enter when VCC and 12 V
//   come together (within 1 us, Prog_enable at 0) and stay 100 ns.
// - High-voltage mode 2 (20-pin parts): BS1 and PAGEL are one pin, XA1 and BS2 are one pin,
//   and the Prog_enable pins are XA1, XA0, BS1 and WR. Every rising edge of BS1/PAGEL is a
//   PAGEL pulse (the strict reading: a board that raises it for BS1 alone is not spared).
// - The first command after 12 V: 300 us on the VCC-timed parts, 50 us on the others.
// - SDI/SII setup and hold 50 ns are the ATtiny11/12 figures; only the 220 ns SCI period is
//   documented for the newer parts.
// - EEPROM written in high-voltage modes only loses bits (no auto-erase), like Flash.
// - An undriven OE counts as high: the chip drives DATA only while OE is driven low.

#include <array>
#include <cstdint>
#include <vector>

#include "avrsim/chip_memory.h"
#include "avrsim/parallel_core.h"

namespace bq::avrsim {

// What the board drives on each line, and since when.
struct Lines {
  std::array<Level, static_cast<unsigned>(Pin::kCount)> level;
  std::array<Nanos, static_cast<unsigned>(Pin::kCount)> changedAt;
  Lines() {
    level.fill(Level::Float);
    changedAt.fill(kNever);
  }
  bool High(Pin pin) const { return level[static_cast<unsigned>(pin)] == Level::High; }
  Nanos ChangedAt(Pin pin) const { return changedAt[static_cast<unsigned>(pin)]; }
};

class HvEngine {
 public:
  // hvMode as the part list gives it: 1 or 2 parallel, 3 serial, anything else none.
  HvEngine(ChipMemory& memory, Reporter& report, const BusyTimes& busy, std::uint8_t hvMode,
           const Lines& lines);

  void PowerOn(Nanos now);
  void PowerOff(Nanos now);
  void HighVoltageOn(Nanos now, bool powered);
  void HighVoltageOff(Nanos now);
  // After `lines` took the new level.
  void PinChanged(Pin pin, Level old, Level level, Nanos now);
  Level Read(Pin pin, Nanos now);
  Nanos NextChange(Nanos now) const;
  // Time-driven steps up to `now`, before the board changes a line (the chip taking SDO over).
  void CatchUp(Nanos now);

 private:
  enum class Kind : std::uint8_t { None, Serial, Parallel };

  bool ProgEnableZero() const;
  bool IsProgEnable(Pin pin) const;
  void Leave();
  // One report per kind of violation and programming session, so a steady fault does not flood.
  void Violation(const char* kind, const std::string& text);
  void TooSoon(Nanos elapsed, Nanos minimum, const char* what, const char* kind);

  void SciEdge(bool rising, Nanos now);
  void Frame(Nanos now);
  Level Sdo(Nanos now) const;

  void ParallelPin(Pin pin, bool high, Nanos now);
  void PagelEdge(bool high, Nanos now);
  bool Bs2() const;
  void Busy(const char* strobe, Nanos now);
  std::uint8_t DataByte() const;
  Nanos DataValidAt() const;

  ChipMemory& memory_;
  Reporter& report_;
  const Lines& lines_;
  ParallelCore core_;
  Kind kind_ = Kind::None;
  bool xtalEntry_ = false;           // the older entry: XTAL1 toggled before 12 V
  bool resetDisabledEntry_ = false;  // also VCC and 12 V together (RSTDISBL programmed)
  bool shared_ = false;              // mode 2: BS1/PAGEL and XA1/BS2 share pins
  const char* tag_ = "HV";

  // Entry.
  bool powered_ = false;
  Nanos powerOnAt_ = 0;
  bool readyAtPowerOn_ = false;  // RESET and Prog_enable at 0 when VCC came
  unsigned toggles_ = 0;
  Nanos progEnableChangedAt_ = 0;
  bool active_ = false;
  Nanos vppAt_ = 0;
  Nanos holdUntil_ = 0;
  Nanos firstCommandAt_ = 0;
  std::vector<std::string> told_;

  // Serial.
  Nanos sdoTakeAt_ = kNever;
  bool sdoTaken_ = false;
  unsigned bits_ = 0;
  std::uint32_t sdi_ = 0, sii_ = 0;
  Nanos sciRise_ = kNever, sciFall_ = kNever;
  bool wrLow_ = false, pagel_ = false;
  std::uint8_t out_ = 0;
  bool showReady_ = true;

  // Parallel.
  Nanos xtalRise_ = kNever, xtalFall_ = kNever;
  Nanos pagelRise_ = kNever, pagelFall_ = kNever;
  Nanos wrFall_ = kNever;
  Nanos oeLowAt_ = kNever;
};

}  // namespace bq::avrsim
