#pragma once
// The UPDI header on the bench: a UPDI chip (sim/updi) on the firmware's UPDI line. Mega: USART1,
// whose TX1 and RX1 are joined onto the chip's UPDI pin, so every byte comes back as its echo
// and the chip's answers land in RX1; A9 (PK1) switches the chip's supply, A8 (PK0) 12 V onto
// its UPDI pin. Uno/Nano: one pin, D8 (PB0), moved by the firmware bit by bit; the bench
// decodes its characters from the pin's edges (the rate measured from each SYNCH after a
// BREAK) and drives the chip's answers onto the pin bit by bit; A3 (PC3) the supply, A2 (PC2)
// the 12 V. The 12 V activation is checked by UpdiActivationRules (avrsim/updi_activation.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/avrsim/board_wiring.h"
#include "avrsim/target.h"
#include "avrsim/updi_activation.h"
#include "parts/part_record.h"
#include "sim/updi/updi_chip.h"

struct avr_t;
struct avr_irq_t;

namespace bq::avrsim {

class UpdiHeader {
 public:
  using Report = std::function<void(const std::string&)>;

  UpdiHeader(Board board, const PartRecord& part, const std::string& partName, bool twelveVolts,
             Report violation, Report note);
  UpdiHeader(const UpdiHeader&) = delete;
  UpdiHeader& operator=(const UpdiHeader&) = delete;

  // Wires the chip to the board's UPDI line and switch pins.
  void Attach(avr_t* avr);

  UpdiChip& Chip() { return chip_; }
  unsigned Violations() const { return rules_.Violations(); }
  // The end of the run: a pulse whose key never came is reported now.
  void Finish();

 private:
  static void OnTx(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnPortK(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnDirectionK(avr_irq_t* irq, std::uint32_t value, void* param);
  static std::uint64_t OnDue(avr_t* avr, std::uint64_t when, void* param);
  // The Uno/Nano's pin-level line.
  static void OnPortB(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnDirectionB(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnPortC(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnDirectionC(avr_irq_t* irq, std::uint32_t value, void* param);
  static std::uint64_t OnFrame(avr_t* avr, std::uint64_t when, void* param);
  static std::uint64_t OnPinTimer(avr_t* avr, std::uint64_t when, void* param);
  void LineChange(std::uint8_t port, std::uint8_t ddr);
  void Frame();
  int LevelAt(Nanos t) const;
  void Answers(Nanos hostEnd, Nanos bit);
  void SetPin(int level);
  void SchedulePin();

  Nanos Now();
  void Switches(std::uint8_t port, std::uint8_t ddr);
  void Supply(bool on, Nanos now);
  void HighVoltage(bool on, Nanos now);
  void Byte(std::uint8_t value);
  void Deliver();
  void Schedule();
  bool PinFusedGpio() const;

  Board board_;
  UpdiChip chip_;
  bool twelveVolts_;
  UpdiActivationRules rules_;
  avr_t* avr_ = nullptr;
  avr_irq_t* rxIn_ = nullptr;
  std::uint64_t lastCycle_ = 0, cycleBase_ = 0;
  bool powered_ = false, vpp_ = false;
  Nanos txFree_ = 0;
  std::vector<std::pair<std::uint8_t, Nanos>> echoes_;  // while the chip is unpowered
  bool timerSet_ = false;
  Nanos timerAt_ = 0;
  // Uno/Nano line.
  avr_irq_t* pin_ = nullptr;
  int driven_ = 1;  // what the firmware's pin makes of the line (released: high)
  bool inFrame_ = false, afterBreak_ = true;
  Nanos frameStart_ = 0, frameBit_ = 0, bitNs_ = 0;
  std::vector<std::pair<Nanos, int>> edges_;    // of the current frame, from its start
  std::vector<std::pair<Nanos, int>> pinPlan_;  // the chip's levels to come on the pin
  int pinLevel_ = -1;
  bool raising_ = false;
};

}  // namespace bq::avrsim
