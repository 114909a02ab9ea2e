#pragma once
// Serial downloading: the 4-byte instructions shifted in on MOSI while RESET is held low.
// Bytes come either whole (the board's hardware SPI) or bit by bit from SCK and MOSI edges.
//
// Readings where the datasheets leave room (the conservative one each time):
// - Before Programming Enable and for unknown instructions the chip echoes the previous byte.
// - An SCK phase of 2 clocks or less (3 at 12 MHz and more), MOSI set less than one clock
//   before SCK rises or changed within two clocks after, makes the chip take the wrong bit.
// - SPIEN keeps its value when fuses are written here; RSTDISBL or DWEN programmed, SPIEN
//   unprogrammed or a missing clock keep the interface silent (stated for some parts only).
// - The clock must run when RESET goes low; a clock that stops silences the interface until
//   the next RESET pulse, even when it comes back.
// - The RESET pulse width is not checked; a pulse restarts the byte count (resync).
// - The page buffer reads 0xFF after each page write; Flash bits only clear until an erase.
// - 0x4D counts only on parts with more than 64K words; elsewhere it is ignored.

#include <cstdint>
#include <string>
#include <vector>

#include "avrsim/chip_memory.h"

namespace bq::avrsim {

class IspEngine {
 public:
  IspEngine(ChipMemory& memory, Reporter& report, const BusyTimes& busy, bool hasPoll);

  // RESET went low with the chip powered (or power came with RESET low): a session starts.
  void Begin(Nanos now, bool sckHigh);
  // RESET released or power gone: the session ends and written fuses take effect.
  void End();
  bool Listening() const { return listening_; }
  // The chip's clock changed (a clock on XTAL1 started or stopped).
  void ClockChanged();

  void SckEdge(bool rising, bool mosi, Nanos mosiChangedAt, Nanos now);
  void MosiChanged(Nanos now);
  Level Miso() const;
  std::uint8_t Byte(std::uint8_t mosi, std::uint32_t sckHz, Nanos now);
  Nanos BusyUntil() const { return busyUntil_; }

 private:
  // An SCK phase the chip cannot follow: not more than 2 clocks (3 at >= 12 MHz).
  bool ShortPhase(Nanos phase) const;
  Nanos ClockPeriod() const;
  void TooFast(const std::string& what);
  void Silent();  // tells once why the chip does not answer
  void TakeByte(std::uint8_t in, Nanos start, Nanos end);
  int ReadAnswer(Nanos now) const;  // byte 4 of a read instruction, or -1: echo
  void Execute(Nanos end);

  // hasPoll false: the older instruction set (ATmega8), without 0xF0 and EEPROM pages.
  ChipMemory& memory_;
  Reporter& report_;
  BusyTimes busy_;
  bool hasPoll_;
  bool extendedAddressing_;

  bool listening_ = false;  // RESET low, powered, and the fuses let the interface answer
  bool enabled_ = false;    // Programming Enable accepted
  bool toldTooFast_ = false;
  std::string blocker_;  // why the interface does not answer in this session
  bool toldBlocked_ = false;
  Nanos resetLowAt_ = 0;
  Nanos busyUntil_ = 0;
  std::uint8_t busyKind_ = 0;  // first byte of the instruction that made the chip busy
  std::uint32_t busyAddress_ = 0;

  // Bit level.
  std::uint8_t inShift_ = 0;
  unsigned bits_ = 0;
  bool bitSpoiled_ = false;
  Nanos byteStart_ = 0;
  Nanos lastRise_ = kNever;
  Nanos lastFall_ = kNever;
  std::uint8_t outShift_ = 0;
  bool loadOut_ = false;
  bool miso_ = false;

  // Instruction level.
  std::uint8_t frame_[4] = {};
  unsigned index_ = 0;
  Nanos frameStart_ = 0;
  std::uint8_t out_ = 0;  // what the chip shifts out during the next byte
  std::uint8_t extended_ = 0;
  std::vector<std::uint8_t> pageBuffer_;
  std::vector<bool> lowLoaded_;
  std::vector<std::uint8_t> eepromBuffer_;
  std::vector<bool> eepromLoaded_;
};

}  // namespace bq::avrsim
