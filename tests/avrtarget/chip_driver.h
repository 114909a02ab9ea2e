#pragma once
// A small board for the chip models: drives lines at chosen times and collects what the
// chip reports.

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "avrsim/target.h"
#include "parts/part_database.h"

namespace bq::avrsim {

inline const PartRecord& PartNamed(const std::string& name) {
  static const PartDatabase db = [] {
    PartDatabase loaded;
    LoadPartList(loaded, std::string(BQ_SOURCE_DIR) + "/PartList.cfg");
    return loaded;
  }();
  const PartRecord* part = db.Find(name);
  EXPECT_NE(part, nullptr) << name;
  static const PartRecord none;
  return part ? *part : none;
}

constexpr Nanos kUs = 1000;
constexpr Nanos kMs = 1000000;

struct ChipDriver {
  std::vector<std::string> violations;
  std::vector<std::string> notes;
  std::unique_ptr<Target> chip;
  Nanos now = 0;

  explicit ChipDriver(TargetConfig config) {
    config.part = PartNamed(config.partName);
    chip = MakeTarget(
        config, [this](const std::string& text) { violations.push_back(text); },
        [this](const std::string& text) { notes.push_back(text); });
  }
  static TargetConfig Part(const std::string& name) {
    TargetConfig config;
    config.partName = name;
    return config;
  }

  void Wait(Nanos time) { now += time; }
  void Drive(Pin pin, Level level, Nanos after = 0) {
    now += after;
    chip->Drive(pin, level, now);
  }
  Level Read(Pin pin) { return chip->Read(pin, now); }

  // One serial instruction over hardware SPI (each byte takes 100 us, as on the bench).
  std::array<std::uint8_t, 4> Isp(std::array<std::uint8_t, 4> out, std::uint32_t sckHz = 125000) {
    std::array<std::uint8_t, 4> in{};
    for (unsigned i = 0; i < 4; ++i) {
      in[i] = chip->SpiByte(out[i], sckHz, now);
      now += 100 * kUs;
    }
    return in;
  }
  // One byte bit by bit on SCK/MOSI with `half` ns per SCK phase; MISO read while SCK is high.
  std::uint8_t BitBang(std::uint8_t out, Nanos half) {
    std::uint8_t in = 0;
    for (int bit = 7; bit >= 0; --bit) {
      Drive(Pin::Mosi, (out >> bit) & 1 ? Level::High : Level::Low);
      Drive(Pin::Sck, Level::High, half);
      in = static_cast<std::uint8_t>((in << 1) | (Read(Pin::Miso) == Level::High ? 1 : 0));
      Drive(Pin::Sck, Level::Low, half);
    }
    return in;
  }
  // RESET low (after a pulse when already low) and the 20 ms wait.
  void EnterReset() {
    Drive(Pin::Sck, Level::Low);
    Drive(Pin::Reset, Level::High);
    Drive(Pin::Reset, Level::Low, 10 * kUs);
    Wait(20 * kMs);
  }
};

}  // namespace bq::avrsim
