#include "app/avrsim/updi_header.h"

#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_cycle_timers.h>
#include <simavr/sim_irq.h>

#include <cstdio>

namespace bq::avrsim {

namespace {

constexpr std::uint64_t kCpuHz = 16000000;
// The ATmega2560's USART1 and port K in data space.
constexpr unsigned kUcsr1a = 0xC8, kUcsr1c = 0xCA, kUbrr1l = 0xCC, kUbrr1h = 0xCD;
constexpr unsigned kDdrK = 0x107, kPortK = 0x108;
constexpr std::uint8_t kVppBit = 0x01;  // PK0, A8
constexpr std::uint8_t kVccBit = 0x02;  // PK1, A9

// The datasheets' pulse: 100 us to 1 ms; the GPIO driver stays off for 8.8 ms after a reset.
constexpr Nanos kPulseMinNs = 100'000, kPulseMaxNs = 1'000'000;
constexpr Nanos kGpioGuardNs = 8'800'000;
// The bench's supply is an ideal switch: this model takes the power-on reset as released
// 100 us after it closes (a real supply's rise decides it).
constexpr Nanos kPorReleaseNs = 100'000;

UpdiChip::Clock::time_point At(Nanos t) {
  return UpdiChip::Clock::time_point(std::chrono::nanoseconds(t));
}

Nanos NanosOf(UpdiChip::Clock::time_point t) {
  return static_cast<Nanos>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

std::string Us(Nanos ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f us", static_cast<double>(ns) / 1000.0);
  return text;
}

}  // namespace

UpdiHeader::UpdiHeader(const PartRecord& part, const std::string& partName, bool twelveVolts,
                       Report violation, Report note)
    : chip_(part, partName),
      twelveVolts_(twelveVolts),
      violation_(std::move(violation)),
      note_(std::move(note)) {}

void UpdiHeader::Attach(avr_t* avr) {
  avr_ = avr;
  std::uint32_t flags = 0;
  avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('1'), &flags);
  flags &= ~std::uint32_t{AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO};
  avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('1'), &flags);
  rxIn_ = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('1'), UART_IRQ_INPUT);
  avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('1'), UART_IRQ_OUTPUT),
                          &UpdiHeader::OnTx, this);
  avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('K'), IOPORT_IRQ_REG_PORT),
                          &UpdiHeader::OnPortK, this);
  avr_irq_register_notify(
      avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('K'), IOPORT_IRQ_DIRECTION_ALL),
      &UpdiHeader::OnDirectionK, this);
}

Nanos UpdiHeader::Now() {
  // simavr counts cycles from 0 again after a reset of the board.
  if (avr_->cycle < lastCycle_) cycleBase_ += lastCycle_;
  lastCycle_ = avr_->cycle;
  return (cycleBase_ + avr_->cycle) * 1'000'000'000ULL / kCpuHz;
}

void UpdiHeader::Violation(const std::string& text) {
  ++violations_;
  if (violation_) violation_(text);
}

bool UpdiHeader::PinFusedGpio() const {
  const UpdiLayout& layout = chip_.Layout();
  if (!layout.pinShared) return false;
  for (const NamedFuseByte& fuse : layout.fuses) {
    if (fuse.name != layout.pinFuse) continue;
    for (const BitFieldDesc& field : fuse.fields) {
      if (field.name != layout.pinField || field.mask == 0) continue;
      unsigned shift = 0;
      while (((field.mask >> shift) & 1u) == 0) ++shift;
      auto& self = const_cast<UpdiHeader&>(*this);
      const std::uint8_t value = self.chip_.Fuses()[fuse.offset];
      return ((value & field.mask) >> shift) == 0;  // RSTPINCFG 0x0: GPIO
    }
  }
  return false;
}

void UpdiHeader::OnPortK(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  self->Switches(static_cast<std::uint8_t>(value), self->avr_->data[kDdrK]);
}

void UpdiHeader::OnDirectionK(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  self->Switches(self->avr_->data[kPortK], static_cast<std::uint8_t>(value));
}

void UpdiHeader::Switches(std::uint8_t port, std::uint8_t ddr) {
  const std::uint8_t on = port & ddr;
  const Nanos now = Now();
  Supply((on & kVccBit) != 0, now);
  HighVoltage((on & kVppBit) != 0, now);
}

void UpdiHeader::Supply(bool on, Nanos now) {
  if (on == powered_) return;
  powered_ = on;
  if (on) {
    poweredAt_ = now;
    chip_.PowerCycle();  // off and on: fuses loaded again, a 12 V override ended
    return;
  }
  if (vpp_) Violation("the UPDI chip's supply went off while 12 V was on its UPDI pin");
  if (awaitingKey_) {
    Violation(
        "the 12 V pulse on the UPDI pin was not followed by the NVMPROG key before the "
        "supply went off");
    awaitingKey_ = false;
  }
  chip_.DiscardPending();
}

