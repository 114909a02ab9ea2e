#pragma once
// The parallel programming state machine both high-voltage interfaces drive: command,
// address and data latches, page buffers, and the busy time after WR.

#include <cstdint>
#include <vector>

#include "avrsim/chip_memory.h"

namespace bq::avrsim {

// The parallel programming state machine: command, address and data latches, page buffers.
class ParallelCore {
 public:
  ParallelCore(ChipMemory& memory, const BusyTimes& busy);
  void Reset();
  // A positive XTAL1 pulse: the XA1/XA0 action.
  void XtalPulse(bool xa1, bool xa0, bool bs1, bool bs2, std::uint8_t data);
  // A positive PAGEL pulse: latch data into the page buffer.
  void PagelPulse(bool bs1);
  // WR went low: start programming.
  void Write(bool bs1, bool bs2, Nanos now);
  // What the chip puts on DATA while OE is low.
  std::uint8_t Output(bool bs1, bool bs2) const;
  bool Busy(Nanos now) const { return now < busyUntil_; }
  Nanos BusyUntil() const { return busyUntil_; }

 private:
  std::uint32_t WordAddress() const;

  ChipMemory& memory_;
  BusyTimes busy_;
  std::uint8_t command_ = 0;
  std::uint8_t addressLow_ = 0, addressHigh_ = 0, addressExtended_ = 0;
  std::uint8_t dataLow_ = 0xFF, dataHigh_ = 0xFF;
  std::vector<std::uint8_t> pageBuffer_;
  std::vector<std::uint8_t> eepromBuffer_;
  std::vector<bool> eepromLoaded_;
  Nanos busyUntil_ = 0;
};

}  // namespace bq::avrsim
