#include "sim/sim_serial_peer.h"

#include "sim/sim_isp_target.h"
#include "sim/stk500v1/sim_stk500v1.h"
#include "sim/stk500v2/sim_stk500v2.h"

namespace bq {

void SimLinePeer::Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) {
  line_->With([&](SimProgrammer& sim) { sim.Receive(data, n, now); });
}

std::optional<SerialPeer::Clock::time_point> SimLinePeer::TakeDue(Clock::time_point now,
                                                                  std::vector<std::uint8_t>& out) {
  return line_->With([&](SimProgrammer& sim) {
    sim.TakeDue(now, out);
    return sim.NextBatch();
  });
}

bool SimLinePeer::HungUp() const {
  return line_->With([](SimProgrammer& sim) { return sim.HungUp(); });
}

namespace {

template <typename Peer, typename Options>
SimAnswerer Serve(Options options, std::shared_ptr<SimChip> chip, const PartRecord& part,
                  SimConnect connect) {
  options.connect = connect;
  options.ispLockout = IspLockoutFields(part);
  auto peer = std::make_shared<Peer>(*chip, options);
  return [peer, chip](const std::uint8_t* d, std::size_t n) { return peer->Receive(d, n); };
}

}  // namespace

SimAnswerer MakeStk500Answerer(const std::string& protocol, std::shared_ptr<SimChip> chip,
                               const PartRecord& part, SimConnect connect,
                               bool eepromWordAddress) {
  if (protocol == "stk500v1") {
    SimStk500v1Options options;
    options.eepromWordAddress = eepromWordAddress;
    return Serve<SimStk500v1>(options, chip, part, connect);
  }
  if (protocol == "stk500v2") return Serve<SimStk500v2>(SimStk500v2Options{}, chip, part, connect);
  return {};
}

SimPacedPeer::SimPacedPeer(SimAnswerer answerer, bool pace, std::shared_ptr<std::mutex> mutex)
    : answerer_(std::move(answerer)),
      pace_(pace),
      mutex_(mutex ? std::move(mutex) : std::make_shared<std::mutex>()),
      byteTime_(pace ? kSimByteTime : std::chrono::nanoseconds::zero()) {}

void SimPacedPeer::LineSet(const LineSettings& line) {
  if (!pace_ || line.baud == 0) return;
  std::lock_guard<std::mutex> lock(*mutex_);
  byteTime_ = std::chrono::nanoseconds(1'000'000'000LL * BitsPerCharacter(line) / line.baud);
}

void SimPacedPeer::Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(*mutex_);
  // One byte at a time, so each answer leaves after the last byte of its own command.
  for (std::size_t i = 0; i < n; ++i) {
    const Clock::time_point arrival = wire_.Arrival(now, byteTime_);
    wire_.Emit(answerer_(data + i, 1), arrival, byteTime_);
  }
}

std::optional<SerialPeer::Clock::time_point> SimPacedPeer::TakeDue(Clock::time_point now,
                                                                   std::vector<std::uint8_t>& out) {
  std::lock_guard<std::mutex> lock(*mutex_);
  wire_.TakeDue(now, out);
  return wire_.NextBatch();
}

}  // namespace bq
