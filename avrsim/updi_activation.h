#pragma once
// The 12 V activation of a tinyAVR 0/1/2 UPDI pin fused to GPIO or RESET, as the datasheets
// give it (docs/updi-facts.md, section 7), checked step by step for the simulated bench: the
// chip powered and its power-on reset released before the pulse, the pulse 100 us to 1 ms
// wide, on a pin fused to GPIO within 8.8 ms of the power-on (while its driver is held off),
// nothing else on the line while the 12 V is on, and the NVMPROG key (programming) after it.
// Each break is one violation.

#include <functional>
#include <string>

#include "avrsim/target.h"

namespace bq::avrsim {

class UpdiActivationRules {
 public:
  using Report = std::function<void(const std::string&)>;

  static constexpr Nanos kPulseMinNs = 100'000, kPulseMaxNs = 1'000'000;
  static constexpr Nanos kGpioGuardNs = 8'800'000;
  // An ideal supply switch: the power-on reset is taken as released this long after it closes
  // (a real supply's rise decides it).
  static constexpr Nanos kPorReleaseNs = 100'000;

  UpdiActivationRules(Report violation, Report note)
      : violation_(std::move(violation)), note_(std::move(note)) {}

  void Supply(bool on, Nanos now);
  // The 12 V switch closes; pinGpio: the pin's fuse says GPIO now. True when the chip sees
  // the rising edge (it is powered): its UPDI is reset and the override begins.
  bool VppOn(Nanos now, bool pinGpio);
  void VppOff(Nanos now);
  // The host moved the line (a byte, an edge).
  void LineUsed();
  // The chip took the NVMPROG key: it is in programming.
  void Programming() { awaitingKey_ = false; }
  // The end of the run.
  void Finish();

  bool Powered() const { return powered_; }
  unsigned Violations() const { return violations_; }

 private:
  void Violation(const std::string& text);

  Report violation_, note_;
  unsigned violations_ = 0;
  bool powered_ = false, vpp_ = false, awaitingKey_ = false;
  Nanos poweredAt_ = 0, vppAt_ = 0;
};

}  // namespace bq::avrsim
