#pragma once
// The memories, fuses and lock bits of one simulated chip, and what they allow: which clock
// runs, whether the serial interface answers, what a lock mode blocks.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "avrsim/target.h"

namespace bq::avrsim {

// Collects what the chip has to say about the board's behaviour.
struct Reporter {
  std::function<void(const std::string&)> violation;
  std::function<void(const std::string&)> note;
  unsigned violations = 0;

  void Violation(const std::string& text);
  void Note(const std::string& text);
};

// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A fuse bit or field found by name in the part's record; mask 0 when the part has none.
struct FuseField {
  std::uint8_t targetByte = 0;  // a TargetByte code
  std::uint8_t mask = 0;
};

class ChipMemory {
 public:
  explicit ChipMemory(const TargetConfig& config);

  const ChipState& state() const { return state_; }
  const std::string& name() const { return name_; }
  std::uint32_t FlashWords() const { return static_cast<std::uint32_t>(state_.flash.size() / 2); }
  std::uint32_t PageWords() const { return pageWords_; }
  std::uint32_t EepromPageBytes() const { return eepromPage_; }
  bool HasExtendedFuse() const { return hasExtended_; }

  // Fuse changes take effect when the chip leaves programming mode (EESAVE at once).
  void Latch() { latched_ = {state_.low, state_.high, state_.extended}; }

  // Clock of the CPU from the fuses in effect; 0 when the selected clock source is missing.
  std::uint32_t ClockHz() const;
  // A clock driven onto XTAL1 from outside (0: none). While it runs it is the external clock,
  // in place of any crystal fitted: a driven XTAL1 overrides the oscillator's amplifier.
  void SetXtal1Clock(std::uint32_t hz) { xtal1ClockHz_ = hz; }
  // Why serial programming cannot answer with the fuses in effect, or empty when it can.
  std::string IspBlocker() const;
  // RSTDISBL programmed in the fuses in effect: RESET at 0 V does not hold the chip in reset.
  bool ResetDisabled() const { return Programmed(Find("RSTDISBL"), latched_); }

  // Lock mode 2 or 3: Flash, EEPROM and fuses cannot be programmed.
  bool WritesLocked() const;
  // Lock mode 3: Flash and EEPROM cannot be read back either.
  bool ReadsLocked() const;

  void ChipErase();
  // Programs one Flash page from a page buffer (bytes); bits only go from 1 to 0.
  void ProgramFlashPage(std::uint32_t page, const std::vector<std::uint8_t>& buffer);
  std::uint8_t ReadFlash(std::uint32_t wordAddress, bool highByte) const;
  // Serial programming erases the byte first; high-voltage programming only clears bits.
  void WriteEeprom(std::uint32_t address, std::uint8_t value, bool autoErase);
  std::uint8_t ReadEeprom(std::uint32_t address) const;
  // Returns false when the byte is not there or the lock mode keeps the fuses.
  bool WriteFuse(std::uint8_t targetByte, std::uint8_t value, bool serialMode);
  std::uint8_t ReadFuse(std::uint8_t targetByte) const;
  void WriteLock(std::uint8_t value);
  std::uint8_t Signature(std::uint32_t index) const;
  std::uint8_t Calibration(std::uint32_t address) const;

 private:
  struct Fuses {
    std::uint8_t low, high, extended;
  };
  FuseField Find(const char* name) const;
  bool Programmed(const FuseField& field, const Fuses& fuses) const;
  std::uint8_t UsedBits(std::uint8_t targetByte) const;
  std::uint8_t LockMode() const;  // LB field value: 3 none, 2 programming off, 0 verification off

  std::string name_;
  PartRecord part_;
  ChipState state_;
  Fuses latched_{};
  std::uint32_t externalClockHz_ = 0;  // fitted on the chip's pins
  std::uint32_t xtal1ClockHz_ = 0;     // driven onto XTAL1 by the board
  std::uint32_t pageWords_ = 1;
  std::uint32_t eepromPage_ = 1;
  bool hasExtended_ = false;
};

}  // namespace bq::avrsim