void UpdiHeader::HighVoltage(bool on, Nanos now) {
  if (on == vpp_) return;
  vpp_ = on;
  if (!twelveVolts_) return;  // no 12 V supply: the switch changes nothing
  if (on) {
    vppAt_ = now;
    if (!powered_) {
      Violation("12 V on the UPDI pin while the chip's supply is off");
      return;
    }
    if (now - poweredAt_ < kPorReleaseNs) {
      Violation("the 12 V pulse came " + Us(now - poweredAt_) +
                " after the supply, before the power-on reset was released");
    }
    if (PinFusedGpio() && now - poweredAt_ > kGpioGuardNs) {
      Violation("the 12 V pulse came " + Us(now - poweredAt_) +
                " after the reset, when the UPDI pin's GPIO driver may be on (8.8 ms)");
    }
    chip_.HighVoltagePulse();  // its rising edge resets the UPDI
    return;
  }
  const Nanos width = now - vppAt_;
  if (!powered_) return;
  if (width < kPulseMinNs || width > kPulseMaxNs) {
    Violation("the 12 V pulse on the UPDI pin lasted " + Us(width) + ", not 100 us to 1 ms");
  }
  awaitingKey_ = true;
  if (note_) note_("12 V pulse of " + Us(width) + " on the UPDI pin");
}

void UpdiHeader::OnTx(avr_irq_t*, std::uint32_t value, void* param) {
  static_cast<UpdiHeader*>(param)->Byte(static_cast<std::uint8_t>(value));
}

void UpdiHeader::Byte(std::uint8_t value) {
  const std::uint8_t* d = avr_->data;
  const bool twice = (d[kUcsr1a] & 0x02) != 0;
  const std::uint32_t ubrr = (static_cast<std::uint32_t>(d[kUbrr1h] & 0x0F) << 8) | d[kUbrr1l];
  const std::uint32_t baud =
      static_cast<std::uint32_t>(kCpuHz / ((twice ? 8u : 16u) * (ubrr + 1u)));
  const std::uint8_t c = d[kUcsr1c];
  const bool even = (c & 0x30) == 0x20;
  const bool twoStops = (c & 0x08) != 0;
  const unsigned bits = 1 + 8 + ((c & 0x20) ? 1 : 0) + (twoStops ? 2 : 1);
  const Nanos now = Now();
  const Nanos start = std::max(now, txFree_);
  const Nanos end = start + std::uint64_t{bits} * 1'000'000'000ULL / baud;
  txFree_ = end;
  if (vpp_ && twelveVolts_) Violation("a byte was sent on the UPDI line while 12 V was on it");
  if (!powered_) {
    echoes_.push_back({value, end});  // TX1 and RX1 are joined: the echo comes all the same
  } else {
    chip_.SetHostLine(baud, even && twoStops);
    chip_.Receive(value, At(end));
    if (awaitingKey_ && chip_.InProgramming()) awaitingKey_ = false;
  }
  Schedule();
}

void UpdiHeader::Deliver() {
  const Nanos now = Now();
  std::vector<std::uint8_t> out;
  chip_.TakeDue(At(now), out);
  std::size_t kept = 0;
  for (const auto& [byte, due] : echoes_) {
    if (due <= now) {
      out.push_back(byte);
    } else {
      echoes_[kept++] = {byte, due};
    }
  }
  echoes_.resize(kept);
  // RXEN off (the line closed, the 12 V pulse): simavr drops what arrives.
  for (const std::uint8_t b : out) avr_raise_irq(rxIn_, b);
  if (awaitingKey_ && chip_.InProgramming()) awaitingKey_ = false;
}

std::uint64_t UpdiHeader::OnDue(avr_t*, std::uint64_t, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  self->timerSet_ = false;
  self->Deliver();
  self->Schedule();
  return 0;
}

void UpdiHeader::Schedule() {
  std::optional<Nanos> next;
  if (const auto due = chip_.NextBatch()) next = NanosOf(*due);
  for (const auto& [byte, due] : echoes_) {
    if (!next || due < *next) next = due;
  }
  if (!next) return;
  const Nanos now = Now();
  if (timerSet_ && timerAt_ <= *next) return;
  if (timerSet_) avr_cycle_timer_cancel(avr_, &UpdiHeader::OnDue, this);
  const Nanos wait = *next > now ? *next - now : 0;
  std::uint64_t cycles = wait * kCpuHz / 1'000'000'000ULL;
  if (cycles == 0) cycles = 1;
  timerSet_ = true;
  timerAt_ = *next;
  avr_cycle_timer_register(avr_, cycles, &UpdiHeader::OnDue, this);
}

void UpdiHeader::Finish() {
  if (awaitingKey_) {
    Violation("the 12 V pulse on the UPDI pin was not followed by the NVMPROG key");
    awaitingKey_ = false;
  }
}

}  // namespace bq::avrsim
