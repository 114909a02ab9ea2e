#pragma once
// The simulated programmer: the programmer side of the packet protocol over a SimChip,
// as a byte-stream state machine. Host bytes go in with the time they finished arriving;
// answer bytes come out when they are due. Nothing here sleeps or owns a thread, so the
// same machine runs behind a pseudo-terminal, behind an in-process connection, or under
// a fuzzer with made-up times.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/sim_chip.h"
#include "sim/sim_fault.h"
#include "sim/sim_pacing.h"

namespace bq {

enum class SimConnect {
  kSocket,  // chip in the programmer's socket: answers in its high-voltage mode (1..3) only
  kIsp,     // chip on the ISP cable: answers in mode 4 once a usable ISP clock is set
};

struct SimOptions {
  SimConnect connect = SimConnect::kSocket;
  // Fastest ISP clock index the target copes with (1 = 3.686 MHz ... 7 = 57.60 kHz).
  std::uint8_t ispMaxClock = 1;
  std::uint8_t hardwareMajor = 2, hardwareMinor = 1;  // "2.01"
  std::uint8_t firmwareMajor = 1, firmwareMinor = 7;  // "1.07"
  // How long a blank check takes before ANS_BLANK is sent.
  std::chrono::milliseconds blankCheckTime{0};
  // Delay both directions by the time their bytes take at 115200 baud 8N1.
  bool pace = false;
  std::vector<SimFault> faults;
  // A chip that comes and goes, as on a production line (off when chipPresent is 0): the
  // chip answers for chipPresent from the first chip command it gets, then every chip
  // command answers as an empty socket / a cable without a target for chipAbsent; then a
  // new chip sits there: erased, with the part's default fuses (the chip the programmer
  // started with), again until chipPresent after its first command.
  std::chrono::milliseconds chipPresent{0};
  std::chrono::milliseconds chipAbsent{0};
  // A simulated STK500 version 1 programmer on the port takes the EEPROM address of
  // LOAD_ADDRESS as a word address, as many boards do (SimStk500v1Options).
  bool eepromWordAddress = false;
  // A crystal or clock on the ISP target's XTAL1, as most boards have: a chip whose fuses
  // select an external clock answers over ISP. Without it such a chip does not (rescue
  // tests).
  bool targetClock = true;
  // The programmer's own clock for XTAL1 (CMD_SET_TARGET_CLOCK), as our firmware has; the
  // original programmer answers "Unknown Command". While it runs, a chip set to an external
  // clock answers over ISP even without targetClock.
  bool clockOutput = false;
};

// Time one byte takes on the wire at 115200 baud, 10 bits a byte: 86.8 us.
inline constexpr std::chrono::nanoseconds kSimByteTime{86806};

// The default connection for a part: the socket when it has a high-voltage mode, else ISP.
SimConnect DefaultSimConnect(const SimChip& chip);

class SimProgrammer {
 public:
  // The programmer's clock on XTAL1 runs (CMD_SET_TARGET_CLOCK).
  bool ClockRunning() const { return clockOut_; }
  // The chip may be shared with other programmers (the same chip moved between socket
  // and cable); callers that share it serialise Receive.
  SimProgrammer(std::shared_ptr<SimChip> chip, SimOptions options);

  // Host bytes that finished arriving at `now`. With pacing the machine treats them as
  // arriving a byte time apart after the previous ones. Complete packets are answered
  // at once; the answer bytes become due no earlier than the packet's last byte.
  void Receive(const std::uint8_t* data, std::size_t n, SimClock::time_point now);

