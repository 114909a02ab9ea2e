#include "sim/stk500v1/sim_stk500v1.h"

#include <cstring>
#include <utility>

#include "sim/stk500v1/stk500v1_codes.h"

namespace bq {

using namespace stk500v1;

namespace {

std::uint8_t Lo(std::uint32_t v) {
  return static_cast<std::uint8_t>(v);
}
std::uint8_t Hi(std::uint32_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}

bool Known(std::uint8_t code) {
  switch (code) {
    case kGetSync:
    case kGetSignOn:
    case kSetParameter:
    case kGetParameter:
    case kSetDevice:
    case kSetDeviceExt:
    case kEnterProgmode:
    case kLeaveProgmode:
    case kChipErase:
    case kLoadAddress:
    case kUniversal:
    case kUniversalMulti:
    case kProgFuse:
    case kProgLock:
    case kProgPage:
    case kProgFuseExt:
    case kReadFlash:
    case kReadData:
    case kReadFuse:
    case kReadLock:
    case kReadPage:
    case kReadSign:
    case kReadFuseExt:
      return true;
    default:
      return false;
  }
}

}  // namespace

SimStk500v1::SimStk500v1(SimChip& chip, SimStk500v1Options options)
    : chip_(chip), options_(std::move(options)), target_(chip) {
  // Read/write parameters and their values after power-up.
  parameters_ = {{kParmLeds, 0},        {kParmVtarget, 50},   {kParmVadjust, 50},
                 {kParmOscPscale, 0},   {kParmOscCmatch, 0},  {kParmResetDuration, 0},
                 {kParmSckDuration, 2}, {kParmBufsizeL, 0},   {kParmBufsizeH, 1},
                 {kParmDevice, 0},      {kParmProgmode, 'S'}, {kParmParamode, 0},
                 {kParmPolling, 1},     {kParmSelftimed, 1}};
}

std::size_t SimStk500v1::FrameLength() const {
  if (in_.empty()) return 0;
  auto need = [&](std::size_t k) { return in_.size() > k; };
  switch (in_[0]) {
    case kGetSync:
    case kGetSignOn:
    case kEnterProgmode:
    case kLeaveProgmode:
    case kChipErase:
    case kReadFlash:
    case kReadData:
    case kReadFuse:
    case kReadLock:
    case kReadSign:
    case kReadFuseExt:
      return 2;
    case kGetParameter:
    case kProgLock:
      return 3;
    case kSetParameter:
    case kLoadAddress:
    case kProgFuse:
      return 4;
    case kReadPage:
    case kProgFuseExt:
      return 5;
    case kUniversal:
      return 6;
    case kSetDevice:
      return 22;
    case kSetDeviceExt:  // commandsize counts itself and the bytes after it
      if (!need(1)) return 0;
      return 2 + (in_[1] == 0 ? 1 : in_[1]);
    case kUniversalMulti:  // n: n + 1 bytes follow
      if (!need(1)) return 0;
      return 3 + std::size_t{in_[1]} + 1;
    case kProgPage:
      if (!need(2)) return 0;
      return 5 + (std::size_t{in_[1]} << 8 | in_[2]);
    default:
      return 2;
  }
}

std::uint32_t SimStk500v1::PageWords() const {
  const std::uint32_t bytes = devicePageBytes_ != 0 ? devicePageBytes_ : chip_.flashPageBytes;
  return bytes / 2;
}

std::vector<std::uint8_t> SimStk500v1::Receive(const std::uint8_t* data, std::size_t n) {
  in_.insert(in_.end(), data, data + n);
  std::vector<std::uint8_t> out;
  for (;;) {
    const std::size_t length = FrameLength();
    if (length == 0 || in_.size() < length) break;
    std::vector<std::uint8_t> frame(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(length));
    // An unknown code without the end marker after it gives up one byte only, so a real
    // command right behind it is not swallowed.
    const bool known = Known(frame[0]);
    if (frame.back() != kEop) {
      in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(known ? length : 1));
      out.push_back(kNoSync);
      continue;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(length));
    const std::uint8_t code = frame[0];
    const std::uint32_t occurrence = ++counts_[code];
    const Stk500Fault* fault = FindStk500Fault(options_.faults, code, occurrence);
    if (fault != nullptr && fault->kind == Stk500FaultKind::kSilence) continue;
    if (fault != nullptr && fault->kind == Stk500FaultKind::kDeviceFailure) {
      out.insert(out.end(), {kInSync, kFailed});
      continue;
    }
    std::vector<std::uint8_t> answer;
    Handle(frame, answer);
    if (fault != nullptr) {
      for (std::uint8_t& b : answer) b ^= 0xA5;  // no byte of an answer stays valid
    }
    out.insert(out.end(), answer.begin(), answer.end());
  }
  return out;
}

