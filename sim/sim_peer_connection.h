#pragma once
// A simulated STK500 programmer (version 1 or 2) behind an in-process SerialConnection, over
// the chip a simulated port keeps: what the sim: port serves when a driver asks for that
// protocol. Answers are there as soon as the command is complete.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/serial_connection.h"
#include "sim/sim_chip.h"
#include "sim/sim_programmer.h"
#include "sim/sim_serial_peer.h"

namespace bq {

class SimPeerConnection : public SerialConnection {
 public:
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
  explicit SimPeerConnection(std::shared_ptr<std::mutex> chipMutex)
      : chipMutex_(std::move(chipMutex)) {}

  std::shared_ptr<std::mutex> chipMutex_;
  SimAnswerer peer_;  // keeps the chip
  std::deque<std::uint8_t> answers_;
};

}  // namespace bq
