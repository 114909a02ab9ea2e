#include "sim/updi/updi_chip.h"

#include <algorithm>
#include <array>

namespace bq {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::uint32_t kNvmCtrlBase = 0x1000;
constexpr std::uint32_t kNvmCtrlSize = 0x10;
constexpr std::uint32_t kSigRowSize = 0x80;

// Control/status space.
constexpr std::uint8_t kStatusA = 0x0, kStatusB = 0x1, kCtrlA = 0x2, kCtrlB = 0x3;
constexpr std::uint8_t kAsiKeyStatus = 0x7, kAsiResetReq = 0x8, kAsiCtrlA = 0x9;
constexpr std::uint8_t kAsiSysCtrlA = 0xA, kAsiSysStatus = 0xB, kAsiCrcStatus = 0xC;
constexpr std::uint8_t kResetSignature = 0x59;
constexpr std::uint8_t kCtrlARsd = 0x08, kCtrlAIbdly = 0x80, kCtrlBUpdiDis = 0x04;
constexpr std::uint8_t kKeyUserRow = 0x20, kKeyNvmProg = 0x10, kKeyChipErase = 0x08;

// PESIG codes.
constexpr std::uint8_t kPesigParity = 1, kPesigFrame = 2, kPesigClock = 4, kPesigBus = 6;

// BREAK at the slowest rate the UPDI may have stored: 24.6 ms.
constexpr nanoseconds kWorstCaseBreak = microseconds(24600);

// NVM controller version 0 busy times (tinyAVR and megaAVR 0 datasheets, "Programming Time").
constexpr microseconds kV0PageWrite = milliseconds(2), kV0PageErase = milliseconds(2);
constexpr microseconds kV0PageEraseWrite = milliseconds(4), kV0EepromErase = milliseconds(4);
constexpr microseconds kV0FuseWrite = milliseconds(4);  // not given: as an EEPROM erase-write
// Version 2 (the AVR DA datasheet's table of programming times), the maximum where one is
// given: a flash byte or word written (tP_WRD) 75 us, a flash page erased (tP_PE) 11.7 ms, the
// chip erased (tP_CE) 11.6 ms; an EEPROM byte written (tD_WRE) 75 us, erased (tD_CE) 11.7 ms,
// erased and written (tD_BEW, 10.07 ms typical and no maximum: the two maxima added).
constexpr microseconds kV2FlashWrite = microseconds(75), kV2PageErase = microseconds(11700);
constexpr microseconds kV2ChipErase = microseconds(11600);
constexpr microseconds kV2EepromWrite = microseconds(75), kV2EepromErase = microseconds(11700);
constexpr microseconds kV2EepromEraseWrite = kV2EepromErase + kV2EepromWrite;

// Keys as they arrive on the wire (least significant byte first).
constexpr std::array<std::uint8_t, 8> Reversed(const char (&text)[9]) {
  std::array<std::uint8_t, 8> out{};
  for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(text[7 - i]);
  return out;
}
constexpr auto kNvmProgKey = Reversed("NVMProg ");
constexpr auto kChipEraseKey = Reversed("NVMErase");
constexpr auto kUserRowKey = Reversed("NVMUs&te");

unsigned GuardBits(std::uint8_t ctrla) {
  static constexpr std::array<unsigned, 8> kBits = {128, 64, 32, 16, 8, 4, 2, 0};
  return kBits[ctrla & 0x07u];
}

std::uint8_t FieldValue(std::uint8_t byte, std::uint8_t mask) {
  if (mask == 0) return 0;
  unsigned shift = 0;
  while (((mask >> shift) & 1u) == 0) ++shift;
  return static_cast<std::uint8_t>((byte & mask) >> shift);
}

std::uint32_t LittleEndian(const std::vector<std::uint8_t>& bytes, std::size_t from,
                           std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n && from + i < bytes.size(); ++i) {
    v |= static_cast<std::uint32_t>(bytes[from + i]) << (8 * i);
  }
  return v;
}

}  // namespace

UpdiChip::UpdiChip(const PartRecord& part, const std::string& partName)
    : layout_(part.updi), signature_(part.signature & 0xFFFFFFu) {
  if (partName.rfind("ATtiny", 0) == 0) {
    family_ = "tinyAVR";
  } else if (partName.rfind("ATmega", 0) == 0) {
    family_ = "megaAVR";
  } else {
    family_ = "AVR";
  }
  flashPage_ = std::max<std::uint32_t>(part.flashPageSizeW * 2u, 2u);
  eepromPage_ = std::max<std::uint32_t>(part.eepromPageSize, 1u);
  flash_.assign(part.FlashBytes(), 0xFF);
  eeprom_.assign(part.EepromBytes(), 0xFF);
  userRow_.assign(layout_.userRowSize, 0xFF);
  std::size_t fuseBytes = 0;
  for (const NamedFuseByte& fuse : layout_.fuses) {
    fuseBytes = std::max<std::size_t>(fuseBytes, fuse.offset + 1u);
  }
  fuses_.assign(fuseBytes, 0xFF);
  for (const NamedFuseByte& fuse : layout_.fuses) {
    if (fuse.hasDefault) fuses_[fuse.offset] = fuse.defaultValue;
    for (const BitFieldDesc& field : fuse.fields) {
      if (field.name == "EESAVE" && eesaveMask_ == 0) {
        eesaveMask_ = field.mask;
        eesaveOffset_ = fuse.offset;
      }
      if (layout_.pinShared && fuse.name == layout_.pinFuse && field.name == layout_.pinField) {
        pinMask_ = field.mask;
        pinFuseOffset_ = fuse.offset;
      }
    }
  }
  const std::uint8_t lockSize = std::max<std::uint8_t>(layout_.lockSize, 1);
  lock_.resize(lockSize);
  for (std::size_t i = 0; i < lockSize; ++i) {
    lock_[i] = static_cast<std::uint8_t>(layout_.lockOpenValue >> (8 * i));
  }
  sigRow_.assign(kSigRowSize, 0);
  for (std::size_t i = 0; i < sigRow_.size(); ++i) sigRow_[i] = static_cast<std::uint8_t>(0xA0 + i);
  sigRow_[0] = static_cast<std::uint8_t>(signature_ >> 16);
  sigRow_[1] = static_cast<std::uint8_t>(signature_ >> 8);
  sigRow_[2] = static_cast<std::uint8_t>(signature_);
  const std::size_t bufferBytes =
      std::max<std::size_t>({flashPage_, eepromPage_, userRow_.size(), std::size_t{1}});
  pageBuffer_.assign(bufferBytes, 0xFF);
  pageLoaded_.assign(bufferBytes, false);
  LoadFuses();
}

