#include "drivers/serialupdi/updi_burst.h"

#include <algorithm>

#include "drivers/serialupdi/updi_link.h"

namespace bq::updi {

namespace {

constexpr std::size_t kRepeatMax = 256;  // what one REPEAT count carries
constexpr std::size_t kInstruction = 2;  // SYNCH, ST *(ptr++), then the data
constexpr std::size_t kIdleWrite = 3;    // SYNCH, STCS CTRLA, its value

// Wire time of `bytes` characters at rate, 12 bits each, in nanoseconds.
std::uint64_t WireNs(std::size_t bytes, std::uint32_t rate) {
  return std::uint64_t{bytes} * 12u * 1'000'000'000u / std::max<std::uint32_t>(rate, 1);
}

}  // namespace

Burst::Burst(std::uint32_t rate, std::uint8_t ctrlA) : rate_(rate), ctrlA_(ctrlA) {
  out_ = {kSynch, static_cast<std::uint8_t>(kStcs | kCtrlA),
          static_cast<std::uint8_t>(ctrlA_ | kCtrlARsd)};
}

void Burst::Address(std::uint32_t address) {
  out_.push_back(static_cast<std::uint8_t>(address & 0xFF));
  out_.push_back(static_cast<std::uint8_t>((address >> 8) & 0xFF));
  if (AddressSize(address) == 2) out_.push_back(static_cast<std::uint8_t>((address >> 16) & 0xFF));
}

void Burst::Sts(std::uint32_t address, std::uint8_t value) {
  out_.push_back(kSynch);
  out_.push_back(static_cast<std::uint8_t>(kSts | (AddressSize(address) << 2) | kData1));
  Address(address);
  out_.push_back(value);
}

std::size_t Burst::Stride(std::uint32_t rate, std::size_t unit, std::uint32_t writeNs) {
  const std::uint64_t needed = writeNs + writeNs / 10u;
  if (WireNs(unit, rate) >= needed) return unit;
  std::size_t bytes = kInstruction + unit;
  while (WireNs(bytes, rate) < needed) bytes += kIdleWrite;
  return bytes;
}

void Burst::Store(std::uint32_t address, const std::uint8_t* data, std::size_t n, std::size_t unit,
                  std::uint32_t writeNs) {
  out_.push_back(kSynch);
  out_.push_back(static_cast<std::uint8_t>(kSt | kPtrSet | AddressSize(address)));
  Address(address);
  const std::size_t stores = n / unit;
  const std::size_t stride = Stride(rate_, unit, writeNs);
  const auto store = static_cast<std::uint8_t>(kSt | kPtrInc | (unit == 2 ? kData2 : kData1));
  if (stride == unit) {
    for (std::size_t at = 0; at < stores; at += kRepeatMax) {
      const std::size_t count = std::min(kRepeatMax, stores - at);
      if (count > 1) {
        out_.insert(out_.end(), {kSynch, static_cast<std::uint8_t>(kRepeat | kData1),
                                 static_cast<std::uint8_t>(count - 1)});
      }
      out_.insert(out_.end(), {kSynch, store});
      out_.insert(out_.end(), data + unit * at, data + unit * (at + count));
    }
    return;
  }
  // A control write of the value CTRLA already holds changes nothing and touches no bus.
  const std::size_t idleWrites = (stride - kInstruction - unit) / kIdleWrite;
  for (std::size_t i = 0; i < stores; ++i) {
    out_.insert(out_.end(), {kSynch, store});
    out_.insert(out_.end(), data + unit * i, data + unit * (i + 1));
    for (std::size_t k = 0; k < idleWrites; ++k) {
      out_.insert(out_.end(), {kSynch, static_cast<std::uint8_t>(kStcs | kCtrlA),
                               static_cast<std::uint8_t>(ctrlA_ | kCtrlARsd)});
    }
  }
}

const std::vector<std::uint8_t>& Burst::EndWithLds(std::uint32_t address) {
  out_.insert(out_.end(), {kSynch, static_cast<std::uint8_t>(kStcs | kCtrlA), ctrlA_});
  out_.push_back(kSynch);
  out_.push_back(static_cast<std::uint8_t>(kLds | (AddressSize(address) << 2) | kData1));
  Address(address);
  return out_;
}

}  // namespace bq::updi