void SimStk500v1::Handle(const std::vector<std::uint8_t>& f, std::vector<std::uint8_t>& out) {
  auto ok = [&](std::initializer_list<std::uint8_t> data = {}) {
    out.push_back(kInSync);
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(kOk);
  };
  auto spi = [&](std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    return target_.Transfer(b1, b2, b3, b4)[3];
  };
  switch (f[0]) {
    case kGetSync:
      ok();
      return;
    case kGetSignOn:
      out.push_back(kInSync);
      out.insert(out.end(), kSignOn, kSignOn + std::strlen(kSignOn));
      out.push_back(kOk);
      return;
    case kGetParameter: {
      std::uint8_t value = 0;
      if (f[1] == kParmHwVer) {
        value = options_.hardwareVersion;
      } else if (f[1] == kParmSwMajor) {
        value = options_.softwareMajor;
      } else if (f[1] == kParmSwMinor) {
        value = options_.softwareMinor;
      } else if (auto it = parameters_.find(f[1]); it != parameters_.end()) {
        value = it->second;
      } else {
        out.insert(out.end(), {kInSync, f[1], kFailed});
        return;
      }
      ok({value});
      return;
    }
    case kSetParameter:
      if (auto it = parameters_.find(f[1]); it != parameters_.end()) {
        it->second = f[2];
        ok();
      } else {
        out.insert(out.end(), {kInSync, f[1], kFailed});
      }
      return;
    case kSetDevice:
      // devicecode, revision, progtype, parmode, polling, selftimed, lockbytes, fusebytes,
      // 4 poll values, page size, EEPROM size, flash size (all high byte first).
      devicePageBytes_ = static_cast<std::uint16_t>(f[13] << 8 | f[14]);
      parameters_[kParmDevice] = f[1];
      deviceSet_ = true;
      ok();
      return;
    case kSetDeviceExt:
      ok();
      return;
    case kEnterProgmode: {
      if (!deviceSet_) {
        out.insert(out.end(), {kInSync, kNoDevice});
        return;
      }
      target_.SetConnected(options_.connect == SimConnect::kIsp && options_.chipPresent);
      target_.SetLockoutFields(options_.ispLockout);
      target_.SetStuckBusy(options_.chipBusy);
      target_.ResetLow();
      if (target_.Transfer(0xAC, 0x53, 0x00, 0x00)[2] != 0x53) {
        target_.Release();
        progMode_ = false;
        out.insert(out.end(), {kInSync, kFailed});
        return;
      }
      progMode_ = true;
      ok();
      return;
    }
    case kLeaveProgmode:
      target_.Release();
      progMode_ = false;
      ok();
      return;
    case kChipErase:
      spi(0xAC, 0x80, 0x00, 0x00);
      ok();
      return;
    case kLoadAddress:
      address_ = static_cast<std::uint16_t>(f[1] | f[2] << 8);  // low byte first
      ok();
      return;
    case kUniversal:
      ok({spi(f[1], f[2], f[3], f[4])});
      return;
    case kUniversalMulti:
      for (std::size_t i = 2; i + 1 < f.size(); ++i) target_.Shift(f[i]);
      ok();
      return;
    case kProgPage:
    case kReadPage: {
      const std::size_t count = std::size_t{f[1]} << 8 | f[2];
      const std::uint8_t memtype = f[3];
      if (count > 256 || (memtype != 'F' && memtype != 'E')) {
        out.insert(out.end(), {kInSync, kFailed});
        return;
      }
      const bool write = f[0] == kProgPage;
      if (!write) out.push_back(kInSync);
      const std::uint32_t pageWords = PageWords();
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t data = write ? f[4 + i] : 0;
        if (memtype == 'F') {
          const std::uint32_t word = (address_ + i / 2) & 0xFFFFu;
          const std::uint8_t high = (i & 1) != 0 ? 0x08 : 0x00;
          if (!write) {
            out.push_back(spi(0x20 | high, Hi(word), Lo(word), 0));
            continue;
          }
          spi(0x40 | high, Hi(word), Lo(word), data);
          const bool pageEnds = pageWords != 0 && high != 0 && (word + 1) % pageWords == 0;
          if (pageEnds || i + 1 == count) spi(0x4C, Hi(word), Lo(word), 0);
        } else {
          const std::uint32_t base = options_.eepromWordAddress ? address_ * 2u : address_;
          const std::uint32_t byte = base + static_cast<std::uint32_t>(i);
          if (write)
            spi(0xC0, Hi(byte), Lo(byte), data);
          else
            out.push_back(spi(0xA0, Hi(byte), Lo(byte), 0));
        }
      }
      if (write) out.push_back(kInSync);
      out.push_back(kOk);
      return;
    }
    case kReadFlash:
      ok({spi(0x20, Hi(address_), Lo(address_), 0), spi(0x28, Hi(address_), Lo(address_), 0)});
      return;
    case kReadData: {
      const std::uint32_t byte = options_.eepromWordAddress ? address_ * 2u : address_;
      ok({spi(0xA0, Hi(byte), Lo(byte), 0)});
      return;
    }
    case kReadSign:
      ok({spi(0x30, 0, 0, 0), spi(0x30, 0, 1, 0), spi(0x30, 0, 2, 0)});
      return;
    case kReadFuse:
      ok({spi(0x50, 0x00, 0, 0), spi(0x58, 0x08, 0, 0)});
      return;
    case kReadFuseExt:
      ok({spi(0x50, 0x00, 0, 0), spi(0x58, 0x08, 0, 0), spi(0x50, 0x08, 0, 0)});
      return;
    case kReadLock:
      ok({spi(0x58, 0x00, 0, 0)});
      return;
    case kProgFuse:
    case kProgFuseExt:
      spi(0xAC, 0xA0, 0, f[1]);
      spi(0xAC, 0xA8, 0, f[2]);
      if (f[0] == kProgFuseExt) spi(0xAC, 0xA4, 0, f[3]);
      ok();
      return;
    case kProgLock:
      spi(0xAC, 0xE0, 0, f[1]);
      ok();
      return;
    default:
      out.insert(out.end(), {kInSync, kUnknown});
      return;
  }
}

}  // namespace bq
