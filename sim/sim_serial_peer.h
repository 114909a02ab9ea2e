#pragma once
// The simulated programmers as the device end of a serial line (SerialPeer), for a line
// server such as the pseudo-terminal server: our protocol's programmer on its SimLine, and
// any programmer that answers host bytes with bytes (the STK500 versions 1 and 2) on a line
// paced at the rate the host set.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/serial_peer.h"
#include "parts/part_record.h"
#include "sim/sim_chip.h"
#include "sim/sim_connection.h"
#include "sim/sim_pacing.h"
#include "sim/sim_programmer.h"

namespace bq {

// Our protocol's simulated programmer; it paces itself (SimOptions::pace, 115200 8N1).
class SimLinePeer : public SerialPeer {
 public:
  explicit SimLinePeer(std::shared_ptr<SimLine> line) : line_(std::move(line)) {}

  void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) override;
  std::optional<Clock::time_point> TakeDue(Clock::time_point now,
                                           std::vector<std::uint8_t>& out) override;
  bool HungUp() const override;

 private:
  std::shared_ptr<SimLine> line_;
};

// Host bytes in, the answers to the commands they complete out.
using SimAnswerer = std::function<std::vector<std::uint8_t>(const std::uint8_t*, std::size_t)>;

// The STK500 programmer of a protocol ("stk500v1", "stk500v2") over the chip, set up for the
// part and where the chip sits; empty for another protocol. The answerer keeps the chip.
// eepromWordAddress: a version 1 programmer that counts EEPROM addresses in words.
SimAnswerer MakeStk500Answerer(const std::string& protocol, std::shared_ptr<SimChip> chip,
                               const PartRecord& part, SimConnect connect,
                               bool eepromWordAddress = false);

// A programmer that answers bytes with bytes, on a line. With pacing, host bytes take one
// character time each at the rate and framing the host set (115200 8N1 until it sets one),
// and so do the answers, as on a real serial line.
class SimPacedPeer : public SerialPeer {
 public:
  // mutex guards the answerer's machine and chip when others share them (null: its own).
  SimPacedPeer(SimAnswerer answerer, bool pace, std::shared_ptr<std::mutex> mutex = nullptr);

  // Runs f() under the peer's lock: for tests that adjust the machine between exchanges.
  template <typename F>
  auto With(F&& f) {
    std::lock_guard<std::mutex> lock(*mutex_);
    return f();
  }

  void LineSet(const LineSettings& line) override;
  void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) override;
  std::optional<Clock::time_point> TakeDue(Clock::time_point now,
                                           std::vector<std::uint8_t>& out) override;

 private:
  SimAnswerer answerer_;
  bool pace_;
  std::shared_ptr<std::mutex> mutex_;
  std::chrono::nanoseconds byteTime_;
  SimPacing wire_;
};

}  // namespace bq
