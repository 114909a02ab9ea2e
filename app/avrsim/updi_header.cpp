#include "app/avrsim/updi_header.h"

#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_cycle_timers.h>
#include <simavr/sim_irq.h>

#include <algorithm>
#include <cstdio>

namespace bq::avrsim {

namespace {

constexpr std::uint64_t kCpuHz = 16000000;
// The ATmega2560's USART1 and port K in data space.
constexpr unsigned kUcsr1a = 0xC8, kUcsr1c = 0xCA, kUbrr1l = 0xCC, kUbrr1h = 0xCD;
constexpr unsigned kDdrK = 0x107, kPortK = 0x108;
constexpr std::uint8_t kVppBit = 0x01;  // PK0, A8
constexpr std::uint8_t kVccBit = 0x02;  // PK1, A9
// The ATmega328P's port B (the line on PB0, D8) and port C (PC2 A2 the 12 V, PC3 A3 the supply).
constexpr unsigned kDdrB = 0x24, kPortB = 0x25, kDdrC = 0x27, kPortC = 0x28;
constexpr std::uint8_t kLineBit = 0x01;
constexpr std::uint8_t kUnoVppBit = 0x04, kUnoVccBit = 0x08;

UpdiChip::Clock::time_point At(Nanos t) {
  return UpdiChip::Clock::time_point(std::chrono::nanoseconds(t));
}

Nanos NanosOf(UpdiChip::Clock::time_point t) {
  return static_cast<Nanos>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

}  // namespace

UpdiHeader::UpdiHeader(Board board, const PartRecord& part, const std::string& partName,
                       bool twelveVolts, Report violation, Report note)
    : board_(board),
      chip_(part, partName),
      twelveVolts_(twelveVolts),
      rules_(std::move(violation), std::move(note)) {}

void UpdiHeader::Attach(avr_t* avr) {
  avr_ = avr;
  if (board_ == Board::Uno) {
    pin_ = avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 0);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), IOPORT_IRQ_REG_PORT),
                            &UpdiHeader::OnPortB, this);
    avr_irq_register_notify(
        avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), IOPORT_IRQ_DIRECTION_ALL),
        &UpdiHeader::OnDirectionB, this);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('C'), IOPORT_IRQ_REG_PORT),
                            &UpdiHeader::OnPortC, this);
    avr_irq_register_notify(
        avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('C'), IOPORT_IRQ_DIRECTION_ALL),
        &UpdiHeader::OnDirectionC, this);
    SetPin(1);
    return;
  }
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
  const bool uno = board_ == Board::Uno;
  Supply((on & (uno ? kUnoVccBit : kVccBit)) != 0, now);
  HighVoltage((on & (uno ? kUnoVppBit : kVppBit)) != 0, now);
}

// ---- The Uno/Nano's pin-level line ----

void UpdiHeader::OnPortB(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  if (!self->raising_) self->LineChange(static_cast<std::uint8_t>(value), self->avr_->data[kDdrB]);
}

void UpdiHeader::OnDirectionB(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  if (!self->raising_) self->LineChange(self->avr_->data[kPortB], static_cast<std::uint8_t>(value));
}

void UpdiHeader::OnPortC(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  self->Switches(static_cast<std::uint8_t>(value), self->avr_->data[kDdrC]);
}

void UpdiHeader::OnDirectionC(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  self->Switches(self->avr_->data[kPortC], static_cast<std::uint8_t>(value));
}

