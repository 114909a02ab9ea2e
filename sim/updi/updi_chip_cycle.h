#pragma once
// A UPDI chip that is taken out and a new one put in, over and over, as an operator does
// during a production run: the adapter's echo stays (its TX and RX are joined whatever sits
// on the pin), only the chip's answers come and go.
//
// The chip answers for `present` from the first host byte that reaches it, so the time a
// host takes to notice a new chip never shortens the time it has to program it. Then, for
// `absent`, nothing but the echo comes back. Then a new chip sits there: erased, with the
// part's factory fuses, its UPDI off until the host wakes it, as after power-on.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/serial_peer.h"
#include "parts/part_record.h"
#include "sim/updi/updi_peer.h"

namespace bq {

class UpdiChipCyclePeer : public SerialPeer {
 public:
  UpdiChipCyclePeer(const PartRecord& part, std::string partName, std::chrono::milliseconds present,
                    std::chrono::milliseconds absent);

  void LineSet(const LineSettings& line) override;
  void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) override;
  void Break(Clock::time_point now) override;
  std::optional<Clock::time_point> TakeDue(Clock::time_point now,
                                           std::vector<std::uint8_t>& out) override;

 private:
  // Whether a chip sits on the pin at `when`; takes the chip out or puts a new one in.
  bool ChipThere(Clock::time_point when);

  PartRecord part_;
  std::string partName_;
  std::chrono::milliseconds present_;
  std::chrono::milliseconds absent_;
  std::unique_ptr<UpdiSerialPeer> chip_;  // null while the pin is empty
  bool touched_ = false;
  Clock::time_point leaves_{}, returns_{};
  std::optional<LineSettings> line_;
  // While the pin is empty: the echo of each host byte, due when it has left the adapter.
  std::deque<std::pair<Clock::time_point, std::uint8_t>> echo_;
  Clock::time_point inDeadline_{};
};

}  // namespace bq
