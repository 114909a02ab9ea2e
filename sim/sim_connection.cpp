#include "sim/sim_connection.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

namespace bq {

SimLine::SimLine(std::shared_ptr<SimChip> chip, SimOptions options,
                 std::shared_ptr<std::mutex> chipMutex)
    : mutex_(chipMutex ? std::move(chipMutex) : std::make_shared<std::mutex>()),
      programmer_(std::move(chip), std::move(options)) {}

std::unique_ptr<SimConnection> SimConnection::Open(std::shared_ptr<SimLine> line) {
  if (!line) return nullptr;
  {
    std::lock_guard<std::mutex> lock(*line->mutex_);
    if (line->inUse_) return nullptr;
    line->inUse_ = true;
  }
  return std::unique_ptr<SimConnection>(new SimConnection(std::move(line)));
}

SimConnection::SimConnection(std::shared_ptr<SimLine> line) : line_(std::move(line)) {}

SimConnection::~SimConnection() {
  std::lock_guard<std::mutex> lock(*line_->mutex_);
  line_->inUse_ = false;
}

bool SimConnection::Write(const std::uint8_t* data, std::size_t n) {
  std::lock_guard<std::mutex> lock(*line_->mutex_);
  SimProgrammer& sim = line_->programmer_;
  if (sim.HungUp()) return false;
  sim.Receive(data, n, SimClock::now());
  return true;
}

void SimConnection::DiscardInput() {
  std::lock_guard<std::mutex> lock(*line_->mutex_);
  std::vector<std::uint8_t> dropped;
  line_->programmer_.TakeDue(SimClock::now(), dropped, SIZE_MAX);
}

long SimConnection::Read(std::uint8_t* data, std::size_t n) {
  using std::chrono::milliseconds;
  const auto start = SimClock::now();
  const auto total = start + milliseconds(SerialTimeouts::kTotalConstantMs) +
                     milliseconds(SerialTimeouts::kTotalPerByteMs) * static_cast<long>(n);
  const milliseconds interByte(SerialTimeouts::kInterByteMs);
  std::vector<std::uint8_t> got;
  got.reserve(n);
  SimClock::time_point lastByte{};
  while (got.size() < n) {
    std::optional<SimClock::time_point> run;
    bool hungUp = false;
    {
      std::lock_guard<std::mutex> lock(*line_->mutex_);
      SimProgrammer& sim = line_->programmer_;
      const auto now = SimClock::now();
      if (sim.TakeDue(now, got, n - got.size()) > 0) lastByte = now;
      run = sim.RunDue(n - got.size());
      hungUp = sim.HungUp() && !run;
    }
    if (got.size() == n) break;
    if (hungUp) {
      if (got.empty()) return -1;
      break;
    }
    // The read ends at the total deadline, or once more than the inter-byte gap passed.
    auto limit = total;
    if (!got.empty()) limit = std::min(limit, lastByte + interByte);
    if (SimClock::now() >= limit) break;
    // Sleep until the bytes wanted of the current answer are all due (paced bytes follow
    // each other far closer than the inter-byte gap), or until the limit.
    std::this_thread::sleep_until(run ? std::min(*run, limit) : limit);
  }
  std::copy(got.begin(), got.end(), data);
  return static_cast<long>(got.size());
}

}  // namespace bq
