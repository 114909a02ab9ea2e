#include "avrsim/isp_engine.h"

namespace bq::avrsim {

namespace {
constexpr Nanos kEnableDelay = 20000000;  // RESET low to Programming Enable
}

IspEngine::IspEngine(ChipMemory& memory, Reporter& report, const BusyTimes& busy, bool hasPoll)
    : memory_(memory),
      report_(report),
      busy_(busy),
      hasPoll_(hasPoll),
      extendedAddressing_(memory.FlashWords() > 0x10000u) {}

void IspEngine::Begin(Nanos now, bool sckHigh) {
  End();
  resetLowAt_ = now;
  bits_ = 0;
  index_ = 0;
  out_ = 0;
  outShift_ = 0;
  miso_ = false;
  loadOut_ = false;
  extended_ = 0;
  lastRise_ = sckHigh ? now : kNever;
  lastFall_ = kNever;
  pageBuffer_.assign(std::size_t{memory_.PageWords()} * 2, 0xFF);
  lowLoaded_.assign(memory_.PageWords(), false);
  eepromBuffer_.assign(memory_.EepromPageBytes(), 0xFF);
  eepromLoaded_.assign(memory_.EepromPageBytes(), false);
  blocker_ = memory_.IspBlocker();
  listening_ = blocker_.empty();
  toldBlocked_ = false;
}

void IspEngine::Silent() {
  if (toldBlocked_ || blocker_.empty()) return;
  toldBlocked_ = true;
  report_.Note("ISP: the " + memory_.name() + " does not answer: " + blocker_);
}

void IspEngine::End() {
  if (listening_ || enabled_) memory_.Latch();
  listening_ = false;
  blocker_.clear();
  enabled_ = false;
}

void IspEngine::ClockChanged() {
  if (!listening_ || memory_.ClockHz() != 0) return;
  // Without its clock the interface stops; enabled_ stays so fuses written latch at the end.
  listening_ = false;
  blocker_ =
      "its clock stopped during the programming session; it answers again after a "
      "RESET pulse with its clock running";
  toldBlocked_ = false;
  Silent();
}

bool IspEngine::ShortPhase(Nanos phase) const {
  const std::uint64_t hz = memory_.ClockHz();
  const std::uint64_t cycles = hz >= 12000000 ? 3 : 2;
  return phase * hz <= cycles * 1000000000ull;
}

Nanos IspEngine::ClockPeriod() const {
  const std::uint64_t hz = memory_.ClockHz();
  return hz == 0 ? 0 : (1000000000ull + hz - 1) / hz;
}

void IspEngine::TooFast(const std::string& what) {
  if (toldTooFast_) return;
  toldTooFast_ = true;
  report_.Note(Format("ISP: %s for the %s running at %u Hz; it samples wrong bits", what.c_str(),
                      memory_.name().c_str(), static_cast<unsigned>(memory_.ClockHz())));
}

void IspEngine::SckEdge(bool rising, bool mosi, Nanos mosiChangedAt, Nanos now) {
  if (!listening_) return Silent();
  if (rising) {
    bool spoiled = false;
    if (lastFall_ != kNever && (lastRise_ == kNever || lastFall_ > lastRise_) &&
        ShortPhase(now - lastFall_)) {
      spoiled = true;
      TooFast(Format("SCK low for %llu ns is too short",
                     static_cast<unsigned long long>(now - lastFall_)));
    }
    if (mosiChangedAt != kNever && now - mosiChangedAt < ClockPeriod()) {
      spoiled = true;
      TooFast(Format("MOSI set %llu ns before SCK rose is too late",
                     static_cast<unsigned long long>(now - mosiChangedAt)));
    }
    if (bits_ == 0) byteStart_ = now;
    // A bit the chip could not follow is lost: it reads 0 whichever way MOSI stood, so two
    // faults in one bit never cancel out.
    inShift_ = static_cast<std::uint8_t>((inShift_ << 1) | ((mosi && !spoiled) ? 1 : 0));
    ++bits_;
    bitSpoiled_ = false;
    lastRise_ = now;
    return;
  }
  if (lastRise_ != kNever && bits_ > 0 && ShortPhase(now - lastRise_)) {
    bitSpoiled_ = true;
    TooFast(Format("SCK high for %llu ns is too short",
                   static_cast<unsigned long long>(now - lastRise_)));
  }
  if (bitSpoiled_) inShift_ &= static_cast<std::uint8_t>(~1u);
  bitSpoiled_ = false;
  lastFall_ = now;
  if (bits_ >= 8) {
    bits_ = 0;
    TakeByte(inShift_, byteStart_, now);
    outShift_ = out_;
    miso_ = (outShift_ & 0x80) != 0;
  } else if (bits_ > 0) {
    miso_ = ((outShift_ >> (7 - bits_)) & 1u) != 0;
  }
}

void IspEngine::MosiChanged(Nanos now) {
  // MOSI must stay 2 clocks after SCK rose; a change within that spoils the bit just taken.
  if (!listening_ || lastRise_ == kNever || bits_ == 0) return;
  if (lastFall_ != kNever && lastFall_ > lastRise_) return;
  if (now - lastRise_ < 2 * ClockPeriod()) {
    bitSpoiled_ = true;
    TooFast(Format("MOSI changed %llu ns after SCK rose, too soon",
                   static_cast<unsigned long long>(now - lastRise_)));
  }
}

Level IspEngine::Miso() const {
  if (!listening_) return Level::Float;
  return miso_ ? Level::High : Level::Low;
}

std::uint8_t IspEngine::Byte(std::uint8_t mosi, std::uint32_t sckHz, Nanos now) {
  if (!listening_ || sckHz == 0) {
    Silent();
    return 0xFF;
  }
  const Nanos phase = 500000000ull / sckHz;
  std::uint8_t in = mosi;
  if (ShortPhase(phase)) {
    in = static_cast<std::uint8_t>(~mosi);
    TooFast(Format("SCK at %u Hz is too fast", static_cast<unsigned>(sckHz)));
  }
  bits_ = 0;
  const std::uint8_t answer = out_;
  TakeByte(in, now, now + 16 * phase);
  outShift_ = out_;
  miso_ = (outShift_ & 0x80) != 0;
  return answer;
}

void IspEngine::TakeByte(std::uint8_t in, Nanos start, Nanos end) {
  if (index_ == 0) {
    frameStart_ = start;
    // Reading back the EEPROM byte being written is the way to wait on chips without the
    // 0xF0 poll (it reads 0xFF until the byte is done).
    const bool poll = hasPoll_ ? in == 0xF0 : (in == 0xA0 && busyKind_ == 0xC0);
    if (enabled_ && start < busyUntil_ && !poll) {
      report_.Violation(
          Format("ISP: instruction 0x%02X sent %llu us before the chip finished programming; %s",
                 in, static_cast<unsigned long long>((busyUntil_ - start + 999) / 1000),
                 hasPoll_ ? "poll with 0xF0 until it reports ready"
                          : "this chip has no 0xF0 poll, wait the full write time"));
    }
  }
  frame_[index_] = in;
  std::uint8_t next = in;  // the chip echoes the previous byte
  if (index_ == 2 && enabled_) {
    const int answer = ReadAnswer(end);
    if (answer >= 0) next = static_cast<std::uint8_t>(answer);
  }
  if (index_ == 3) Execute(end);
  index_ = (index_ + 1) & 3u;
  out_ = next;
}

int IspEngine::ReadAnswer(Nanos now) const {
  const std::uint8_t* b = frame_;
  const std::uint32_t address = (std::uint32_t{b[1]} << 8) | b[2];
  switch (b[0]) {
    case 0xF0:
      if (!hasPoll_) return -1;
      return now < busyUntil_ ? 0x01 : 0x00;
    case 0x20:
    case 0x28:
      return memory_.ReadFlash((std::uint32_t{extended_} << 16) | address, b[0] == 0x28);
    case 0xA0:
      if (now < busyUntil_ && busyKind_ == 0xC0 && busyAddress_ == address) return 0xFF;
      return memory_.ReadEeprom(address);
    case 0x50:
      if (b[1] == 0x00) return memory_.ReadFuse(kTargetLow);
      if (b[1] == 0x08 && memory_.HasExtendedFuse()) return memory_.ReadFuse(kTargetExtended);
      return -1;
    case 0x58:
      if (b[1] == 0x00) return memory_.ReadFuse(kTargetLockBit);
      if (b[1] == 0x08) return memory_.ReadFuse(kTargetHigh);
      return -1;
    case 0x30:
      return memory_.Signature(b[2] & 0x03u);
    case 0x38:
      return memory_.Calibration(b[2]);
    default:
      return -1;
  }
}

void IspEngine::Execute(Nanos end) {
  const std::uint8_t* b = frame_;
  if (b[0] == 0xAC && b[1] == 0x53) {
    if (frameStart_ - resetLowAt_ < kEnableDelay) {
      report_.Violation(
          Format("ISP: Programming Enable sent %.1f ms after RESET went low; the chip needs 20 ms",
                 static_cast<double>(frameStart_ - resetLowAt_) / 1e6));
    }
    enabled_ = true;
    return;
  }
  if (!enabled_) return;  // until Programming Enable, other instructions are ignored
  const std::uint32_t address = (std::uint32_t{b[1]} << 8) | b[2];
  auto busyFor = [&](Nanos time) {
    busyUntil_ = end + time;
    busyKind_ = b[0];
    busyAddress_ = address;
  };
  switch (b[0]) {
    case 0xAC:
      if (b[1] == 0xA0 || b[1] == 0xA8 || (b[1] == 0xA4 && memory_.HasExtendedFuse())) {
        memory_.WriteFuse(b[1] == 0xA0   ? kTargetLow
                          : b[1] == 0xA8 ? kTargetHigh
                                         : kTargetExtended,
                          b[3], true);
        busyFor(busy_.ispFuse);
      } else if ((b[1] & 0xE0) == 0xE0) {
        memory_.WriteLock(b[3]);
        busyFor(busy_.ispFuse);
      } else if ((b[1] & 0xE0) == 0x80) {
        memory_.ChipErase();
        busyFor(busy_.ispErase);
      }
      break;
    case 0x4D:
      if (extendedAddressing_) extended_ = b[2];
      break;
    case 0x40:
    case 0x48: {
      const std::uint32_t word = address % memory_.PageWords();
      if (b[0] == 0x40) {
        lowLoaded_[word] = true;
      } else if (!lowLoaded_[word]) {
        report_.Violation(Format("ISP: high byte of Flash word 0x%X loaded before its low byte",
                                 static_cast<unsigned>(address)));
      }
      pageBuffer_[word * 2 + (b[0] == 0x48 ? 1 : 0)] = b[3];
      break;
    }
    case 0x4C:
      memory_.ProgramFlashPage(((std::uint32_t{extended_} << 16) | address) / memory_.PageWords(),
                               pageBuffer_);
      // What the page buffer holds after a write is not documented: start over from 0xFF,
      // so a board that counts on stale contents is caught.
      std::fill(pageBuffer_.begin(), pageBuffer_.end(), 0xFF);
      std::fill(lowLoaded_.begin(), lowLoaded_.end(), false);
      busyFor(busy_.ispFlashPage);
      break;
    case 0xC0:
      memory_.WriteEeprom(address, b[3], true);
      busyFor(busy_.ispEeprom);
      break;
    case 0xC1:
      if (!hasPoll_) break;  // not in the older instruction set
      eepromBuffer_[b[2] % memory_.EepromPageBytes()] = b[3];
      eepromLoaded_[b[2] % memory_.EepromPageBytes()] = true;
      break;
    case 0xC2: {
      if (!hasPoll_) break;
      const std::uint32_t base = address / memory_.EepromPageBytes() * memory_.EepromPageBytes();
      for (std::uint32_t i = 0; i < memory_.EepromPageBytes(); ++i) {
        if (eepromLoaded_[i]) memory_.WriteEeprom(base + i, eepromBuffer_[i], true);
      }
      std::fill(eepromLoaded_.begin(), eepromLoaded_.end(), false);
      busyFor(busy_.ispEeprom);
      break;
    }
    default:
      break;
  }
}

}  // namespace bq::avrsim
