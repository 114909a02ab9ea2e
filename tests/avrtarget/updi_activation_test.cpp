// The bench's check of the tinyAVR 12 V activation: what breaks the datasheets' rules is a
// violation, what keeps them is none.

#include "avrsim/updi_activation.h"

#include <gtest/gtest.h>

#include <vector>

namespace bq::avrsim {
namespace {

constexpr Nanos kUs = 1000, kMs = 1000 * kUs;

struct Bench {
  std::vector<std::string> violations, notes;
  UpdiActivationRules rules{[this](const std::string& t) { violations.push_back(t); },
                            [this](const std::string& t) { notes.push_back(t); }};
};

TEST(UpdiActivation, TheFirmwaresSequenceKeepsEveryRule) {
  Bench run;
  run.rules.Supply(true, 0);
  EXPECT_TRUE(run.rules.VppOn(2 * kMs, true));
  run.rules.VppOff(2 * kMs + 500 * kUs);
  run.rules.LineUsed();  // the BREAK and the key after the pulse
  run.rules.Programming();
  run.rules.Supply(false, 100 * kMs);
  run.rules.Finish();
  EXPECT_TRUE(run.violations.empty()) << run.violations.front();
  ASSERT_EQ(run.notes.size(), 1u);
  EXPECT_EQ(run.notes[0], "12 V pulse of 500 us on the UPDI pin");
}

TEST(UpdiActivation, EachBrokenRuleIsOneViolation) {
  struct Case {
    const char* what;
    Nanos powerOn;  // kNever: never powered
    Nanos rise, width;
    bool gpio, key, lineDuringPulse;
    const char* says;
  };
  const Case cases[] = {
      {"too short", 0, 2 * kMs, 50 * kUs, true, true, false, "lasted 50 us"},
      {"too long", 0, 2 * kMs, 1500 * kUs, true, true, false, "lasted 1500 us"},
      {"unpowered", kNever, 2 * kMs, 500 * kUs, true, true, false, "supply is off"},
      {"before the POR", 0, 50 * kUs, 500 * kUs, true, true, false, "before the power-on reset"},
      {"GPIO driver on", 0, 9 * kMs, 500 * kUs, true, true, false, "GPIO driver"},
      {"no key", 0, 2 * kMs, 500 * kUs, true, false, false, "NVMPROG key"},
      {"line during the pulse", 0, 2 * kMs, 500 * kUs, true, true, true, "while 12 V"},
  };
  for (const Case& c : cases) {
    Bench run;
    if (c.powerOn != kNever) run.rules.Supply(true, c.powerOn);
    run.rules.VppOn(c.rise, c.gpio);
    if (c.lineDuringPulse) run.rules.LineUsed();
    run.rules.VppOff(c.rise + c.width);
    if (c.key) run.rules.Programming();
    run.rules.Finish();
    ASSERT_EQ(run.violations.size(), 1u) << c.what;
    EXPECT_NE(run.violations[0].find(c.says), std::string::npos)
        << c.what << ": " << run.violations[0];
  }
}

TEST(UpdiActivation, APinFusedToResetHasNoGpioWindow) {
  Bench run;
  run.rules.Supply(true, 0);
  EXPECT_TRUE(run.rules.VppOn(30 * kMs, false));
  run.rules.VppOff(30 * kMs + 200 * kUs);
  run.rules.Programming();
  run.rules.Finish();
  EXPECT_TRUE(run.violations.empty());
}

TEST(UpdiActivation, TheSupplyGoingOffEndsTheWaitForTheKey) {
  Bench run;
  run.rules.Supply(true, 0);
  run.rules.VppOn(2 * kMs, true);
  run.rules.Supply(false, 2 * kMs + 300 * kUs);  // while the 12 V is still on
  run.rules.VppOff(3 * kMs);
  run.rules.Finish();
  ASSERT_EQ(run.violations.size(), 1u);
  EXPECT_NE(run.violations[0].find("supply went off while 12 V"), std::string::npos);
}

}  // namespace
}  // namespace bq::avrsim
