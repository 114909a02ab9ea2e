#pragma once
// The timing of a simulated device's bytes on its serial line. Host bytes that arrived
// together are taken as arriving one character time apart after the ones before them;
// answers leave one character time apart, never before the request that caused them was
// complete, and never overtaking the answer before them. A character time of zero: no
// pacing, every byte at once. Nothing here sleeps; callers pass the time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace bq {

using SimClock = std::chrono::steady_clock;

class SimPacing {
 public:
  // When a host byte that finished arriving at `now` is taken in, at this character time.
  SimClock::time_point Arrival(SimClock::time_point now, std::chrono::nanoseconds byteTime);
  // Queues an answer that may start at `when`.
  void Emit(std::vector<std::uint8_t> bytes, SimClock::time_point when,
            std::chrono::nanoseconds byteTime);
  // Appends to out the bytes due at `now`, at most max of them; returns the count.
  std::size_t TakeDue(SimClock::time_point now, std::vector<std::uint8_t>& out,
                      std::size_t max = static_cast<std::size_t>(-1));
  // When the next pending byte is due; nullopt when nothing is pending.
  std::optional<SimClock::time_point> NextDue() const;
  // When the next k pending bytes will all be due, counting only bytes of the answer now
  // being sent (fewer when it ends sooner); nullopt when nothing is pending.
  std::optional<SimClock::time_point> RunDue(std::size_t k) const;
  // When a line server should hand out bytes next: paced bytes go out in batches of about a
  // millisecond, as a USB serial adapter delivers them, and the last byte of an answer still
  // leaves exactly when it is due.
  std::optional<SimClock::time_point> NextBatch() const;
  std::size_t Pending() const;
  void Clear() { out_.clear(); }

 private:
  struct Chunk {
    std::vector<std::uint8_t> bytes;
    std::size_t taken = 0;
    SimClock::time_point start;  // first byte due at start + one character time
    std::chrono::nanoseconds byteTime{0};
  };
  static SimClock::time_point DueOf(const Chunk& c, std::size_t index) {
    return c.start + c.byteTime * static_cast<long>(index + 1);
  }

  std::deque<Chunk> out_;
  SimClock::time_point inDeadline_{};
  SimClock::time_point outDeadline_{};
};

}  // namespace bq
