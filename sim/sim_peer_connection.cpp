#include "sim/sim_peer_connection.h"

#include <type_traits>

#include "sim/sim_isp_target.h"
#include "sim/stk500v1/sim_stk500v1.h"
#include "sim/stk500v2/sim_stk500v2.h"

namespace bq {

std::unique_ptr<SimPeerConnection> SimPeerConnection::Open(const std::string& protocol,
                                                           std::shared_ptr<SimChip> chip,
                                                           std::shared_ptr<std::mutex> chipMutex,
                                                           const PartRecord& part,
                                                           SimConnect connect,
                                                           bool eepromWordAddress) {
  std::unique_ptr<SimPeerConnection> c(new SimPeerConnection(chip, chipMutex));
  auto serve = [&](auto options, auto* kind) {
    using Peer = std::remove_pointer_t<decltype(kind)>;
    options.connect = connect;
    options.ispLockout = IspLockoutFields(part);
    auto peer = std::make_shared<Peer>(*chip, options);
    c->peer_ = [peer](const std::uint8_t* d, std::size_t n) { return peer->Receive(d, n); };
    c->peerObject_ = peer;
  };
  if (protocol == "stk500v1") {
    SimStk500v1Options options;
    options.eepromWordAddress = eepromWordAddress;
    serve(options, static_cast<SimStk500v1*>(nullptr));
  } else if (protocol == "stk500v2") {
    serve(SimStk500v2Options{}, static_cast<SimStk500v2*>(nullptr));
  } else {
    return nullptr;
  }
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

void SimPeerConnection::DiscardInput() { answers_.clear(); }

}  // namespace bq