void UpdiHeader::LineChange(std::uint8_t port, std::uint8_t ddr) {
  // Driven: the pin's level; released: the pull-ups hold the line high.
  const int level = (ddr & kLineBit) != 0 ? ((port & kLineBit) != 0 ? 1 : 0) : 1;
  if (level == driven_) return;
  driven_ = level;
  const Nanos now = Now();
  if (twelveVolts_) rules_.LineUsed();
  if (!inFrame_) {
    if (level != 0) return;
    inFrame_ = true;
    frameStart_ = now;
    edges_.assign(1, {now, 0});
    return;
  }
  edges_.push_back({now, level});
  if (level == 0 || edges_.size() != 2) return;
  // The first rising edge: a BREAK, or the end of the start bit (or of the low bits after it).
  const Nanos low = now - frameStart_;
  if ((bitNs_ != 0 && low >= 12 * bitNs_) || low >= 20'000'000) {
    inFrame_ = false;
    afterBreak_ = true;
    if (powered_) chip_.Break(At(now));
    return;
  }
  // After a BREAK the host's SYNCH (0x55) comes first: its start bit is one bit long.
  frameBit_ = afterBreak_ || bitNs_ == 0 ? low : bitNs_;
  const Nanos at = frameStart_ + frameBit_ * 21 / 2;  // the middle of the first stop bit
  const std::uint64_t cycles =
      std::max<std::uint64_t>(1, (at > now ? at - now : 0) * kCpuHz / 1'000'000'000ULL);
  avr_cycle_timer_register(avr_, cycles, &UpdiHeader::OnFrame, this);
}

int UpdiHeader::LevelAt(Nanos t) const {
  int level = 1;
  for (const auto& [when, l] : edges_) {
    if (when > t) break;
    level = l;
  }
  return level;
}

std::uint64_t UpdiHeader::OnFrame(avr_t*, std::uint64_t, void* param) {
  static_cast<UpdiHeader*>(param)->Frame();
  return 0;
}

void UpdiHeader::Frame() {
  if (!inFrame_) return;
  inFrame_ = false;
  const Nanos b = frameBit_;
  std::uint8_t byte = 0;
  int ones = 0;
  for (int i = 0; i < 8; ++i) {
    if (LevelAt(frameStart_ + b * static_cast<Nanos>(2 * i + 3) / 2) != 0) {
      byte = static_cast<std::uint8_t>(byte | (1u << i));
      ++ones;
    }
  }
  const int parity = LevelAt(frameStart_ + b * 19 / 2);
  const bool parityOk = ((ones + parity) & 1) == 0;
  if (afterBreak_ && byte == 0x55) {
    // The SYNCH's last edge is the one into its stop bit, 10 bits after its start.
    bitNs_ = (edges_.back().first - frameStart_) / 10;
    afterBreak_ = false;
  }
  const Nanos end = frameStart_ + 12 * b;
  if (!powered_) return;
  chip_.SetHostLine(static_cast<std::uint32_t>(1'000'000'000ULL / b), parityOk);
  chip_.Receive(byte, At(end));
  if (chip_.InProgramming()) rules_.Programming();
  Answers(end, b);
}

// The chip's bytes after this host byte: its echo is the firmware's own drive and is dropped;
// the answers go onto the pin bit by bit, each ending when the chip says it is due.
void UpdiHeader::Answers(Nanos hostEnd, Nanos bit) {
  while (const auto due = chip_.NextDue()) {
    std::vector<std::uint8_t> bytes;
    chip_.TakeDue(*due, bytes);
    const Nanos end = NanosOf(*due);
    for (const std::uint8_t byte : bytes) {
      if (end == hostEnd) continue;  // the echo
      const Nanos start = end - 12 * bit;
      int ones = 0;
      for (int i = 0; i < 8; ++i) ones += (byte >> i) & 1;
      pinPlan_.push_back({start, 0});
      for (int i = 0; i < 8; ++i) pinPlan_.push_back({start + bit * (i + 1), (byte >> i) & 1});
      pinPlan_.push_back({start + bit * 9, ones & 1});
      pinPlan_.push_back({start + bit * 10, 1});
    }
  }
  std::sort(pinPlan_.begin(), pinPlan_.end());
  SchedulePin();
}

void UpdiHeader::SetPin(int level) {
  if (level == pinLevel_) return;
  pinLevel_ = level;
  avr_ioport_external_t external{};
  external.name = 'B';
  external.mask = kLineBit;
  external.value = level ? kLineBit : 0;
  raising_ = true;
  avr_ioctl(avr_, AVR_IOCTL_IOPORT_SET_EXTERNAL('B'), &external);
  avr_raise_irq(pin_, static_cast<std::uint32_t>(level));
  raising_ = false;
}

std::uint64_t UpdiHeader::OnPinTimer(avr_t*, std::uint64_t, void* param) {
  auto* self = static_cast<UpdiHeader*>(param);
  const Nanos now = self->Now();
  std::size_t done = 0;
  for (const auto& [when, level] : self->pinPlan_) {
    if (when > now) break;
    self->SetPin(level);
    ++done;
  }
  self->pinPlan_.erase(self->pinPlan_.begin(),
                       self->pinPlan_.begin() + static_cast<std::ptrdiff_t>(done));
  if (self->pinPlan_.empty()) return 0;
  const Nanos wait = self->pinPlan_.front().first - now;
  return self->avr_->cycle + std::max<std::uint64_t>(1, wait * kCpuHz / 1'000'000'000ULL);
}

void UpdiHeader::SchedulePin() {
  avr_cycle_timer_cancel(avr_, &UpdiHeader::OnPinTimer, this);
  if (pinPlan_.empty()) return;
  const Nanos now = Now();
  const Nanos at = pinPlan_.front().first;
  avr_cycle_timer_register(
      avr_, std::max<std::uint64_t>(1, (at > now ? at - now : 0) * kCpuHz / 1'000'000'000ULL),
      &UpdiHeader::OnPinTimer, this);
}

void UpdiHeader::Supply(bool on, Nanos now) {
  if (on == powered_) return;
  powered_ = on;
  rules_.Supply(on, now);
  if (on) {
    chip_.PowerCycle();  // off and on: fuses loaded again, a 12 V override ended
  } else {
    chip_.DiscardPending();
  }
}

void UpdiHeader::HighVoltage(bool on, Nanos now) {
  if (on == vpp_) return;
  vpp_ = on;
  if (!twelveVolts_) return;  // no 12 V supply: the switch changes nothing
  if (!on) {
    rules_.VppOff(now);
    return;
  }
  // Its rising edge resets the UPDI.
  if (rules_.VppOn(now, PinFusedGpio())) chip_.HighVoltagePulse();
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
  if (twelveVolts_) rules_.LineUsed();
  if (!powered_) {
    echoes_.push_back({value, end});  // TX1 and RX1 are joined: the echo comes all the same
  } else {
    chip_.SetHostLine(baud, even && twoStops);
    chip_.Receive(value, At(end));
    if (chip_.InProgramming()) rules_.Programming();
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
  if (chip_.InProgramming()) rules_.Programming();
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
  rules_.Finish();
}

}  // namespace bq::avrsim
