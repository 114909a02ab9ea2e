#include "sim/stk500v2/sim_stk500v2.h"

#include <algorithm>

#include "sim/stk500v2/stk500v2_codes.h"

namespace bq {

using namespace stk500v2;

namespace {

constexpr std::uint32_t kExtendedBit = 0x80000000u;

std::uint8_t Lo(std::uint32_t v) {
  return static_cast<std::uint8_t>(v);
}
std::uint8_t Hi(std::uint32_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}

std::uint8_t XorOf(const std::vector<std::uint8_t>& bytes, std::size_t n) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < n; ++i) x ^= bytes[i];
  return x;
}

}  // namespace

SimStk500v2::SimStk500v2(SimChip& chip, SimStk500v2Options options)
    : chip_(chip), options_(std::move(options)), target_(chip) {
  parameters_ = {{kParamBuildNumberLow, 0},
                 {kParamBuildNumberHigh, 0},
                 {kParamHwVer, options_.hardwareVersion},
                 {kParamSwMajor, options_.softwareMajor},
                 {kParamSwMinor, options_.softwareMinor},
                 {kParamVtarget, options_.vtarget},
                 {kParamVadjust, options_.vtarget},
                 {kParamOscPscale, 0},
                 {kParamOscCmatch, 0},
                 {kParamSckDuration, 2},
                 {kParamTopcardDetect, 0xFF},
                 {kParamStatus, 0},
                 {kParamData, 0},
                 {kParamResetPolarity, 1},
                 {kParamControllerInit, 0}};
}

void SimStk500v2::Frame(std::uint8_t sequence, const std::vector<std::uint8_t>& body,
                        std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  out.insert(out.end(), {kMessageStart, sequence, Hi(static_cast<std::uint32_t>(body.size())),
                         Lo(static_cast<std::uint32_t>(body.size())), kToken});
  out.insert(out.end(), body.begin(), body.end());
  std::uint8_t x = 0;
  for (std::size_t i = start; i < out.size(); ++i) x ^= out[i];
  out.push_back(x);
}

