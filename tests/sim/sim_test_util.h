#pragma once
// Helpers for driving the simulated programmer as a unit with made-up times.

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "parts/part_record.h"
#include "sim/sim_chip.h"
#include "sim/sim_programmer.h"

namespace bq::test {

using Bytes = std::vector<std::uint8_t>;

// A part like an ATmega8: 128 pages of 32 words, EEPROM 128 pages of 4 bytes, HVPP mode 1.
inline PartRecord Mega8Like() {
  PartRecord r;
  r.signature = 0x1E9307;
  r.flashPageSizeW = 32;
  r.flashNoOfPages = 128;
  r.eepromPageSize = 4;
  r.eepromNoOfPages = 128;
  r.hvMode = 1;
  r.hasDefaultLow = true;
  r.defaultLow = 0xE1;
  r.hasDefaultHigh = true;
  r.defaultHigh = 0xD9;
  return r;
}

inline Bytes Packet(std::uint8_t code, const Bytes& payload = {}) {
  Bytes b{0x48, 0x56, code, static_cast<std::uint8_t>(payload.size() >> 8),
          static_cast<std::uint8_t>(payload.size())};
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// Sends one packet at a fixed time and collects everything the machine answers.
class Bench {
 public:
  explicit Bench(SimOptions options = {}, PartRecord part = Mega8Like())
      : chip(std::make_shared<SimChip>(SimChip::FromPart("ATmega8", part))),
        sim(chip, std::move(options)) {}

  Bytes Send(const Bytes& packet) {
    sim.Receive(packet.data(), packet.size(), t);
    Bytes out;
    t += std::chrono::hours(1);  // far past any delay
    sim.TakeDue(t, out);
    return out;
  }
  Bytes Send(std::uint8_t code, const Bytes& payload = {}) { return Send(Packet(code, payload)); }

  std::shared_ptr<SimChip> chip;
  SimProgrammer sim;
  SimClock::time_point t{};
};

}  // namespace bq::test
