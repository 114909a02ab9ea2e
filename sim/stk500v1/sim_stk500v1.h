#pragma once
// A simulated STK500 version 1 programmer as an "Arduino as ISP" board is one: the board's
// side of the protocol over a SimChip on its ISP lines. Bytes from the host in, the board's
// answer bytes out; no threads, no time.
//
// Every chip access goes through the chip's own ISP instructions (SimIspTarget), so the
// UNIVERSAL command reaches everything the serial instruction set offers, including the
// Load Extended Address instruction that flash above 128 KiB needs: LOAD_ADDRESS carries a
// 16-bit word address, and the extended byte the host last sent through UNIVERSAL stays
// in the chip.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "sim/sim_chip.h"
#include "sim/sim_isp_target.h"
#include "sim/stk500_peer.h"

namespace bq {

struct SimStk500v1Options : Stk500PeerOptions {
  std::uint8_t hardwareVersion = 2;
  std::uint8_t softwareMajor = 1;
  std::uint8_t softwareMinor = 18;
  // LOAD_ADDRESS before an EEPROM page: false (the default) takes it as a byte address;
  // true as a word address (the byte address is twice it), as many boards do.
  bool eepromWordAddress = false;
};

class SimStk500v1 {
 public:
  explicit SimStk500v1(SimChip& chip, SimStk500v1Options options = {});

  // Takes bytes from the host; returns the answers to the commands they complete.
  std::vector<std::uint8_t> Receive(const std::uint8_t* data, std::size_t n);

  bool InProgMode() const { return progMode_; }
  // Complete commands received with this code (end marker in place).
  std::uint32_t Commands(std::uint8_t code) const { return counts_[code]; }
  SimStk500v1Options& options() { return options_; }

 private:
  std::size_t FrameLength() const;  // bytes of the command at the front; 0: need more
  void Handle(const std::vector<std::uint8_t>& frame, std::vector<std::uint8_t>& out);
  std::uint32_t PageWords() const;

  SimChip& chip_;
  SimStk500v1Options options_;
  SimIspTarget target_;
  std::vector<std::uint8_t> in_;
  std::uint32_t counts_[256] = {};
  std::map<std::uint8_t, std::uint8_t> parameters_;
  bool deviceSet_ = false;
  bool progMode_ = false;
  std::uint16_t address_ = 0;
  std::uint16_t devicePageBytes_ = 0;
};

}  // namespace bq