// ---------------------------------------------------------------------------------------------
// The line

void UpdiChip::SetHostLine(std::uint32_t baud, bool evenParity) {
  if (baud != 0) hostBaud_ = baud;
  hostEvenParity_ = evenParity;
}

nanoseconds UpdiChip::HostByteTime() const {
  return nanoseconds(12LL * 1'000'000'000LL / hostBaud_);
}

nanoseconds UpdiChip::UpdiBitTime() const {
  const std::uint32_t baud = updiBaud_ != 0 ? updiBaud_ : hostBaud_;
  return nanoseconds(1'000'000'000LL / baud);
}

std::uint32_t UpdiChip::MaxBaud() const {
  static constexpr std::array<std::uint32_t, 4> kMax = {1'800'000, 900'000, 450'000, 225'000};
  return kMax[asiCtrla_ & 0x03u];
}

std::uint32_t UpdiChip::MinBaud() const {
  static constexpr std::array<std::uint32_t, 4> kMin = {600, 300, 150, 75};
  return kMin[asiCtrla_ & 0x03u];
}

bool UpdiChip::RateFollows(std::uint32_t baud) const {
  if (updiBaud_ == 0) return false;
  // Well inside the receiver's +4.76 % / -3.61 % tolerance.
  const std::uint64_t diff = baud > updiBaud_ ? baud - updiBaud_ : updiBaud_ - baud;
  return diff * 100u <= std::uint64_t{updiBaud_} * 3u;
}

bool UpdiChip::IsBreak(std::uint8_t byte) const {
  if (byte != 0) return false;
  // A 0x00 holds the line low for its start bit, 8 data bits and an even parity bit.
  const long long lowBits = hostEvenParity_ ? 10 : 9;
  const nanoseconds low(lowBits * 1'000'000'000LL / hostBaud_);
  const nanoseconds needed =
      updiBaud_ != 0 ? nanoseconds(12LL * 1'000'000'000LL / updiBaud_) : kWorstCaseBreak;
  return low >= needed;
}

bool UpdiChip::LineIgnored() const {
  return !pinIsUpdi_ && !highVoltage_;
}

bool UpdiChip::FaultNow(UpdiFault::Kind kind, bool instruction) {
  const std::uint32_t count = instruction ? instructionsSeen_ : bytesSeen_;
  for (const ArmedFault& a : faults_) {
    const UpdiFault& f = a.fault;
    if (f.kind == kind && f.perInstruction == instruction && count - a.base == f.n) return true;
  }
  return false;
}

void UpdiChip::ClearFaults() {
  faults_.clear();
  silent_ = false;
  nackNext_ = false;
}

void UpdiChip::Receive(std::uint8_t byte, Clock::time_point end) {
  latest_ = std::max(latest_, end);
  ++bytesSeen_;
  const bool breakByte = IsBreak(byte);
  const bool instructionByte = phase_ == Phase::kInstruction && !LineIgnored() && !breakByte;
  if (instructionByte) ++instructionsSeen_;
  auto fault = [&](UpdiFault::Kind kind) {
    return FaultNow(kind, false) || (instructionByte && FaultNow(kind, true));
  };
  if (!fault(UpdiFault::Kind::kNoEcho)) Echo(byte, end);
  if (fault(UpdiFault::Kind::kSilence)) silent_ = true;
  if (fault(UpdiFault::Kind::kNack)) nackNext_ = true;
  const bool parityError = !hostEvenParity_ || fault(UpdiFault::Kind::kParity);

  if (LineIgnored()) return;
  if (erasePendingProg_ && end >= eraseDone_) {
    nvmProg_ = true;
    erasePendingProg_ = false;
  }
  if (breakByte) {
    DoBreak();
    return;
  }
  if (parityError) {
    EnterError(kPesigParity);
    return;
  }
  switch (phase_) {
    case Phase::kOff:
      // The start bit's falling edge wakes the UPDI; the character itself is lost.
      phase_ = Phase::kAwaitSynch;
      asiCtrla_ = 0x03;
      return;
    case Phase::kError:
      return;
    case Phase::kAwaitSynch:
      if (byte != kSynch || hostBaud_ < MinBaud() || hostBaud_ > MaxBaud()) {
        EnterError(kPesigClock);
        return;
      }
      updiBaud_ = hostBaud_;
      phase_ = Phase::kInstruction;
      return;
    case Phase::kInstruction:
      if (!RateFollows(hostBaud_)) {
        EnterError(kPesigFrame);
        return;
      }
      StartInstruction(byte, end);
      return;
    case Phase::kOperands:
      if (!RateFollows(hostBaud_)) {
        EnterError(kPesigFrame);
        return;
      }
      Operand(byte, end);
      return;
  }
}

void UpdiChip::Break(Clock::time_point end) {
  latest_ = std::max(latest_, end);
  if (LineIgnored()) return;
  DoBreak();
}

void UpdiChip::DoBreak() {
  phase_ = Phase::kAwaitSynch;
  asiCtrla_ = 0x03;  // back to the 4 MHz UPDI clock
  op_ = Op::kNone;
  operands_.clear();
  repeatLeft_ = 0;
  repeatArmed_ = false;
}

void UpdiChip::EnterError(std::uint8_t pesig) {
  pesig_ = pesig;
  phase_ = Phase::kError;
  op_ = Op::kNone;
  operands_.clear();
  repeatLeft_ = 0;
  repeatArmed_ = false;
}

void UpdiChip::ResetUpdi() {
  phase_ = Phase::kOff;
  ctrla_ = 0;
  ctrlb_ = 0;
  asiCtrla_ = 0x03;
  asiSysCtrla_ = 0x01;
  keyNvmProg_ = keyChipErase_ = keyUserRow_ = false;
  updiBaud_ = 0;
  op_ = Op::kNone;
  operands_.clear();
  repeatLeft_ = 0;
  repeatArmed_ = false;
}

void UpdiChip::Echo(std::uint8_t byte, Clock::time_point end) {
  const auto at =
      std::upper_bound(wire_.begin(), wire_.end(), end,
                       [](Clock::time_point t, const WireByte& w) { return t < w.due; });
  wire_.insert(at, WireByte{byte, end});
}

void UpdiChip::Answer(const std::vector<std::uint8_t>& bytes, Clock::time_point after) {
  if (silent_ || bytes.empty()) return;
  const std::uint32_t baud = updiBaud_ != 0 ? updiBaud_ : hostBaud_;
  auto bitsToTime = [baud](long long bits) { return nanoseconds(bits * 1'000'000'000LL / baud); };
  const Clock::time_point start = std::max(after + bitsToTime(GuardBits(ctrla_)), chipWireFree_);
  const long long gap = (ctrla_ & kCtrlAIbdly) != 0 ? 2 : 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const long long bits = 12LL * static_cast<long long>(i + 1) + gap * static_cast<long long>(i);
    const Clock::time_point due = start + bitsToTime(bits);
    const auto at =
        std::upper_bound(wire_.begin(), wire_.end(), due,
                         [](Clock::time_point t, const WireByte& w) { return t < w.due; });
    wire_.insert(at, WireByte{bytes[i], due});
    chipWireFree_ = due;
  }
}

void UpdiChip::AckOrNack(Clock::time_point after, bool& storeAllowed) {
  if (nackNext_) {
    nackNext_ = false;
    storeAllowed = false;
    if ((ctrlb_ & 0x10u) == 0) Answer({kNack}, after);
    return;
  }
  if ((ctrla_ & kCtrlARsd) != 0) return;
  Answer({kAck}, after);
}

void UpdiChip::TakeDue(Clock::time_point now, std::vector<std::uint8_t>& out) {
  while (!wire_.empty() && wire_.front().due <= now) {
    out.push_back(wire_.front().byte);
    wire_.pop_front();
  }
}

UpdiChip::Clock::time_point UpdiChip::TakeAll(Clock::time_point now,
                                              std::vector<std::uint8_t>& out) {
  Clock::time_point last = now;
  for (const WireByte& w : wire_) {
    out.push_back(w.byte);
    last = std::max(last, w.due);
  }
  wire_.clear();
  latest_ = std::max(latest_, last);
  return last;
}

std::optional<UpdiChip::Clock::time_point> UpdiChip::NextDue() const {
  if (wire_.empty()) return std::nullopt;
  return wire_.front().due;
}

std::optional<UpdiChip::Clock::time_point> UpdiChip::NextBatch() const {
  if (wire_.empty()) return std::nullopt;
  return std::min(wire_.front().due + milliseconds(1), wire_.back().due);
}

// ---------------------------------------------------------------------------------------------
// Instructions

void UpdiChip::StartInstruction(std::uint8_t byte, Clock::time_point end) {
  opByte_ = byte;
  operands_.clear();
  stage_ = 0;
  repeatLeft_ = repeatArmed_ ? repeatPending_ : 0;
  repeatArmed_ = false;
  const std::uint8_t sizeA = (byte >> 2) & 0x03u;
  const std::uint8_t sizeB = byte & 0x03u;
  switch (byte >> 5) {
    case 0:  // LDS
    case 2:  // STS
      if (sizeA == 3 || sizeB > 1) {
        EnterError(pesig_);
        return;
      }
      op_ = (byte >> 5) == 0 ? Op::kLds : Op::kSts;
      phase_ = Phase::kOperands;
      return;
    case 1:  // LD
      if (sizeA == 3 || (sizeA != 2 && sizeB > 1) || (sizeA == 2 && sizeB == 3)) {
        EnterError(pesig_);
        return;
      }
      op_ = Op::kLd;
      if (sizeA == 2) {
        // The pointer register itself.
        std::vector<std::uint8_t> ptr;
        for (std::size_t i = 0; i < AddressBytes(sizeB); ++i) {
          ptr.push_back(static_cast<std::uint8_t>(pointer_ >> (8 * i)));
        }
        Answer(ptr, end);
        InstructionDone();
        return;
      }
      {
        const std::size_t size = sizeB + 1u;
        std::vector<std::uint8_t> data;
        Clock::time_point ready = end;
        for (std::uint32_t pass = 0; pass <= repeatLeft_; ++pass) {
          for (std::size_t k = 0; k < size; ++k) {
            const Located at = Locate(pointer_ + static_cast<std::uint32_t>(k));
            if (!AccessAllowed(at, end)) {
              EnterError(kPesigBus);
              return;
            }
            if (data.empty()) ready = AccessDone(at, end);
            data.push_back(ReadByte(pointer_ + static_cast<std::uint32_t>(k), ready));
          }
          if (sizeA == 1) pointer_ += static_cast<std::uint32_t>(size);
        }
        Answer(data, ready);
        InstructionDone();
      }
      return;
    case 3:  // ST
      if (sizeA == 3 || (sizeA != 2 && sizeB > 1) || (sizeA == 2 && sizeB == 3)) {
        EnterError(pesig_);
        return;
      }
      op_ = Op::kSt;
      phase_ = Phase::kOperands;
      return;
    case 4:  // LDCS
      Answer({ControlStatus(byte & 0x0Fu, end)}, end);
      InstructionDone();
      return;
    case 5:  // REPEAT
      if (sizeB > 1) {
        EnterError(pesig_);
        return;
      }
      op_ = Op::kRepeat;
      phase_ = Phase::kOperands;
      return;
    case 6:  // STCS
      op_ = Op::kStcs;
      phase_ = Phase::kOperands;
      return;
    case 7:  // KEY
      if ((byte & 0x04u) != 0) {
        const std::size_t n = sizeB == 0 ? 8 : sizeB == 1 ? 16 : 0;
        if (n != 0) Answer(Sib(n), end);
        InstructionDone();
        return;
      }
      if (sizeB > 1) {
        EnterError(pesig_);
        return;
      }
      op_ = Op::kKey;
      phase_ = Phase::kOperands;
      return;
  }
}

void UpdiChip::Operand(std::uint8_t byte, Clock::time_point end) {
  operands_.push_back(byte);
  const std::uint8_t sizeA = (opByte_ >> 2) & 0x03u;
  const std::uint8_t sizeB = opByte_ & 0x03u;
  switch (op_) {
    case Op::kLds: {
      if (operands_.size() < AddressBytes(sizeA)) return;
      const std::uint32_t address = LittleEndian(operands_, 0, operands_.size());
      std::vector<std::uint8_t> data;
      Clock::time_point ready = end;
      for (std::size_t k = 0; k <= sizeB; ++k) {
        const Located at = Locate(address + static_cast<std::uint32_t>(k));
        if (!AccessAllowed(at, end)) {
          EnterError(kPesigBus);
          return;
        }
        if (k == 0) ready = AccessDone(at, end);
        data.push_back(ReadByte(address + static_cast<std::uint32_t>(k), ready));
      }
      Answer(data, ready);
      FinishPass(end);
      return;
    }
    case Op::kSts: {
      if (stage_ == 0) {
        if (operands_.size() < AddressBytes(sizeA)) return;
        address_ = LittleEndian(operands_, 0, operands_.size());
        const Located at = Locate(address_);
        if (!AccessAllowed(at, end)) {
          EnterError(kPesigBus);
          return;
        }
        bool ignored = true;
        AckOrNack(end, ignored);
        stage_ = 1;
        operands_.clear();
        return;
      }
      if (operands_.size() < sizeB + 1u) return;
      bool store = true;
      const Located at = Locate(address_);
      Clock::time_point done = AccessDone(at, end);
      if ((ctrla_ & kCtrlARsd) != 0 && lastStoreDone_ > end) store = false;  // lost
      AckOrNack(done, store);
      if (store) {
        for (std::size_t k = 0; k < operands_.size(); ++k) {
          WriteByte(address_ + static_cast<std::uint32_t>(k), operands_[k], done,
                    k + 1 == operands_.size());
        }
        lastStoreDone_ = done;
      }
      stage_ = 0;
      FinishPass(end);
      return;
    }
    case Op::kSt: {
      if (sizeA == 2) {
        if (operands_.size() < AddressBytes(sizeB)) return;
        pointer_ = LittleEndian(operands_, 0, operands_.size());
        bool ignored = true;
        AckOrNack(end, ignored);
        InstructionDone();
        return;
      }
      const std::size_t size = sizeB + 1u;
      if (operands_.size() < size) return;
      const Located at = Locate(pointer_);
      if (!AccessAllowed(at, end)) {
        EnterError(kPesigBus);
        return;
      }
      const Clock::time_point done = AccessDone(at, end);
      bool store = !((ctrla_ & kCtrlARsd) != 0 && lastStoreDone_ > end);  // else lost
      AckOrNack(done, store);
      if (store) {
        for (std::size_t k = 0; k < size; ++k) {
          WriteByte(pointer_ + static_cast<std::uint32_t>(k), operands_[k], done, k + 1 == size);
        }
        lastStoreDone_ = done;
      }
      if (sizeA == 1) pointer_ += static_cast<std::uint32_t>(size);
      FinishPass(end);
      return;
    }
    case Op::kStcs:
      WriteControlStatus(opByte_ & 0x0Fu, byte, end);
      if (phase_ == Phase::kOperands) InstructionDone();
      return;
    case Op::kRepeat:
      if (operands_.size() < sizeB + 1u) return;
      repeatPending_ = LittleEndian(operands_, 0, operands_.size());
      repeatArmed_ = true;
      InstructionDone();
      return;
    case Op::kKey:
      if (operands_.size() < (sizeB == 0 ? 8u : 16u)) return;
      HandleKey(operands_);
      InstructionDone();
      return;
    default:
      InstructionDone();
      return;
  }
}

void UpdiChip::FinishPass(Clock::time_point end) {
  (void)end;
  operands_.clear();
  if (phase_ != Phase::kOperands) return;
  if (repeatLeft_ > 0) {
    --repeatLeft_;  // the next pass is data only, without SYNCH and instruction
    return;
  }
  InstructionDone();
}

void UpdiChip::InstructionDone() {
  op_ = Op::kNone;
  operands_.clear();
  if (phase_ != Phase::kError && phase_ != Phase::kOff) phase_ = Phase::kAwaitSynch;
}

std::vector<std::uint8_t> UpdiChip::Sib(std::size_t bytes) const {
  std::string text = family_;
  text.resize(7, ' ');
  text += ' ';
  text += "P:" + std::to_string(layout_.nvmVersion);
  text += "D:1";
  text += "-3";
  text.resize(16, ' ');
  return std::vector<std::uint8_t>(text.begin(), text.begin() + static_cast<long>(bytes));
}

void UpdiChip::HandleKey(const std::vector<std::uint8_t>& key) {
  if (key.size() != 8) return;  // only 64-bit keys exist
  auto is = [&](const std::array<std::uint8_t, 8>& k) {
    return std::equal(k.begin(), k.end(), key.begin());
  };
  if (is(kChipEraseKey)) {
    keyChipErase_ = true;
  } else if (is(kNvmProgKey)) {
    if (!locked_) keyNvmProg_ = true;  // a locked chip takes only the erase (and user row) key
  } else if (is(kUserRowKey)) {
    keyUserRow_ = true;
  }
}

std::uint8_t UpdiChip::ControlStatus(std::uint8_t address, Clock::time_point now) {
  if (erasePendingProg_ && now >= eraseDone_) {
    nvmProg_ = true;
    erasePendingProg_ = false;
  }
  switch (address) {
    case kStatusA:
      return layout_.nvmVersion >= 2 ? 0x30 : 0x10;
    case kStatusB: {
      const std::uint8_t v = pesig_;
      pesig_ = 0;
      return v;
    }
    case kCtrlA:
      return ctrla_;
    case kCtrlB:
      return ctrlb_;
    case kAsiKeyStatus:
      return static_cast<std::uint8_t>((keyUserRow_ ? kKeyUserRow : 0) |
                                       (keyNvmProg_ ? kKeyNvmProg : 0) |
                                       (keyChipErase_ ? kKeyChipErase : 0));
    case kAsiResetReq:
      return resetHeld_ ? 0x01 : 0x00;
    case kAsiCtrlA:
      return asiCtrla_;
    case kAsiSysCtrlA:
      return asiSysCtrla_;
    case kAsiSysStatus: {
      const bool erasing = now < eraseDone_;
      std::uint8_t v = 0;
      if (locked_ || erasing) v |= 0x01;
      if (userRowProg_) v |= 0x04;
      if (nvmProg_) v |= 0x08;
      if (resetHeld_ || resetSeen_) v |= 0x20;
      if (eraseFailed_ && layout_.nvmVersion >= 2) v |= 0x40;
      resetSeen_ = false;
      return v;
    }
    case kAsiCrcStatus:
    default:
      return 0;
  }
}

void UpdiChip::WriteControlStatus(std::uint8_t address, std::uint8_t value, Clock::time_point now) {
  switch (address) {
    case kCtrlA:
      ctrla_ = value;
      return;
    case kCtrlB:
      if ((value & kCtrlBUpdiDis) != 0) {
        // The UPDI shuts down: PHY settings and keys are gone, the line wakes it again.
        ResetUpdi();
        nvmProg_ = false;
        userRowProg_ = false;
        return;
      }
      ctrlb_ = value;
      return;
    case kAsiKeyStatus:
      if ((value & kKeyUserRow) != 0) keyUserRow_ = false;
      return;
    case kAsiResetReq:
      if (value == kResetSignature) {
        SystemResetAsserted(now);
      } else if (resetHeld_) {
        SystemResetReleased(now);
      }
      return;
    case kAsiCtrlA:
      asiCtrla_ = value & 0x03u;
      return;
    case kAsiSysCtrlA:
      asiSysCtrla_ = value & 0x01u;
      if ((value & 0x02u) != 0 && keyUserRow_ && userRowProg_) CompleteUserRowWrite();
      return;
    default:
      return;
  }
}

// ---------------------------------------------------------------------------------------------
// The system

void UpdiChip::LoadFuses() {
  pinIsUpdi_ = true;
  if (layout_.pinShared && pinMask_ != 0 && pinFuseOffset_ < fuses_.size()) {
    pinIsUpdi_ = FieldValue(fuses_[pinFuseOffset_], pinMask_) == layout_.pinUpdiValue;
  }
  std::uint32_t lock = 0;
  for (std::size_t i = 0; i < lock_.size() && i < 4; ++i)
    lock |= std::uint32_t{lock_[i]} << (8 * i);
  locked_ = lock != layout_.lockOpenValue;
  eesave_ = eesaveMask_ != 0 && eesaveOffset_ < fuses_.size() &&
            (fuses_[eesaveOffset_] & eesaveMask_) != 0;
}

bool UpdiChip::EepromSaved() const {
  return eesave_;
}

void UpdiChip::SystemResetAsserted(Clock::time_point now) {
  (void)now;
  resetHeld_ = true;
  resetSeen_ = true;
  nvmProg_ = false;
  userRowProg_ = false;
  erasePendingProg_ = false;
  nvmCmd_ = 0;
  std::fill(pageBuffer_.begin(), pageBuffer_.end(), 0xFF);
  std::fill(pageLoaded_.begin(), pageLoaded_.end(), false);
}

void UpdiChip::SystemResetReleased(Clock::time_point now) {
  resetHeld_ = false;
  if (keyChipErase_) {
    keyChipErase_ = false;
    ChipErase(now, true);
    eraseDone_ = now + ChipEraseTime();
  }
  LoadFuses();
  if (keyNvmProg_ && !locked_) {
    keyNvmProg_ = false;
    if (now < eraseDone_) {
      erasePendingProg_ = true;
    } else {
      nvmProg_ = true;
    }
  }
  if (keyUserRow_) {
    userRowProg_ = true;
    stagingLow_.reset();
  }
  if (LineIgnored()) ResetUpdi();  // the pin is RESET or GPIO now: the UPDI is cut off
}

std::chrono::microseconds UpdiChip::ChipEraseTime() const {
  if (layout_.nvmVersion >= 2) return kV2ChipErase;
  const std::size_t kb = flash_.size() / 1024;
  if (kb <= 4) return milliseconds(50);
  if (kb <= 8) return milliseconds(80);
  if (kb <= 16) return milliseconds(150);
  return milliseconds(55);
}

void UpdiChip::ChipErase(Clock::time_point now, bool byKey) {
  std::fill(flash_.begin(), flash_.end(), 0xFF);
  if (!EepromSaved()) std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
  if (byKey) {
    for (std::size_t i = 0; i < lock_.size(); ++i) {
      lock_[i] = static_cast<std::uint8_t>(layout_.lockOpenValue >> (8 * i));
    }
  }
  Busy(now + ChipEraseTime(), true);
  Busy(now + ChipEraseTime(), false);
}

void UpdiChip::CompleteUserRowWrite() {
  for (std::size_t i = 0; i < userRow_.size(); ++i) {
    std::uint8_t v = 0xFF;
    if (stagingLow_) {
      const auto it = other_.find(*stagingLow_ + static_cast<std::uint32_t>(i));
      if (it != other_.end()) v = it->second;
    }
    userRow_[i] = v;
  }
  userRowProg_ = false;
}

void UpdiChip::Busy(Clock::time_point until, bool flash) {
  Clock::time_point& t = flash ? flashBusyUntil_ : eepromBusyUntil_;
  t = std::max(t, until);
}

UpdiChip::Located UpdiChip::Locate(std::uint32_t address) const {
  auto in = [address](std::uint32_t base, std::size_t size) {
    return size != 0 && address >= base && address - base < size;
  };
  if (in(layout_.flashBase, flash_.size())) return {Region::kFlash, address - layout_.flashBase};
  if (in(layout_.eepromBase, eeprom_.size()))
    return {Region::kEeprom, address - layout_.eepromBase};
  if (in(layout_.userRowBase, userRow_.size()))
    return {Region::kUserRow, address - layout_.userRowBase};
  if (in(layout_.lockBase, lock_.size())) return {Region::kLock, address - layout_.lockBase};
  if (in(layout_.fuseBase, fuses_.size())) return {Region::kFuse, address - layout_.fuseBase};
  if (in(layout_.sigRowBase, sigRow_.size()))
    return {Region::kSigRow, address - layout_.sigRowBase};
  if (in(kNvmCtrlBase, kNvmCtrlSize)) return {Region::kNvmCtrl, address - kNvmCtrlBase};
  return {Region::kOther, address};
}

bool UpdiChip::AccessAllowed(const Located& at, Clock::time_point now) const {
  if (!locked_ && now >= eraseDone_) return true;
  // Locked (or being erased): the bus is closed to the UPDI; only the SRAM that stages a
  // user row write is open while the user row key is in force.
  return userRowProg_ && at.region == Region::kOther;
}

UpdiChip::Clock::time_point UpdiChip::AccessDone(const Located& at, Clock::time_point when) const {
  switch (at.region) {
    case Region::kFlash:
      return std::max(when, layout_.nvmVersion >= 2 ? flashBusyUntil_
                                                    : std::max(flashBusyUntil_, eepromBusyUntil_));
    case Region::kEeprom:
    case Region::kUserRow:
    case Region::kFuse:
    case Region::kLock:
      return std::max(when, layout_.nvmVersion >= 2 ? eepromBusyUntil_
                                                    : std::max(flashBusyUntil_, eepromBusyUntil_));
    default:
      return when;
  }
}

std::uint8_t UpdiChip::NvmStatus(Clock::time_point now) const {
  std::uint8_t v = 0;
  if (now < flashBusyUntil_) v |= 0x01;
  if (now < eepromBusyUntil_) v |= 0x02;
  if (layout_.nvmVersion >= 2) {
    v |= static_cast<std::uint8_t>((nvmError_ & 0x07u) << 4);
  } else if (nvmError_ != 0) {
    v |= 0x04;  // WRERROR
  }
  return v;
}

std::uint8_t UpdiChip::ReadByte(std::uint32_t address, Clock::time_point now) {
  const Located at = Locate(address);
  switch (at.region) {
    case Region::kFlash:
      return flash_[at.offset];
    case Region::kEeprom:
      return eeprom_[at.offset];
    case Region::kUserRow:
      return userRow_[at.offset];
    case Region::kFuse:
      return fuses_[at.offset];
    case Region::kLock:
      return lock_[at.offset];
    case Region::kSigRow:
      return sigRow_[at.offset];
    case Region::kNvmCtrl:
      switch (at.offset) {
        case 0x0:
          return nvmCmd_;
        case 0x2:
          return NvmStatus(now);
        case 0x6:
          return static_cast<std::uint8_t>(nvmData_);
        case 0x7:
          return static_cast<std::uint8_t>(nvmData_ >> 8);
        case 0x8:
        case 0x9:
        case 0xA:
        case 0xB:
          return static_cast<std::uint8_t>(nvmAddr_ >> (8 * (at.offset - 0x8)));
        default:
          return 0;
      }
    case Region::kOther: {
      const auto it = other_.find(address);
      return it == other_.end() ? 0 : it->second;
    }
    case Region::kNone:
      break;
  }
  return 0;
}

void UpdiChip::WriteByte(std::uint32_t address, std::uint8_t value, Clock::time_point now,
                         bool lastOfStore) {
  const Located at = Locate(address);
  switch (at.region) {
    case Region::kNvmCtrl:
      NvmCtrlWrite(at.offset, value, now);
      return;
    case Region::kOther:
      other_[address] = value;
      if (userRowProg_ && (!stagingLow_ || address < *stagingLow_)) stagingLow_ = address;
      return;
    case Region::kSigRow:
    case Region::kNone:
      return;
    default:
      break;
  }
  if (!nvmProg_) return;  // the NVM takes stores only in programming mode
  if (layout_.nvmVersion >= 2) {
    StoreV2(at, value, now, lastOfStore);
  } else {
    StoreV0(at, value);
    nvmAddr_ = address;
  }
}

void UpdiChip::NvmCtrlWrite(std::uint32_t offset, std::uint8_t value, Clock::time_point now) {
  if (!nvmProg_) return;
  switch (offset) {
    case 0x0:
      if (layout_.nvmVersion >= 2) {
        NvmCommandV2(value & 0x7Fu, now);
      } else {
        NvmCommandV0(value & 0x07u, now);
      }
      return;
    case 0x2:
      if (layout_.nvmVersion >= 2 && ((value >> 4) & 0x07u) == 0) nvmError_ = 0;
      return;
    case 0x6:
      nvmData_ = static_cast<std::uint16_t>((nvmData_ & 0xFF00u) | value);
      return;
    case 0x7:
      nvmData_ = static_cast<std::uint16_t>((nvmData_ & 0x00FFu) | (value << 8));
      return;
    case 0x8:
    case 0x9:
    case 0xA:
    case 0xB: {
      const unsigned shift = 8 * (offset - 0x8);
      nvmAddr_ = (nvmAddr_ & ~(0xFFu << shift)) | (std::uint32_t{value} << shift);
      return;
    }
    default:
      return;
  }
}

void UpdiChip::StoreV0(const Located& at, std::uint8_t value) {
  if (at.region == Region::kFuse || at.region == Region::kLock) return;  // only WFU writes them
  const std::uint32_t page = at.region == Region::kFlash ? flashPage_ : eepromPage_;
  const std::size_t index = at.offset % page;
  if (index >= pageBuffer_.size()) return;
  // Loading a buffer byte twice keeps only the bits both loads cleared.
  pageBuffer_[index] &= value;
  pageLoaded_[index] = true;
  pageRegion_ = at.region;
}

void UpdiChip::NvmCommandV0(std::uint8_t cmd, Clock::time_point now) {
  const bool busy = now < flashBusyUntil_ || now < eepromBusyUntil_;
  if (cmd != 0 && busy) {
    nvmError_ = 1;  // a command while the NVM is busy is not carried out
    return;
  }
  nvmCmd_ = cmd;
  auto clearBuffer = [this] {
    std::fill(pageBuffer_.begin(), pageBuffer_.end(), 0xFF);
    std::fill(pageLoaded_.begin(), pageLoaded_.end(), false);
  };
  switch (cmd) {
    case 0x1:    // WP
    case 0x2:    // ER
    case 0x3: {  // ERWP
      const Located at = Locate(nvmAddr_);
      std::vector<std::uint8_t>* memory = nullptr;
      std::uint32_t page = eepromPage_;
      bool flash = false;
      if (at.region == Region::kFlash) {
        memory = &flash_;
        page = flashPage_;
        flash = true;
      } else if (at.region == Region::kEeprom) {
        memory = &eeprom_;
      } else if (at.region == Region::kUserRow) {
        memory = &userRow_;
        page = std::min<std::uint32_t>(eepromPage_, static_cast<std::uint32_t>(userRow_.size()));
      }
      if (memory == nullptr) {
        nvmError_ = 1;
        return;
      }
      const std::uint32_t base = at.offset - at.offset % page;
      for (std::uint32_t i = 0; i < page && base + i < memory->size(); ++i) {
        // Flash pages are written whole; EEPROM pages only where the buffer was loaded.
        if (!flash && !pageLoaded_[i]) continue;
        std::uint8_t& cell = (*memory)[base + i];
        if (cmd == 0x1) cell &= pageBuffer_[i];
        if (cmd == 0x2) cell = 0xFF;
        if (cmd == 0x3) cell = pageBuffer_[i];
      }
      const microseconds time = cmd == 0x1   ? kV0PageWrite
                                : cmd == 0x2 ? kV0PageErase
                                             : kV0PageEraseWrite;
      Busy(now + time, flash);
      clearBuffer();
      nvmError_ = 0;
      return;
    }
    case 0x4:  // PBC
      clearBuffer();
      return;
    case 0x5:  // CHER
      ChipErase(now, false);
      return;
    case 0x6:  // EEER
      std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
      Busy(now + kV0EepromErase, false);
      return;
    case 0x7: {  // WFU
      const Located at = Locate(nvmAddr_);
      if (at.region == Region::kFuse) {
        fuses_[at.offset] = static_cast<std::uint8_t>(nvmData_);
      } else if (at.region == Region::kLock) {
        lock_[at.offset] = static_cast<std::uint8_t>(nvmData_);
      } else {
        nvmError_ = 1;
        return;
      }
      Busy(now + kV0FuseWrite, false);
      nvmError_ = 0;
      return;
    }
    default:
      return;
  }
}

void UpdiChip::NvmCommandV2(std::uint8_t cmd, Clock::time_point now) {
  const bool idleCommand = cmd == 0x00 || cmd == 0x01;
  if (!idleCommand) {
    const bool busy = now < flashBusyUntil_ || now < eepromBusyUntil_;
    const bool change = nvmCmd_ != 0x00 && nvmCmd_ != 0x01 && nvmCmd_ != cmd;
    if (busy || change) {
      nvmError_ = 3;  // CMDCOLLISION
      return;
    }
    const bool known = cmd == 0x02 || (cmd >= 0x08 && cmd <= 0x0D) || cmd == 0x12 || cmd == 0x13 ||
                       (cmd >= 0x18 && cmd <= 0x1D) || cmd == 0x20 || cmd == 0x30;
    if (!known) {
      nvmError_ = 1;  // INVALIDCMD
      return;
    }
  }
  nvmCmd_ = cmd;
  if (cmd == 0x20) ChipErase(now, false);
  if (cmd == 0x30) {
    std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
    Busy(now + kV2EepromErase, false);
  }
}

void UpdiChip::StoreV2(const Located& at, std::uint8_t value, Clock::time_point now,
                       bool lastOfStore) {
  if (nvmError_ == 3) return;  // programming is ignored until the collision is cleared
  const std::uint8_t cmd = nvmCmd_;
  std::uint8_t* cell = nullptr;
  switch (at.region) {
    case Region::kFlash:
      cell = &flash_[at.offset];
      break;
    case Region::kEeprom:
      cell = &eeprom_[at.offset];
      break;
    case Region::kUserRow:
      cell = &userRow_[at.offset];
      break;
    case Region::kFuse:
      cell = &fuses_[at.offset];
      break;
    case Region::kLock:
      cell = &lock_[at.offset];
      break;
    default:
      return;
  }
  const bool flashLike = at.region == Region::kFlash || at.region == Region::kUserRow;
  if (cmd == 0x02 && flashLike) {  // FLWR: a byte only clears bits until erased
    *cell &= value;
    // The flash is written a word at a time (a byte through the CPU's data space), so one
    // store of a byte or a word is one write.
    if (lastOfStore) Busy(now + kV2FlashWrite, true);
    return;
  }
  if (cmd >= 0x08 && cmd <= 0x0D && flashLike) {  // FLPER, FLMPERn
    if (at.region == Region::kUserRow) {
      std::fill(userRow_.begin(), userRow_.end(), 0xFF);
    } else {
      const std::uint32_t pages = 1u << (cmd - 0x08);
      const std::uint32_t span = flashPage_ * pages;
      const std::uint32_t base = at.offset - at.offset % span;
      std::fill(flash_.begin() + base,
                flash_.begin() + std::min<std::size_t>(base + span, flash_.size()), 0xFF);
    }
    Busy(now + kV2PageErase, true);
    return;
  }
  if (flashLike && at.region == Region::kFlash) return;  // EEPROM commands do not reach the flash
  microseconds time = kV2EepromErase;
  switch (cmd) {
    case 0x12:  // EEWR
      *cell &= value;
      time = kV2EepromWrite;
      break;
    case 0x13:  // EEERWR
      *cell = value;
      time = kV2EepromEraseWrite;
      break;
    case 0x18:  // EEBER
      *cell = 0xFF;
      break;
    case 0x19:
    case 0x1A:
    case 0x1B:
    case 0x1C:
    case 0x1D: {  // EEMBERn
      if (at.region != Region::kEeprom) return;
      const std::uint32_t n = 2u << (cmd - 0x19);
      const std::uint32_t base = at.offset - at.offset % n;
      std::fill(eeprom_.begin() + base,
                eeprom_.begin() + std::min<std::size_t>(base + n, eeprom_.size()), 0xFF);
      break;
    }
    default:
      return;
  }
  // The EEPROM is written a byte at a time: the bytes of one store follow one another.
  Busy(std::max(now, eepromBusyUntil_) + time, false);
}

void UpdiChip::HighVoltagePulse() {
  highVoltage_ = true;
  // The pulse resets the UPDI; it wakes when the host drives the line low.
  ResetUpdi();
}

void UpdiChip::PowerCycle() {
  highVoltage_ = false;
  ResetUpdi();
  nvmProg_ = userRowProg_ = erasePendingProg_ = false;
  resetHeld_ = resetSeen_ = false;
  nvmCmd_ = 0;
  nvmError_ = 0;
  flashBusyUntil_ = eepromBusyUntil_ = eraseDone_ = Clock::time_point{};
  LoadFuses();
}

}  // namespace bq
