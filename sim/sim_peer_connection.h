#pragma once
// A simulated STK500 programmer (version 1 or 2) behind an in-process SerialConnection, over
// the chip a simulated port keeps: what the sim: port serves when a driver asks for that
// protocol. Answers are there as soon as the command is complete.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/serial_connection.h"
#include "sim/sim_chip.h"
#include "sim/sim_programmer.h"

namespace bq {

class SimPeerConnection : public SerialConnection {
 public:
  using Peer = std::function<std::vector<std::uint8_t>(const std::uint8_t*, std::size_t)>;
  // Null for a protocol without a simulated programmer. chipMutex guards the shared chip.
  // eepromWordAddress: an STK500 version 1 peer counts EEPROM addresses in words.
  static std::unique_ptr<SimPeerConnection> Open(const std::string& protocol,
                                                 std::shared_ptr<SimChip> chip,
                                                 std::shared_ptr<std::mutex> chipMutex,
                                                 const PartRecord& part, SimConnect connect,
                                                 bool eepromWordAddress = false);

  bool Write(const std::uint8_t* data, std::size_t n) override;
  long Read(std::uint8_t* data, std::size_t n) override;
  void DiscardInput() override;

 private:
  SimPeerConnection(std::shared_ptr<SimChip> chip, std::shared_ptr<std::mutex> chipMutex)
      : chip_(std::move(chip)), chipMutex_(std::move(chipMutex)) {}

  std::shared_ptr<SimChip> chip_;
  std::shared_ptr<std::mutex> chipMutex_;
  std::shared_ptr<void> peerObject_;
  Peer peer_;
  std::deque<std::uint8_t> answers_;
};

}  // namespace bq
