#include "app/avrsim/clock_pin.h"

extern "C" {
#include <simavr/avr_ioport.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_cycle_timers.h>
#include <simavr/sim_io.h>
#include <simavr/sim_irq.h>
}

namespace bq::avrsim {
namespace {

// 64 us at 16 MHz: 128 edges of a 1 MHz clock, so the figure is exact, and the chip hears of
// a stop within two windows, long before a host's next command reaches the board.
constexpr avr_cycle_count_t kWindowCycles = 1024;
// Fewer edges in a window (a clock under about 30 kHz) make no clock for the chip.
constexpr std::uint32_t kLeastEdges = 4;

}  // namespace

void ClockPin::Attach(avr_t* avr, char port, std::uint8_t bit, std::uint32_t cpuHz,
                      OnChange onChange) {
  avr_ = avr;
  mask_ = static_cast<std::uint8_t>(1u << bit);
  cpuHz_ = cpuHz;
  onChange_ = std::move(onChange);
  for (avr_io_t* io = avr->io_port; io != nullptr; io = io->next) {
    if (io->irq_ioctl_get != static_cast<std::uint32_t>(AVR_IOCTL_IOPORT_GETIRQ(port))) continue;
    ddrAddress_ = reinterpret_cast<avr_ioport_t*>(io)->r_ddr;
  }
  avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ(port), bit), &ClockPin::OnEdge,
                          this);
}

bool ClockPin::PinIsOutput() const {
  return ddrAddress_ != 0 && (avr_->data[ddrAddress_] & mask_) != 0;
}

void ClockPin::OnEdge(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<ClockPin*>(param);
  const bool high = (value & 0xFFu) != 0;  // the timer adds simavr's "output" flag above
  if (high == self->level_) return;
  self->level_ = high;
  const std::uint64_t now = self->avr_->cycle;
  if (self->edges_++ == 0) self->firstEdge_ = now;
  self->lastEdge_ = now;
  if (!self->counting_) {
    self->counting_ = true;
    avr_cycle_timer_register(self->avr_, kWindowCycles, &ClockPin::OnWindow, self);
  }
}

avr_cycle_count_t ClockPin::OnWindow(avr_t*, avr_cycle_count_t when, void* param) {
  auto* self = static_cast<ClockPin*>(param);
  const std::uint32_t edges = self->edges_;
  const std::uint64_t span = self->lastEdge_ - self->firstEdge_;
  self->edges_ = 0;
  if (edges < kLeastEdges || span == 0 || !self->PinIsOutput()) {
    self->counting_ = false;
    self->Set(0);
    return 0;
  }
  // Two edges a period: (edges - 1) half periods over the span.
  self->Set(static_cast<std::uint32_t>(std::uint64_t{edges - 1} * self->cpuHz_ / (2 * span)));
  return when + kWindowCycles;
}

void ClockPin::Set(std::uint32_t hz) {
  const std::uint32_t off = hz > hz_ ? hz - hz_ : hz_ - hz;
  if ((hz == 0) == (hz_ == 0) && std::uint64_t{off} * 100 <= hz_) return;
  hz_ = hz;
  if (onChange_) onChange_(hz);
}

void ClockPin::Reset() {
  if (avr_ == nullptr) return;
  counting_ = false;
  edges_ = 0;
  level_ = false;
  Set(0);
}

}  // namespace bq::avrsim
