#pragma once
// The board's clock for a target's XTAL1 (the ISP cable's clock lead), measured from the
// edges of its pin as the firmware's timer toggles it.
//
// Edges, not the timer's registers: simavr's timer raises the pin's IRQ at each compare
// match anyway (every 8 cycles at 1 MHz), so counting them costs a few instructions an edge,
// and what the chip gets is what the pin does, whichever timer or code moves it.

#include <cstdint>
#include <functional>

struct avr_t;
struct avr_irq_t;

namespace bq::avrsim {

class ClockPin {
 public:
  // Hears the clock's frequency when it starts or changes by more than 1 %, and 0 when it
  // stops (no edges for a window, or the pin is no output).
  using OnChange = std::function<void(std::uint32_t hz)>;

  ClockPin() = default;
  ClockPin(const ClockPin&) = delete;
  ClockPin& operator=(const ClockPin&) = delete;

  // Watches pin `bit` of `port` ('A'..'L') of a board whose CPU runs at `cpuHz`.
  void Attach(avr_t* avr, char port, std::uint8_t bit, std::uint32_t cpuHz, OnChange onChange);
  // The board was reset: its timer stopped, its pin is an input, and simavr dropped the
  // window's cycle timer.
  void Reset();
  std::uint32_t Hz() const { return hz_; }

 private:
  static void OnEdge(avr_irq_t* irq, std::uint32_t value, void* param);
  static std::uint64_t OnWindow(avr_t* avr, std::uint64_t when, void* param);
  bool PinIsOutput() const;
  void Set(std::uint32_t hz);

  avr_t* avr_ = nullptr;
  std::uint16_t ddrAddress_ = 0;  // the port's DDR in data space
  std::uint8_t mask_ = 0;
  std::uint32_t cpuHz_ = 0;
  OnChange onChange_;
  bool level_ = false;
  bool counting_ = false;  // a window is open (its cycle timer runs)
  std::uint32_t edges_ = 0;
  std::uint64_t firstEdge_ = 0;  // cycles of the window's first and last edge
  std::uint64_t lastEdge_ = 0;
  std::uint32_t hz_ = 0;
};

}  // namespace bq::avrsim
