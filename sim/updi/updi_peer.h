#pragma once
// The simulated UPDI chip on a line: as the device end of a pseudo-terminal (UpdiSerialPeer)
// and as the in-process connection the sim: port gives a driver that asks for "serialupdi"
// (UpdiSimConnection). Both pace the line at 12 bits a character at the host's rate.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "link/serial_connection.h"
#include "link/serial_peer.h"
#include "sim/updi/updi_chip.h"

namespace bq {

// A pseudo-terminal carries no parity: the host is taken to send 8E2, as a UPDI host must.
class UpdiSerialPeer : public SerialPeer {
 public:
  explicit UpdiSerialPeer(std::shared_ptr<UpdiChip> chip,
                          std::shared_ptr<std::mutex> mutex = nullptr);

  // Runs f(chip) under the peer's lock: for tests that inject faults or look at the chip.
  template <typename F>
  auto With(F&& f) {
    std::lock_guard<std::mutex> lock(*mutex_);
    return f(*chip_);
  }

  void LineSet(const LineSettings& line) override;
  void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) override;
  void Break(Clock::time_point now) override;
  std::optional<Clock::time_point> TakeDue(Clock::time_point now,
                                           std::vector<std::uint8_t>& out) override;

 private:
  std::shared_ptr<UpdiChip> chip_;
  std::shared_ptr<std::mutex> mutex_;
  Clock::time_point inDeadline_{};
};

// In process: a write is on the wire at once and its echo and answers can be read right
// after it, in wire order. The chip's clock runs at the wire's pace (and never behind the
// real clock), so busy times pass as the host polls or waits.
class UpdiSimConnection : public SerialConnection {
 public:
  UpdiSimConnection(std::shared_ptr<UpdiChip> chip, std::shared_ptr<std::mutex> mutex,
                    const LineSettings& line);

  bool Write(const std::uint8_t* data, std::size_t n) override;
  long Read(std::uint8_t* data, std::size_t n) override;
  void DiscardInput() override;
  bool SendBreak(int ms) override;
  bool SetRate(std::uint32_t baud) override;

 private:
  UpdiChip::Clock::time_point Now() const;

  std::shared_ptr<UpdiChip> chip_;
  std::shared_ptr<std::mutex> mutex_;
  bool evenParity_;
  std::deque<std::uint8_t> received_;
};

}  // namespace bq