std::vector<std::uint8_t> SimStk500v2::Receive(const std::uint8_t* data, std::size_t n) {
  in_.insert(in_.end(), data, data + n);
  std::vector<std::uint8_t> out;
  for (;;) {
    const auto start = std::find(in_.begin(), in_.end(), kMessageStart);
    in_.erase(in_.begin(), start);
    if (in_.size() < 5) break;
    const std::size_t size = std::size_t{in_[2]} << 8 | in_[3];
    if (in_[4] != kToken || size > kMaxBody) {
      in_.erase(in_.begin());  // not a frame: look for the next start byte
      continue;
    }
    const std::size_t total = 5 + size + 1;
    if (in_.size() < total) break;
    const std::uint8_t sequence = in_[1];
    const bool checksumGood = XorOf(in_, total - 1) == in_[total - 1];
    std::vector<std::uint8_t> body(in_.begin() + 5,
                                   in_.begin() + 5 + static_cast<std::ptrdiff_t>(size));
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(total));
    if (!checksumGood) {
      // AVR068's answer: ANSWER_CKSUM_ERROR as the id and again as the status.
      Frame(sequence, {kAnswerCksumError, kAnswerCksumError}, out);
      continue;
    }
    if (body.empty()) continue;
    const std::uint8_t id = body[0];
    const std::uint32_t occurrence = ++counts_[id];
    const Stk500Fault* fault = FindStk500Fault(options_.faults, id, occurrence);
    if (fault != nullptr && fault->kind == Stk500FaultKind::kSilence) continue;
    std::vector<std::uint8_t> answer;
    if (fault != nullptr && fault->kind == Stk500FaultKind::kDeviceFailure) {
      answer = {id, kStatusCmdFailed};
    } else {
      answer = Handle(body);
    }
    std::vector<std::uint8_t> frame;
    Frame(sequence, answer, frame);
    if (fault != nullptr && fault->kind == Stk500FaultKind::kBadChecksum) frame.back() ^= 0xFF;
    if (fault != nullptr && fault->kind == Stk500FaultKind::kGarbage) {
      for (std::uint8_t& b : frame) b ^= 0xA5;  // no MESSAGE_START, no TOKEN
    }
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

std::vector<std::uint8_t> SimStk500v2::Handle(const std::vector<std::uint8_t>& b) {
  const std::uint8_t id = b[0];
  const std::vector<std::uint8_t> failed{id, kStatusCmdFailed};
  switch (id) {
    case kSignOn: {
      std::vector<std::uint8_t> a{id, kStatusCmdOk,
                                  static_cast<std::uint8_t>(options_.signOn.size())};
      a.insert(a.end(), options_.signOn.begin(), options_.signOn.end());
      return a;
    }
    case kSetParameter: {
      if (b.size() < 3) return failed;
      auto it = parameters_.find(b[1]);
      const bool readOnly = b[1] == kParamBuildNumberLow || b[1] == kParamBuildNumberHigh ||
                            b[1] == kParamHwVer || b[1] == kParamSwMajor || b[1] == kParamSwMinor ||
                            b[1] == kParamTopcardDetect;
      if (it == parameters_.end() || readOnly) return failed;
      it->second = b[2];
      return {id, kStatusCmdOk};
    }
    case kGetParameter: {
      if (b.size() < 2) return failed;
      auto it = parameters_.find(b[1]);
      if (it == parameters_.end()) return failed;
      return {id, kStatusCmdOk, it->second};
    }
    case kSetDeviceParameters:
    case kOsccal:
      return {id, kStatusCmdOk};
    case kLoadAddress:
      if (b.size() < 5) return failed;
      address_ =
          std::uint32_t{b[1]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 8 | b[4];
      return {id, kStatusCmdOk};
    default:
      break;
  }
  if (id >= kEnterProgmodeIsp && id <= kSpiMulti) return HandleIsp(b);
  if (id >= kPpBase && id <= kHvspBase + kHvReadOsccal && (id & 0x0Fu) <= kHvReadOsccal)
    return HandleHv(b);
  return {id, kStatusCmdUnknown};
}

void SimStk500v2::LoadExtendedIfNeeded(std::uint32_t wordAddress, bool& loaded,
                                       std::uint8_t& last) {
  if ((address_ & kExtendedBit) == 0) return;
  const std::uint8_t extended = static_cast<std::uint8_t>(wordAddress >> 16);
  if (loaded && extended == last) return;
  target_.Transfer(0x4D, 0x00, extended, 0x00);
  loaded = true;
  last = extended;
}

// Waits for a write as the mode bits say; false (and the status) when the chip stays busy.
bool SimStk500v2::Wait(std::uint8_t method, std::uint8_t pollCmd, std::uint32_t address, bool flash,
                       std::uint8_t data, std::uint8_t poll1, std::uint8_t poll2,
                       std::uint8_t& status) {
  if (method == 2) {  // RDY/BSY
    if ((target_.Transfer(0xF0, 0x00, 0x00, 0x00)[3] & 0x01u) != 0) {
      status = kStatusRdyBsyTout;
      return false;
    }
    return true;
  }
  if (method == 1) {  // value polling; a byte equal to a poll value cannot be polled: delay
    if (data == poll1 || (!flash && data == poll2)) return true;
    const std::uint8_t high = flash && (address & 1u) != 0 ? 0x08 : 0x00;
    const std::uint32_t a = flash ? address / 2 : address;
    if (target_.Transfer(pollCmd | high, Hi(a), Lo(a), 0)[3] != data) {
      status = kStatusCmdTout;
      return false;
    }
  }
  return true;  // timed delay, or nothing asked for
}

std::vector<std::uint8_t> SimStk500v2::ProgramIsp(const std::vector<std::uint8_t>& b, bool flash) {
  const std::uint8_t id = b[0];
  if (b.size() < 10) return {id, kStatusCmdFailed};
  const std::size_t count = std::size_t{b[1]} << 8 | b[2];
  if (b.size() != 10 + count) return {id, kStatusCmdFailed};
  const std::uint8_t mode = b[3], cmd1 = b[5], cmd2 = b[6], cmd3 = b[7], poll1 = b[8], poll2 = b[9];
  const std::uint8_t* data = b.data() + 10;
  const std::uint32_t base = address_ & ~kExtendedBit;
  // Byte addresses: flash counts words on the wire, twice as many bytes.
  const std::uint32_t first = flash ? base * 2 : base;
  bool extLoaded = false;
  std::uint8_t extLast = 0;
  std::uint8_t status = kStatusCmdOk;
  auto wire = [&](std::uint32_t byte) { return flash ? byte / 2 : byte; };
  auto highBit = [&](std::uint32_t byte) -> std::uint8_t {
    return flash && (byte & 1u) != 0 ? 0x08 : 0x00;
  };
  const bool page = (mode & kModePage) != 0;
  const std::uint8_t wordMethod = (mode & kModeWordRdyBsy)      ? 2
                                  : (mode & kModeWordValuePoll) ? 1
                                                                : 0;
  const std::uint8_t pageMethod = (mode & kModePageRdyBsy)      ? 2
                                  : (mode & kModePageValuePoll) ? 1
                                                                : 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t byte = first + static_cast<std::uint32_t>(i);
    const std::uint32_t a = wire(byte);
    LoadExtendedIfNeeded(a, extLoaded, extLast);
    target_.Transfer(cmd1 | highBit(byte), Hi(a), Lo(a), data[i]);
    if (!page && !Wait(wordMethod, cmd3, byte, flash, data[i], poll1, poll2, status)) break;
  }
  if (page && (mode & kModeWritePage) != 0 && count > 0) {
    const std::uint32_t a = wire(first);
    LoadExtendedIfNeeded(a, extLoaded, extLast);
    target_.Transfer(cmd2, Hi(a), Lo(a), 0);
    // Poll on the first byte that can be polled.
    std::size_t k = 0;
    while (k + 1 < count && (data[k] == poll1 || (!flash && data[k] == poll2))) ++k;
    Wait(pageMethod, cmd3, first + static_cast<std::uint32_t>(k), flash, data[k], poll1, poll2,
         status);
  }
  const std::uint32_t advance = static_cast<std::uint32_t>(flash ? count / 2 : count);
  address_ = (address_ & kExtendedBit) | ((base + advance) & ~kExtendedBit);
  return {id, status};
}

std::vector<std::uint8_t> SimStk500v2::ReadIsp(const std::vector<std::uint8_t>& b, bool flash) {
  const std::uint8_t id = b[0];
  if (b.size() < 4) return {id, kStatusCmdFailed};
  const std::size_t count = std::size_t{b[1]} << 8 | b[2];
  const std::uint8_t cmd1 = b[3];
  const std::uint32_t base = address_ & ~kExtendedBit;
  const std::uint32_t first = flash ? base * 2 : base;
  bool extLoaded = false;
  std::uint8_t extLast = 0;
  std::vector<std::uint8_t> a{id, kStatusCmdOk};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t byte = first + static_cast<std::uint32_t>(i);
    const std::uint32_t w = flash ? byte / 2 : byte;
    LoadExtendedIfNeeded(w, extLoaded, extLast);
    const std::uint8_t high = flash && (byte & 1u) != 0 ? 0x08 : 0x00;
    a.push_back(target_.Transfer(cmd1 | high, Hi(w), Lo(w), 0)[3]);
  }
  a.push_back(kStatusCmdOk);
  const std::uint32_t advance = static_cast<std::uint32_t>(flash ? count / 2 : count);
  address_ = (address_ & kExtendedBit) | ((base + advance) & ~kExtendedBit);
  return a;
}

