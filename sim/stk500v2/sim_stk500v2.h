#pragma once
// A simulated STK500 version 2 programmer (an STK500 or an AVRISP on a serial line): the
// programmer's side of the framed protocol over a SimChip, in ISP and, for a chip in the
// socket, high-voltage parallel and serial mode. Bytes from the host in, the programmer's
// answer frames out; no threads, no time.
//
// ISP commands pass the host's instruction bytes to the chip (SimIspTarget), as the real
// programmer does, so wrong instruction bytes do on the simulated chip what they would do
// on a real one. A frame with a bad checksum is answered with ANSWER_CKSUM_ERROR as both
// its id and its status; bytes that start no frame (no MESSAGE_START, a wrong TOKEN, a body
// over 275 bytes) are skipped without an answer.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_chip.h"
#include "sim/sim_isp_target.h"
#include "sim/stk500_peer.h"

namespace bq {

struct SimStk500v2Options : Stk500PeerOptions {
  std::string signOn = "STK500_2";  // "AVRISP_2" for an AVRISP
  std::uint8_t hardwareVersion = 2;
  std::uint8_t softwareMajor = 2;
  std::uint8_t softwareMinor = 10;
  std::uint8_t vtarget = 50;  // target voltage in tenths of a volt
  // The smallest PARAM_SCK_DURATION the target copes with: a faster ISP clock (a smaller
  // value) and the chip does not answer Programming Enable.
  std::uint8_t minSckDuration = 0;
};

class SimStk500v2 {
 public:
  explicit SimStk500v2(SimChip& chip, SimStk500v2Options options = {});

  // Takes bytes from the host; returns the answer frames to the messages they complete.
  std::vector<std::uint8_t> Receive(const std::uint8_t* data, std::size_t n);

  enum class Mode { kNone, kIsp, kPp, kHvsp };
  Mode ProgMode() const { return mode_; }
  // Complete messages received with this command id (checksum good).
  std::uint32_t Commands(std::uint8_t id) const { return counts_[id]; }
  std::uint32_t Address() const { return address_; }  // the internal address counter
  SimStk500v2Options& options() { return options_; }

 private:
  std::vector<std::uint8_t> Handle(const std::vector<std::uint8_t>& body);
  std::vector<std::uint8_t> HandleIsp(const std::vector<std::uint8_t>& body);
  std::vector<std::uint8_t> HandleHv(const std::vector<std::uint8_t>& body);
  std::vector<std::uint8_t> ProgramIsp(const std::vector<std::uint8_t>& body, bool flash);
  std::vector<std::uint8_t> ReadIsp(const std::vector<std::uint8_t>& body, bool flash);
  void LoadExtendedIfNeeded(std::uint32_t wordAddress, bool& loaded, std::uint8_t& last);
  bool Wait(std::uint8_t method, std::uint8_t pollCmd, std::uint32_t address, bool flash,
            std::uint8_t data, std::uint8_t poll1, std::uint8_t poll2, std::uint8_t& status);
  static void Frame(std::uint8_t sequence, const std::vector<std::uint8_t>& body,
                    std::vector<std::uint8_t>& out);

  SimChip& chip_;
  SimStk500v2Options options_;
  SimIspTarget target_;
  std::vector<std::uint8_t> in_;
  std::uint32_t counts_[256] = {};
  std::map<std::uint8_t, std::uint8_t> parameters_;
  Mode mode_ = Mode::kNone;
  std::uint32_t address_ = 0;
  // High-voltage page buffer: bytes loaded by a page-mode write without the write bit.
  std::vector<std::pair<std::size_t, std::uint8_t>> hvPending_;
};

}  // namespace bq
