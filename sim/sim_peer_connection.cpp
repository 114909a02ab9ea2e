#include "sim/sim_peer_connection.h"

namespace bq {

std::unique_ptr<SimPeerConnection> SimPeerConnection::Open(const std::string& protocol,
                                                           std::shared_ptr<SimChip> chip,
                                                           std::shared_ptr<std::mutex> chipMutex,
                                                           const PartRecord& part,
                                                           SimConnect connect,
                                                           bool eepromWordAddress) {
  SimAnswerer peer = MakeStk500Answerer(protocol, chip, part, connect, eepromWordAddress);
  if (!peer) return nullptr;
  std::unique_ptr<SimPeerConnection> c(new SimPeerConnection(std::move(chipMutex)));
  c->peer_ = std::move(peer);
  return c;
}

bool SimPeerConnection::Write(const std::uint8_t* data, std::size_t n) {
  std::lock_guard<std::mutex> lock(*chipMutex_);
  const std::vector<std::uint8_t> answer = peer_(data, n);
  answers_.insert(answers_.end(), answer.begin(), answer.end());
  return true;
}

long SimPeerConnection::Read(std::uint8_t* data, std::size_t n) {
  std::size_t got = 0;
  while (got < n && !answers_.empty()) {
    data[got++] = answers_.front();
    answers_.pop_front();
  }
  return static_cast<long>(got);
}

void SimPeerConnection::DiscardInput() {
  answers_.clear();
}

}  // namespace bq
