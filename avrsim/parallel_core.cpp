#include "avrsim/parallel_core.h"

#include <algorithm>

namespace bq::avrsim {

ParallelCore::ParallelCore(ChipMemory& memory, const BusyTimes& busy)
    : memory_(memory), busy_(busy) {
  Reset();
}

void ParallelCore::Reset() {
  command_ = 0;
  addressLow_ = addressHigh_ = addressExtended_ = 0;
  dataLow_ = dataHigh_ = 0xFF;
  pageBuffer_.assign(std::size_t{memory_.PageWords()} * 2, 0xFF);
  eepromBuffer_.assign(memory_.EepromPageBytes(), 0xFF);
  eepromLoaded_.assign(memory_.EepromPageBytes(), false);
  busyUntil_ = 0;
}

std::uint32_t ParallelCore::WordAddress() const {
  return (std::uint32_t{addressExtended_} << 16) | (std::uint32_t{addressHigh_} << 8) | addressLow_;
}

void ParallelCore::XtalPulse(bool xa1, bool xa0, bool bs1, bool bs2, std::uint8_t data) {
  if (!xa1 && !xa0) {  // load address: BS2,BS1 = 00 low, 01 high, 10 extended
    if (bs2 && !bs1) {
      addressExtended_ = data;
    } else if (bs1 && !bs2) {
      addressHigh_ = data;
    } else if (!bs1 && !bs2) {
      addressLow_ = data;
    }
  } else if (!xa1 && xa0) {  // load data
    (bs1 ? dataHigh_ : dataLow_) = data;
  } else if (xa1 && !xa0) {  // load command
    command_ = data;
  }
}

void ParallelCore::PagelPulse(bool bs1) {
  if (command_ == 0x10) {
    const std::uint32_t word = WordAddress() % memory_.PageWords();
    pageBuffer_[word * 2] = dataLow_;
    if (bs1) pageBuffer_[word * 2 + 1] = dataHigh_;
  } else if (command_ == 0x11) {
    const std::uint32_t at = addressLow_ % memory_.EepromPageBytes();
    eepromBuffer_[at] = dataLow_;
    eepromLoaded_[at] = true;
  }
}

void ParallelCore::Write(bool bs1, bool bs2, Nanos now) {
  switch (command_) {
    case 0x80:
      memory_.ChipErase();
      busyUntil_ = now + busy_.hvErase;
      return;
    case 0x10:
      memory_.ProgramFlashPage(WordAddress() / memory_.PageWords(), pageBuffer_);
      std::fill(pageBuffer_.begin(), pageBuffer_.end(), 0xFF);  // starts over, as in serial mode
      break;
    case 0x11: {
      const std::uint32_t address = (std::uint32_t{addressHigh_} << 8) | addressLow_;
      const std::uint32_t base = address / memory_.EepromPageBytes() * memory_.EepromPageBytes();
      for (std::uint32_t i = 0; i < memory_.EepromPageBytes(); ++i) {
        // No erase before writing in high-voltage modes: only loaded bytes change, bits go to 0.
        if (eepromLoaded_[i]) memory_.WriteEeprom(base + i, eepromBuffer_[i], false);
      }
      std::fill(eepromLoaded_.begin(), eepromLoaded_.end(), false);
      break;
    }
    case 0x40:
      if (bs1 && bs2) return;
      memory_.WriteFuse(bs2 ? kTargetExtended : bs1 ? kTargetHigh : kTargetLow, dataLow_, false);
      break;
    case 0x20:
      memory_.WriteLock(dataLow_);
      break;
    default:
      return;  // WR under a read command or no command starts nothing
  }
  busyUntil_ = now + busy_.hvWrite;
}

std::uint8_t ParallelCore::Output(bool bs1, bool bs2) const {
  const std::uint32_t address = (std::uint32_t{addressHigh_} << 8) | addressLow_;
  switch (command_) {
    case 0x02:
      return memory_.ReadFlash(WordAddress(), bs1);
    case 0x03:
      return memory_.ReadEeprom(address);
    case 0x04:  // BS2,BS1 = 00 low fuse, 11 high fuse, 10 extended fuse, 01 lock bits
      return memory_.ReadFuse(bs2 ? (bs1 ? kTargetHigh : kTargetExtended)
                                  : (bs1 ? kTargetLockBit : kTargetLow));
    case 0x08:
      return bs1 ? memory_.Calibration(addressLow_) : memory_.Signature(addressLow_);
    default:
      return 0xFF;
  }
}

}  // namespace bq::avrsim