std::vector<std::uint8_t> SimStk500v2::HandleIsp(const std::vector<std::uint8_t>& b) {
  const std::uint8_t id = b[0];
  const std::vector<std::uint8_t> failed{id, kStatusCmdFailed};
  switch (id) {
    case kEnterProgmodeIsp: {
      if (b.size() < 12) return failed;
      const std::uint8_t synchLoops = b[4], pollValue = b[6], pollIndex = b[7];
      const bool clockUsable = parameters_[kParamSckDuration] >= options_.minSckDuration;
      target_.SetConnected(options_.connect == SimConnect::kIsp && options_.chipPresent &&
                           clockUsable);
      target_.SetLockoutFields(options_.ispLockout);
      target_.SetStuckBusy(options_.chipBusy);
      target_.ResetLow();
      for (unsigned attempt = 0; attempt < std::max<unsigned>(1, synchLoops); ++attempt) {
        const auto echo = target_.Transfer(b[8], b[9], b[10], b[11]);
        if (pollIndex == 0 || (pollIndex <= 4 && echo[pollIndex - 1] == pollValue)) {
          mode_ = Mode::kIsp;
          return {id, kStatusCmdOk};
        }
      }
      target_.Release();
      mode_ = Mode::kNone;
      return failed;
    }
    case kLeaveProgmodeIsp:
      target_.Release();
      mode_ = Mode::kNone;
      return {id, kStatusCmdOk};
    case kChipEraseIsp: {
      if (b.size() < 7) return failed;
      target_.Transfer(b[3], b[4], b[5], b[6]);
      if (b[2] == 1 && (target_.Transfer(0xF0, 0, 0, 0)[3] & 0x01u) != 0)
        return {id, kStatusCmdTout};
      return {id, kStatusCmdOk};
    }
    case kProgramFlashIsp:
    case kProgramEepromIsp:
      return ProgramIsp(b, id == kProgramFlashIsp);
    case kReadFlashIsp:
    case kReadEepromIsp:
      return ReadIsp(b, id == kReadFlashIsp);
    case kProgramFuseIsp:
    case kProgramLockIsp:
      if (b.size() < 5) return failed;
      target_.Transfer(b[1], b[2], b[3], b[4]);
      return {id, kStatusCmdOk, kStatusCmdOk};
    case kReadFuseIsp:
    case kReadLockIsp:
    case kReadSignatureIsp:
    case kReadOsccalIsp: {
      if (b.size() < 6) return failed;
      const auto echo = target_.Transfer(b[2], b[3], b[4], b[5]);
      const std::uint8_t value = b[1] >= 1 && b[1] <= 4 ? echo[b[1] - 1] : 0;
      return {id, kStatusCmdOk, value, kStatusCmdOk};
    }
    case kSpiMulti: {
      if (b.size() < 4 || b.size() != 4 + std::size_t{b[1]}) return failed;
      const std::size_t tx = b[1], rx = b[2], rxStart = b[3];
      const std::size_t total = std::max(tx, rxStart + rx);
      std::vector<std::uint8_t> a{id, kStatusCmdOk};
      for (std::size_t i = 0; i < total; ++i) {
        const std::uint8_t out = target_.Shift(i < tx ? b[4 + i] : 0x00);
        if (i >= rxStart && a.size() < 2 + rx) a.push_back(out);
      }
      a.push_back(kStatusCmdOk);
      return a;
    }
    default:
      return {id, kStatusCmdUnknown};
  }
}

