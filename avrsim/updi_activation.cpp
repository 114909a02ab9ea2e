#include "avrsim/updi_activation.h"

#include <cstdio>

namespace bq::avrsim {

namespace {

std::string Us(Nanos ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f us", static_cast<double>(ns) / 1000.0);
  return text;
}

}  // namespace

void UpdiActivationRules::Violation(const std::string& text) {
  ++violations_;
  if (violation_) violation_(text);
}

void UpdiActivationRules::Supply(bool on, Nanos now) {
  if (on == powered_) return;
  powered_ = on;
  if (on) {
    poweredAt_ = now;
    return;
  }
  if (vpp_) Violation("the UPDI chip's supply went off while 12 V was on its UPDI pin");
  if (awaitingKey_) {
    Violation(
        "the 12 V pulse on the UPDI pin was not followed by the NVMPROG key before the "
        "supply went off");
    awaitingKey_ = false;
  }
}

bool UpdiActivationRules::VppOn(Nanos now, bool pinGpio) {
  if (vpp_) return false;
  vpp_ = true;
  vppAt_ = now;
  if (!powered_) {
    Violation("12 V on the UPDI pin while the chip's supply is off");
    return false;
  }
  const Nanos after = now - poweredAt_;
  if (after < kPorReleaseNs) {
    Violation("the 12 V pulse came " + Us(after) +
              " after the supply, before the power-on reset was released");
  }
  if (pinGpio && after > kGpioGuardNs) {
    Violation("the 12 V pulse came " + Us(after) +
              " after the reset, when the UPDI pin's GPIO driver may be on (8.8 ms)");
  }
  return true;
}

void UpdiActivationRules::VppOff(Nanos now) {
  if (!vpp_) return;
  vpp_ = false;
  if (!powered_) return;
  const Nanos width = now - vppAt_;
  if (width < kPulseMinNs || width > kPulseMaxNs) {
    Violation("the 12 V pulse on the UPDI pin lasted " + Us(width) + ", not 100 us to 1 ms");
  }
  awaitingKey_ = true;
  if (note_) note_("12 V pulse of " + Us(width) + " on the UPDI pin");
}

void UpdiActivationRules::LineUsed() {
  if (vpp_) Violation("the UPDI line was used while 12 V was on it");
}

void UpdiActivationRules::Finish() {
  if (!awaitingKey_) return;
  awaitingKey_ = false;
  Violation("the 12 V pulse on the UPDI pin was not followed by the NVMPROG key");
}

}  // namespace bq::avrsim
