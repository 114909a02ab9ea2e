#pragma once
// The device end of a serial line: what a line server (the pseudo-terminal server in
// platform/) drives when a simulated device stands at the other end of a port. Host bytes go
// in with the time they finished arriving; the device's bytes come out when they are due.
//
// What a line server can tell the device depends on the line. A pseudo-terminal carries the
// rate and the stop bits the host set, but always 8 data bits without parity (the system's
// pseudo-terminal driver forces that whatever the host asks), and it drops a BREAK (the
// request succeeds on the host's side and nothing reaches the other end). A device that needs
// parity takes its framing as given; one that must see a BREAK gets Break() only from a line
// that can carry one.
//
// Threads: a server calls from its one thread; a peer that other threads also touch (tests
// that inject faults) locks inside.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/serial_connection.h"

namespace bq {

class SerialPeer {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~SerialPeer() = default;

  // The line as the host set it: called before the first bytes arrive and again whenever the
  // host changes it.
  virtual void LineSet(const LineSettings& line) { (void)line; }
  // Host bytes that finished arriving at `now`.
  virtual void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) = 0;
  // The host held the line at its break level until `now`.
  virtual void Break(Clock::time_point now) { (void)now; }
  // Appends the bytes due to go out by `now`; returns when to ask again (nullopt: nothing is
  // pending, ask again when host bytes arrive).
  virtual std::optional<Clock::time_point> TakeDue(Clock::time_point now,
                                                   std::vector<std::uint8_t>& out) = 0;
  // True once the device closed the line: the server hangs up on the host.
  virtual bool HungUp() const { return false; }
};

// Bits one character takes on a line with these settings (start bit included): 10 for 8N1.
inline unsigned BitsPerCharacter(const LineSettings& line) {
  return 1u + line.dataBits + (line.parity == LineSettings::Parity::None ? 0u : 1u) + line.stopBits;
}

}  // namespace bq