std::vector<std::uint8_t> SimStk500v2::HandleHv(const std::vector<std::uint8_t>& b) {
  const std::uint8_t id = b[0];
  const bool serial = id >= kHvspBase;
  const std::uint8_t op = id & 0x0Fu;
  const Mode want = serial ? Mode::kHvsp : Mode::kPp;
  const std::vector<std::uint8_t> failed{id, kStatusCmdFailed};
  const bool busy = options_.chipBusy;
  if (op == kHvEnterProgmode) {
    if (b.size() < (serial ? 9u : 8u)) return failed;
    const bool modeFits = serial ? chip_.hvMode == 3 : (chip_.hvMode == 1 || chip_.hvMode == 2);
    const std::uint8_t v = parameters_[kParamVtarget];
    const bool supplyFits = !serial || (v >= 45 && v <= 55);
    if (options_.connect != SimConnect::kSocket || !options_.chipPresent || !modeFits ||
        !supplyFits) {
      mode_ = Mode::kNone;
      return failed;
    }
    target_.Release();
    hvPending_.clear();
    mode_ = want;
    return {id, kStatusCmdOk};
  }
  if (op == kHvLeaveProgmode) {
    if (mode_ == want) mode_ = Mode::kNone;
    return {id, kStatusCmdOk};
  }
  if (mode_ != want) return failed;
  auto fuse = [&](std::uint8_t address) -> std::uint8_t* {
    switch (address) {
      case 0:
        return &chip_.low;
      case 1:
        return &chip_.high;
      case 2:
        return &chip_.extended;
      default:
        return nullptr;
    }
  };
  switch (op) {
    case kHvChipErase: {
      if (b.size() < 3) return failed;
      const std::uint8_t pollTimeout = serial ? b[1] : b[2];
      if (busy) return {id, pollTimeout != 0 ? kStatusRdyBsyTout : kStatusCmdOk};
      chip_.Erase();
      return {id, kStatusCmdOk};
    }
    case kHvProgramFlash:
    case kHvProgramEeprom: {
      if (b.size() < 5) return failed;
      const bool flash = op == kHvProgramFlash;
      const std::size_t count = std::size_t{b[1]} << 8 | b[2];
      if (b.size() != 5 + count) return failed;
      const std::uint8_t mode = b[3], pollTimeout = b[4];
      std::vector<std::uint8_t>& memory = flash ? chip_.flash : chip_.eeprom;
      // Page mode names the page size in bits 1..3 (0: 256 bytes, else 2 << (code - 1));
      // one that is not the chip's would scatter the data, so it is refused.
      if ((mode & kModePage) != 0) {
        const unsigned code = (mode >> 1) & 0x07u;
        const std::uint32_t pageBytes = code == 0 ? 256u : 1u << code;
        if (pageBytes != (flash ? chip_.flashPageBytes : chip_.eepromPageBytes)) return failed;
      }
      const std::uint32_t base = address_ & ~kExtendedBit;
      const std::size_t first = flash ? std::size_t{base} * 2 : base;
      for (std::size_t i = 0; i < count; ++i) hvPending_.emplace_back(first + i, b[5 + i]);
      address_ = (address_ & kExtendedBit) |
                 ((base + static_cast<std::uint32_t>(flash ? count / 2 : count)) & ~kExtendedBit);
      // Page mode loads the page buffer; the write bit writes it.
      if ((mode & kModePage) != 0 && (mode & kModeWritePage) == 0) return {id, kStatusCmdOk};
      if (busy) {
        hvPending_.clear();
        return {id, pollTimeout != 0 ? kStatusRdyBsyTout : kStatusCmdOk};
      }
      if (!chip_.WriteLocked()) {
        for (const auto& [at, value] : hvPending_) {
          if (at >= memory.size()) continue;
          memory[at] = flash ? static_cast<std::uint8_t>(memory[at] & value) : value;
        }
      }
      hvPending_.clear();
      return {id, kStatusCmdOk};
    }
    case kHvReadFlash:
    case kHvReadEeprom: {
      if (b.size() < 3) return failed;
      const bool flash = op == kHvReadFlash;
      const std::size_t count = std::size_t{b[1]} << 8 | b[2];
      const std::vector<std::uint8_t>& memory = flash ? chip_.flash : chip_.eeprom;
      const std::uint32_t base = address_ & ~kExtendedBit;
      const std::size_t first = flash ? std::size_t{base} * 2 : base;
      std::vector<std::uint8_t> a{id, kStatusCmdOk};
      for (std::size_t i = 0; i < count; ++i)
        a.push_back(first + i < memory.size() ? memory[first + i] : 0x00);
      a.push_back(kStatusCmdOk);
      address_ = (address_ & kExtendedBit) |
                 ((base + static_cast<std::uint32_t>(flash ? count / 2 : count)) & ~kExtendedBit);
      return a;
    }
    case kHvProgramFuse:
    case kHvProgramLock: {
      if (b.size() < (serial ? 4u : 5u)) return failed;
      const std::uint8_t pollTimeout = serial ? b[3] : b[4];
      std::uint8_t* target = op == kHvProgramLock ? &chip_.lock : fuse(b[1]);
      if (target == nullptr) return failed;
      if (busy) return {id, pollTimeout != 0 ? kStatusRdyBsyTout : kStatusCmdOk};
      if (op == kHvProgramLock)
        chip_.lock &= static_cast<std::uint8_t>(b[2] | 0xC0u);
      else
        *target = b[2];
      return {id, kStatusCmdOk};
    }
    case kHvReadFuse:
    case kHvReadLock:
    case kHvReadSignature:
    case kHvReadOsccal: {
      if (b.size() < 2) return failed;
      std::uint8_t value = 0x00;  // zero when the address names nothing
      if (op == kHvReadLock) {
        value = chip_.lock;
      } else if (op == kHvReadFuse) {
        if (const std::uint8_t* f = fuse(b[1])) value = *f;
      } else if (op == kHvReadSignature) {
        if (b[1] <= 2) value = static_cast<std::uint8_t>(chip_.signature >> (16 - 8 * b[1]));
      } else {
        value = SimChip::Calibration(b[1]);
      }
      return {id, kStatusCmdOk, value};
    }
    default:
      return {id, kStatusCmdUnknown};
  }
}

}  // namespace bq
