#include "sim/sim_programmer.h"

#include <algorithm>

#include "link/protocol.h"

namespace bq {
namespace {

// Plain acknowledgement (erase, fuse write, start of a read, recover): a code without a
// meaning of its own, which hosts accept and store nothing from.
constexpr std::uint8_t kAnsOk = 0xDD;

bool IsTransferStart(std::uint8_t code, std::size_t payloadSize, bool writeStreamOpen) {
  return (code == CMD_READ_MEMORY && payloadSize == 5) ||
         (code == CMD_WRITE_MEMORY && !writeStreamOpen) || code == CMD_BLANK_CHECK;
}

}  // namespace

SimConnect DefaultSimConnect(const SimChip& chip) {
  return chip.hvMode >= 1 && chip.hvMode <= 3 ? SimConnect::kSocket : SimConnect::kIsp;
}

SimProgrammer::SimProgrammer(std::shared_ptr<SimChip> chip, SimOptions options)
    : chip_(chip ? std::move(chip) : std::make_shared<SimChip>()),
      options_(std::move(options)),
      newChip_(*chip_) {}

void SimProgrammer::Receive(const std::uint8_t* data, std::size_t n, SimClock::time_point now) {
  for (std::size_t i = 0; i < n; ++i) {
    if (hungUp_) return;
    Feed(data[i], wire_.Arrival(now, ByteTime()));
  }
}

void SimProgrammer::Feed(std::uint8_t byte, SimClock::time_point arrival) {
  if (headerFill_ < 5) {
    // Hunt for the "HV" start of a packet; anything else between packets is line noise.
    if (headerFill_ == 0 && byte != kPacketMagic0) return;
    if (headerFill_ == 1 && byte != kPacketMagic1) {
      headerFill_ = byte == kPacketMagic0 ? 1 : 0;
      return;
    }
    header_[headerFill_++] = byte;
    if (headerFill_ < 5) return;
    payloadLeft_ = std::size_t{header_[3]} << 8 | header_[4];
    discarding_ = payloadLeft_ > kMaxPayloadBytes;
    payload_.clear();
    if (payloadLeft_ == 0) HandlePacket(arrival);
    return;
  }
  if (!discarding_) payload_.push_back(byte);
  if (--payloadLeft_ == 0) HandlePacket(arrival);
}

const SimFault* SimProgrammer::FaultFor(std::uint8_t code, std::uint32_t occurrence,
                                        std::uint32_t transfer) const {
  for (const SimFault& f : options_.faults) {
    if (f.code != code) continue;
    const bool streamFault = f.kind == SimFaultKind::kLastNext || f.kind == SimFaultKind::kLongData;
    if (streamFault) continue;  // armed at the start of a transfer, see HandlePacket
    if (f.Matches(occurrence)) return &f;
  }
  (void)transfer;
  return nullptr;
}

void SimProgrammer::HandlePacket(SimClock::time_point arrival) {
  headerFill_ = 0;
  const std::uint8_t code = header_[2];
  const std::uint32_t occurrence = ++packetCount_[code];
  answer_.clear();

  if (discarding_) {
    // A payload beyond 256 bytes is outside the protocol: skipped and refused.
    discarding_ = false;
    stream_ = Stream::kNone;
    Answer(ANS_ERROR, {STATUS_DEVICE_UNKNOWN_COMMAND});
    Emit(answer_, arrival);
    return;
  }

  std::uint32_t transfer = 0;
  if (IsTransferStart(code, payload_.size(), stream_ == Stream::kWrite)) {
    transfer = ++transferCount_[code];
  }
  const SimFault* fault = FaultFor(code, occurrence, transfer);
  if (fault && fault->kind == SimFaultKind::kHangup) {
    hungUp_ = true;
    wire_.Clear();
    return;
  }
  if (fault && fault->kind == SimFaultKind::kSilence) return;
  if (fault && fault->kind == SimFaultKind::kError) {
    stream_ = Stream::kNone;
    Answer(ANS_ERROR, {fault->arg});
    Emit(answer_, arrival);
    return;
  }

  SimClock::time_point when = arrival;
  Dispatch(code, payload_, occurrence, transfer, when);

  if (fault && fault->kind == SimFaultKind::kBadHeader) {
    answer_[0] = 0xAA;
    answer_[1] = 0x55;
  } else if (fault && fault->kind == SimFaultKind::kShort) {
    const std::size_t n = answer_.size() - 5 + 1;
    answer_[3] = static_cast<std::uint8_t>(n >> 8);
    answer_[4] = static_cast<std::uint8_t>(n);
  } else if (fault && fault->kind == SimFaultKind::kOversize) {
    constexpr std::size_t n = kMaxPayloadBytes + 1;
    answer_.resize(5 + n, 0x00);
    answer_[3] = static_cast<std::uint8_t>(n >> 8);
    answer_[4] = static_cast<std::uint8_t>(n);
  }
  Emit(answer_, when);
}

bool SimProgrammer::ChipThere(SimClock::time_point when) {
  if (options_.chipPresent.count() <= 0) return true;
  for (;;) {
    if (chipIn_) {
      if (!chipTouched_) {
        // The chip's time starts with the first command that reaches it, so how long a
        // host takes to notice a new chip never shortens the time it has to program it.
        chipTouched_ = true;
        chipLeaves_ = when + options_.chipPresent;
      }
      if (when < chipLeaves_) return true;
      chipIn_ = false;
      chipReturns_ = chipLeaves_ + options_.chipAbsent;
      continue;
    }
    if (when < chipReturns_) return false;
    *chip_ = newChip_;
    chipIn_ = true;
    chipTouched_ = false;
  }
}

std::uint8_t SimProgrammer::ModeError(std::uint8_t mode, SimClock::time_point when) {
  if (!ChipThere(when)) return STATUS_DEVICE_ENTER_PROG_MODE;
  if (mode == PROG_MODE_ISP) {
    if (ispClock_ == 0) return STATUS_DEVICE_ISP_SPEED;
    if (chip_->ResetDisabled() || ispLatchedOut_) return STATUS_DEVICE_ENTER_PROG_MODE;
    const bool reachable = options_.connect == SimConnect::kIsp && options_.ispMaxClock >= 1 &&
                           options_.ispMaxClock <= 7 && ispClock_ >= options_.ispMaxClock;
    return reachable ? 0 : STATUS_DEVICE_ENTER_PROG_MODE;
  }
  if (mode >= 1 && mode <= 3 && options_.connect == SimConnect::kSocket && mode == chip_->hvMode)
    return 0;
  return STATUS_DEVICE_ENTER_PROG_MODE;
}

std::vector<std::uint8_t>* SimProgrammer::Memory(std::uint8_t kind) {
  if (kind == 1) return &chip_->flash;
  if (kind == 2) return &chip_->eeprom;
  return nullptr;
}

void SimProgrammer::Answer(std::uint8_t code, const std::vector<std::uint8_t>& payload) {
  answer_.assign({kPacketMagic0, kPacketMagic1, code,
                  static_cast<std::uint8_t>(payload.size() >> 8),
                  static_cast<std::uint8_t>(payload.size())});
  answer_.insert(answer_.end(), payload.begin(), payload.end());
}

void SimProgrammer::Dispatch(std::uint8_t code, const std::vector<std::uint8_t>& p,
                             std::uint32_t /*occurrence*/, std::uint32_t transfer,
                             SimClock::time_point& when) {
  SimChip& chip = *chip_;
  if (code != CMD_READ_MEMORY && code != CMD_STOP_READ && stream_ == Stream::kRead)
    stream_ = Stream::kNone;
  if (code != CMD_WRITE_MEMORY && stream_ == Stream::kWrite) stream_ = Stream::kNone;

  auto refuse = [&](std::uint8_t error) {
    stream_ = Stream::kNone;
    Answer(ANS_ERROR, {error});
  };
  // Mode check of commands whose first payload byte is the programming mode.
  auto modeRefused = [&](std::size_t minSize) {
    if (p.size() < minSize) {
      refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
      return true;
    }
    if (const std::uint8_t e = ModeError(p[0], when)) {
      refuse(e);
      return true;
    }
    return false;
  };
  // Transfer parameters: memory kind, page size, page count.
  auto transferBytes = [&](std::uint32_t& pageBytes) {
    pageBytes = p[1] == 1 ? p[2] * 2u : p[2];
    return pageBytes * (std::uint32_t{p[3]} << 8 | p[4]);
  };
  auto armStreamFaults = [&] {
    streamLongData_ = streamLastNext_ = false;
    for (const SimFault& f : options_.faults) {
      if (f.code != code || !f.Matches(transfer)) continue;
      if (f.kind == SimFaultKind::kLongData) streamLongData_ = true;
      if (f.kind == SimFaultKind::kLastNext) streamLastNext_ = true;
    }
  };

  switch (code) {
    case CMD_READ_SIGNATURE:
      if (modeRefused(1)) return;
      Answer(ANS_SIGNATURE, {static_cast<std::uint8_t>(chip.signature >> 16),
                             static_cast<std::uint8_t>(chip.signature >> 8),
                             static_cast<std::uint8_t>(chip.signature)});
      return;

    case CMD_READ_CALIBRATION:
      if (modeRefused(2)) return;
      Answer(ANS_VALUE8_ALT, {SimChip::Calibration(p[1])});
      return;

    case CMD_READ_FUSES: {
      if (modeRefused(1)) return;
      std::vector<std::uint8_t> values;
      for (std::size_t i = 1; i < p.size(); ++i) {
        switch (p[i]) {
          case 1:
            values.push_back(chip.low);
            break;
          case 2:
            values.push_back(chip.high);
            break;
          case 3:
            values.push_back(chip.extended);
            break;
          case 4:
            values.push_back(chip.lock);
            break;
          default:
            refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
            return;
        }
      }
      Answer(ANS_FUSES, values);
      return;
    }

    case CMD_WRITE_FUSES: {
      if (modeRefused(1)) return;
      if (p.size() % 2 == 0) {
        refuse(STATUS_DEVICE_WRITE_FUSES);
        return;
      }
      for (std::size_t i = 1; i < p.size(); i += 2) {
        if (p[i] < 1 || p[i] > 4) {
          refuse(STATUS_DEVICE_WRITE_FUSES);
          return;
        }
      }
      for (std::size_t i = 1; i < p.size(); i += 2) {
        // Locked fuses: the chip takes the command and keeps its bytes.
        if (p[i] != kTargetLockBit && chip.WriteLocked()) continue;
        switch (p[i]) {
          case 1:
            chip.low = p[i + 1];
            break;
          case 2:
            chip.high = p[i + 1];
            break;
          case 3:
            chip.extended = p[i + 1];
            break;
          default:
            chip.lock &= p[i + 1];
            break;  // lock bits only clear; erase sets them
        }
      }
      Answer(kAnsOk, {});
      return;
    }

    case CMD_READ_MEMORY:
      if (p.size() == 5) {
        if (modeRefused(5)) return;
        if (!Memory(p[1])) {
          refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
          return;
        }
        std::uint32_t pageBytes = 0;
        streamEnd_ = transferBytes(pageBytes);
        streamPos_ = 0;
        streamKind_ = p[1];
        stream_ = Stream::kRead;
        armStreamFaults();
        Answer(kAnsOk, {});
        return;
      }
      if (!p.empty()) {
        refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
        return;
      }
      if (stream_ == Stream::kRead && streamPos_ < streamEnd_) {
        const std::uint32_t n = std::min<std::uint32_t>(kMaxPayloadBytes, streamEnd_ - streamPos_);
        const std::vector<std::uint8_t>& mem = *Memory(streamKind_);
        // Past the chip's memory, or from a read-protected chip: 0xFF.
        std::vector<std::uint8_t> chunk(n, 0xFF);
        for (std::uint32_t i = 0; i < n && !chip.ReadLocked(); ++i) {
          if (streamPos_ + i < mem.size()) chunk[i] = mem[streamPos_ + i];
        }
        streamPos_ += n;
        Answer(ANS_DATA, chunk);
        return;
      }
      if (stream_ == Stream::kRead && streamLongData_) {
        streamLongData_ = false;
        Answer(ANS_DATA, std::vector<std::uint8_t>(kMaxPayloadBytes, 0xFF));
        return;
      }
      stream_ = Stream::kNone;
      Answer(ANS_READ_DONE, {});
      return;

    case CMD_STOP_READ:
      stream_ = Stream::kNone;
      Answer(ANS_READ_DONE, {});
      return;

    case CMD_WRITE_MEMORY: {
      if (stream_ != Stream::kWrite) {
        if (p.size() != 5) {
          refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
          return;
        }
        if (modeRefused(5)) return;
        std::uint32_t pageBytes = 0;
        const std::uint32_t total = transferBytes(pageBytes);
        if (!Memory(p[1]) || total == 0 || chip.WriteLocked()) {
          refuse(STATUS_DEVICE_WRITE_MEMORY);
          return;
        }
        streamKind_ = p[1];
        streamPageBytes_ = pageBytes;
        streamPos_ = 0;
        streamEnd_ = total;
        stream_ = Stream::kWrite;
        armStreamFaults();
        Answer(ANS_WRITE_READY, {});
        return;
      }
      const std::uint32_t n = static_cast<std::uint32_t>(p.size());
      // Whole pages; a page longer than one packet comes in pieces that stay inside it.
      const bool whole = n % streamPageBytes_ == 0;
      const bool piece = streamPageBytes_ > kMaxPayloadBytes &&
                         streamPos_ % streamPageBytes_ + n <= streamPageBytes_;
      if (n == 0 || !(whole || piece) || streamPos_ + n > streamEnd_) {
        refuse(STATUS_DEVICE_WRITE_MEMORY);
        return;
      }
      // Programming a flash page can only clear bits (an erase sets them again); EEPROM
      // bytes are erased one by one as they are written, so they take the new value.
      std::vector<std::uint8_t>& mem = *Memory(streamKind_);
      const bool flash = streamKind_ == 1;
      for (std::uint32_t i = 0; i < n; ++i) {
        if (streamPos_ + i >= mem.size()) continue;  // past the chip: lost
        std::uint8_t& cell = mem[streamPos_ + i];
        cell = flash ? static_cast<std::uint8_t>(cell & p[i]) : p[i];
      }
      streamPos_ += n;
      if (streamPos_ < streamEnd_) {
        Answer(ANS_WRITE_NEXT, {});
        return;
      }
      stream_ = Stream::kNone;
      Answer(streamLastNext_ ? ANS_WRITE_NEXT : ANS_WRITE_DONE, {});
      return;
    }

    case CMD_CHIP_ERASE:
      if (modeRefused(1)) return;
      chip.Erase();
      Answer(kAnsOk, {});
      return;

    case CMD_BLANK_CHECK: {
      if (p.size() != 5) {
        refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
        return;
      }
      if (modeRefused(5)) return;
      const std::vector<std::uint8_t>* mem = Memory(p[1]);
      if (!mem) {
        refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
        return;
      }
      std::uint32_t pageBytes = 0;
      const std::size_t end = std::min<std::size_t>(transferBytes(pageBytes), mem->size());
      // A read-protected chip reads as erased, so its blank check finds nothing either.
      const bool blank =
          chip.ReadLocked() || std::all_of(mem->begin(), mem->begin() + static_cast<long>(end),
                                           [](std::uint8_t b) { return b == 0xFF; });
      when += options_.blankCheckTime;
      Answer(ANS_BLANK, {static_cast<std::uint8_t>(blank ? 0 : 1)});
      return;
    }

    case CMD_FIRMWARE_VERSION:
      Answer(ANS_VALUE16, {options_.firmwareMajor, options_.firmwareMinor});
      return;

    case CMD_HARDWARE_VERSION:
      Answer(ANS_VALUE16_ALT, {options_.hardwareMajor, options_.hardwareMinor});
      return;

    case CMD_DETECT_ISP_CLOCK: {
      ispLatchedOut_ = chip.IspLockedOutAtEntry(options_.targetClock || clockOut_);
      const bool target = options_.connect == SimConnect::kIsp && options_.ispMaxClock >= 1 &&
                          options_.ispMaxClock <= 7 && ChipThere(when) && !chip.ResetDisabled() && !ispLatchedOut_;
      ispClock_ = target ? options_.ispMaxClock : 0;
      Answer(ANS_VALUE8, {ispClock_});
      return;
    }

    case CMD_SET_ISP_CLOCK:
      ispLatchedOut_ = chip.IspLockedOutAtEntry(options_.targetClock || clockOut_);
      ispClock_ = !p.empty() && p[0] >= 1 && p[0] <= 7 ? p[0] : 0;
      Answer(ANS_VALUE8, {ispClock_});
      return;

    case CMD_RECOVER:
      stream_ = Stream::kNone;
      Answer(kAnsOk, {});
      return;

    case CMD_SET_TARGET_CLOCK:
      if (!options_.clockOutput || p.size() != 1 || p[0] > 1) {
        refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
        return;
      }
      clockOut_ = p[0] == 1;
      Answer(kAnsOk, {});
      return;

    default:
      refuse(STATUS_DEVICE_UNKNOWN_COMMAND);
      return;
  }
}

void SimProgrammer::Emit(std::vector<std::uint8_t> bytes, SimClock::time_point when) {
  wire_.Emit(std::move(bytes), when, ByteTime());
}

}  // namespace bq
