#include "avrsim/target.h"

#include <array>

#include "avrsim/chip_memory.h"
#include "avrsim/hv_engine.h"
#include "avrsim/isp_engine.h"

namespace bq::avrsim {

const char* PinName(Pin pin) {
  static const char* const kNames[] = {
      "VCC",   "RESET", "SCK",   "MOSI",  "MISO",  "SDI",   "SII",   "SDO",   "SCI",
      "XTAL1", "OE",    "WR",    "BS1",   "BS2",   "XA0",   "XA1",   "PAGEL", "RDY/BSY",
      "DATA0", "DATA1", "DATA2", "DATA3", "DATA4", "DATA5", "DATA6", "DATA7"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<unsigned>(Pin::kCount));
  const auto index = static_cast<unsigned>(pin);
  return index < static_cast<unsigned>(Pin::kCount) ? kNames[index] : "?";
}

namespace {

// The ATmega8 speaks the older serial instruction set: no 0xF0 poll, no EEPROM pages.
bool HasIspPoll(const std::string& name) {
  return name != "ATmega8" && name != "ATmega8A" && name != "ATmega8L";
}

class ChipTarget final : public Target {
 public:
  ChipTarget(const TargetConfig& config, Reporter report)
      : report_(std::move(report)),
        memory_(config),
        isp_(memory_, report_, config.busy, HasIspPoll(config.partName)),
        hv_(memory_, report_, config.busy, config.part.hvMode, lines_) {}

  void Drive(Pin pin, Level level, Nanos now) override {
    hv_.CatchUp(now);
    const Level old = lines_.level[Index(pin)];
    if (old == level && !(pin == Pin::Vcc && !vccDriven_)) return;
    lines_.level[Index(pin)] = level;
    lines_.changedAt[Index(pin)] = now;
    if (pin == Pin::Vcc) {
      const bool wasPowered = powered_;
      const bool firstDrive = !vccDriven_;  // until now on the board's supply
      vccDriven_ = true;
      powered_ = level == Level::High;
      if (wasPowered && !powered_) {
        isp_.End();
        hv_.PowerOff(now);
        memory_.Latch();
      } else if ((firstDrive || !wasPowered) && powered_) {
        hv_.PowerOn(now);
        if (lines_.level[Index(Pin::Reset)] == Level::Low) isp_.Begin(now, High(Pin::Sck));
      }
      return;
    }
    if (pin == Pin::Reset) {
      if (level == Level::Vpp) {
        isp_.End();
        hv_.HighVoltageOn(now, powered_ || !vccDriven_);
      } else if (old == Level::Vpp) {
        hv_.HighVoltageOff(now);
      }
      if (level == Level::Low && old != Level::Low && powered_) isp_.Begin(now, High(Pin::Sck));
      if (level != Level::Low && old == Level::Low) isp_.End();
      return;
    }
    const bool wasHigh = old == Level::High;
    const bool isHigh = level == Level::High;
    switch (pin) {
      case Pin::Sck:
        if (wasHigh != isHigh) isp_.SckEdge(isHigh, High(Pin::Mosi), mosiValueAt_, now);
        return;
      case Pin::Mosi:
        if (wasHigh != isHigh) {
          mosiValueAt_ = now;
          isp_.MosiChanged(now);
        }
        return;
      default:
        hv_.PinChanged(pin, old, level, now);
        return;
    }
  }

  Level Read(Pin pin, Nanos now) override {
    hv_.CatchUp(now);
    if (pin == Pin::Miso) return isp_.Miso();
    return hv_.Read(pin, now);
  }

  Nanos NextChange(Nanos now) const override {
    Nanos next = hv_.NextChange(now);
    if (isp_.BusyUntil() > now && isp_.BusyUntil() < next) next = isp_.BusyUntil();
    return next;
  }

  std::uint8_t SpiByte(std::uint8_t mosi, std::uint32_t sckHz, Nanos now) override {
    hv_.CatchUp(now);
    return isp_.Byte(mosi, sckHz, now);
  }

  void ClockOnXtal1(std::uint32_t hz, Nanos now) override {
    hv_.CatchUp(now);
    memory_.SetXtal1Clock(hz);
    isp_.ClockChanged();
  }

  const ChipState& State() const override { return memory_.state(); }
  unsigned Violations() const override { return report_.violations; }

 private:
  static unsigned Index(Pin pin) { return static_cast<unsigned>(pin); }
  bool High(Pin pin) const { return lines_.level[Index(pin)] == Level::High; }

  Reporter report_;
  Lines lines_;
  ChipMemory memory_;
  IspEngine isp_;
  HvEngine hv_;
  // A chip whose supply line is never driven sits on the board's own supply (the ISP header).
  bool vccDriven_ = false;
  bool powered_ = true;
  Nanos mosiValueAt_ = kNever;
};

}  // namespace

std::unique_ptr<Target> MakeTarget(const TargetConfig& config,
                                   std::function<void(const std::string&)> violation,
                                   std::function<void(const std::string&)> note) {
  Reporter report;
  report.violation = std::move(violation);
  report.note = std::move(note);
  return std::make_unique<ChipTarget>(config, std::move(report));
}

}  // namespace bq::avrsim
