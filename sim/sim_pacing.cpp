#include "sim/sim_pacing.h"

#include <algorithm>

namespace bq {

SimClock::time_point SimPacing::Arrival(SimClock::time_point now,
                                        std::chrono::nanoseconds byteTime) {
  if (byteTime.count() <= 0) return now;
  inDeadline_ = std::max(inDeadline_, now) + byteTime;
  return inDeadline_;
}

void SimPacing::Emit(std::vector<std::uint8_t> bytes, SimClock::time_point when,
                     std::chrono::nanoseconds byteTime) {
  if (bytes.empty()) return;
  Chunk c;
  c.byteTime = std::max(byteTime, std::chrono::nanoseconds::zero());
  // Unpaced, the start is due at once (DueOf adds nothing); paced, after the answer before.
  c.start = std::max(when, outDeadline_);
  outDeadline_ = c.start + c.byteTime * static_cast<long>(bytes.size());
  c.bytes = std::move(bytes);
  out_.push_back(std::move(c));
}

std::size_t SimPacing::TakeDue(SimClock::time_point now, std::vector<std::uint8_t>& out,
                               std::size_t max) {
  std::size_t taken = 0;
  while (!out_.empty() && taken < max) {
    Chunk& c = out_.front();
    while (c.taken < c.bytes.size() && taken < max && DueOf(c, c.taken) <= now) {
      out.push_back(c.bytes[c.taken++]);
      ++taken;
    }
    if (c.taken < c.bytes.size()) break;
    out_.pop_front();
  }
  return taken;
}

std::optional<SimClock::time_point> SimPacing::NextDue() const {
  if (out_.empty()) return std::nullopt;
  return DueOf(out_.front(), out_.front().taken);
}

std::optional<SimClock::time_point> SimPacing::RunDue(std::size_t k) const {
  if (out_.empty()) return std::nullopt;
  const Chunk& c = out_.front();
  const std::size_t left = c.bytes.size() - c.taken;
  return DueOf(c, c.taken + std::min(std::max<std::size_t>(k, 1), left) - 1);
}

std::optional<SimClock::time_point> SimPacing::NextBatch() const {
  const auto next = NextDue();
  if (!next) return next;
  return std::min(*next + std::chrono::milliseconds(1), *RunDue(SIZE_MAX));
}

std::size_t SimPacing::Pending() const {
  std::size_t n = 0;
  for (const Chunk& c : out_) n += c.bytes.size() - c.taken;
  return n;
}

}  // namespace bq