  // Appends to out the answer bytes due at `now`, at most max of them; returns the count.
  std::size_t TakeDue(SimClock::time_point now, std::vector<std::uint8_t>& out,
                      std::size_t max = static_cast<std::size_t>(-1)) {
    return wire_.TakeDue(now, out, max);
  }
  // When the next pending answer byte is due; nullopt when nothing is pending.
  std::optional<SimClock::time_point> NextDue() const { return wire_.NextDue(); }
  // When the next k pending bytes will all be due, counting only bytes of the answer now
  // being sent (fewer when it ends sooner); nullopt when nothing is pending. Lets a reader
  // sleep through a paced answer in one go instead of waking for every byte.
  std::optional<SimClock::time_point> RunDue(std::size_t k) const { return wire_.RunDue(k); }
  // Answer bytes still pending (due or not).
  std::size_t Pending() const { return wire_.Pending(); }
  // When a line server should hand out answer bytes next (SimPacing::NextBatch).
  std::optional<SimClock::time_point> NextBatch() const { return wire_.NextBatch(); }

  // True once a hang-up fault closed the line: nothing is answered any more.
  bool HungUp() const { return hungUp_; }

  // The ISP clock index currently set (0 none).
  std::uint8_t ispClock() const { return ispClock_; }
  // Number of packets received with a command code, for tests.
  std::uint32_t PacketsReceived(std::uint8_t code) const { return packetCount_[code]; }
  const SimOptions& options() const { return options_; }
  SimOptions& options() { return options_; }
  SimChip& chip() { return *chip_; }
  const std::shared_ptr<SimChip>& sharedChip() const { return chip_; }

 private:
  enum class Stream { kNone, kRead, kWrite };

  void Feed(std::uint8_t byte, SimClock::time_point arrival);
  void HandlePacket(SimClock::time_point arrival);
  void Dispatch(std::uint8_t code, const std::vector<std::uint8_t>& p, std::uint32_t occurrence,
                std::uint32_t transfer, SimClock::time_point& when);
  std::uint8_t ModeError(std::uint8_t mode, SimClock::time_point when);  // 0: chip answers
  bool ChipThere(SimClock::time_point when);  // the chip cycle: present at when
  std::vector<std::uint8_t>* Memory(std::uint8_t kind);
  const SimFault* FaultFor(std::uint8_t code, std::uint32_t occurrence,
                           std::uint32_t transfer) const;
  void Answer(std::uint8_t code, const std::vector<std::uint8_t>& payload);
  void Emit(std::vector<std::uint8_t> bytes, SimClock::time_point when);
  std::chrono::nanoseconds ByteTime() const {
    return options_.pace ? kSimByteTime : std::chrono::nanoseconds::zero();
  }

  std::shared_ptr<SimChip> chip_;
  SimOptions options_;
  // DWEN, SPIEN or a missing clock as latched when the host last chose an ISP clock (the
  // start of its conversation with the chip, where a real chip enters programming mode).
  bool ispLatchedOut_ = false;
  bool clockOut_ = false;  // CMD_SET_TARGET_CLOCK started the clock on XTAL1

  // Packet assembly.
  std::uint8_t header_[5] = {};
  std::size_t headerFill_ = 0;
  std::size_t payloadLeft_ = 0;
  bool discarding_ = false;  // payload longer than 256: skipped, answered ANS_ERROR 1
  std::vector<std::uint8_t> payload_;

  // Programmer state.
  std::uint8_t ispClock_ = 0;
  Stream stream_ = Stream::kNone;
  std::uint8_t streamKind_ = 0;
  std::uint32_t streamPos_ = 0;
  std::uint32_t streamEnd_ = 0;
  std::uint32_t streamPageBytes_ = 0;
  bool streamLongData_ = false;
  bool streamLastNext_ = false;
  std::uint32_t packetCount_[256] = {};
  std::uint32_t transferCount_[256] = {};
  bool hungUp_ = false;

  // The chip cycle (SimOptions::chipPresent).
  SimChip newChip_;
  bool chipIn_ = true;
  bool chipTouched_ = false;
  SimClock::time_point chipLeaves_{}, chipReturns_{};

  // Answer being built for the current packet, then its fate.
  std::vector<std::uint8_t> answer_;
  SimPacing wire_;
};

}  // namespace bq
