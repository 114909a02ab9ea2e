#pragma once
// The seam between the programmer link and whatever carries its bytes: a real
// serial device (platform/), or the simulated programmer (sim/).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bq {

// Read time-outs every connection honours: a read of n bytes returns when n bytes
// have arrived, when more than kInterByteMs pass between two received bytes, or
// after kTotalConstantMs + kTotalPerByteMs * n, whichever comes first.
struct SerialTimeouts {
  static constexpr int kInterByteMs = 50;
  static constexpr int kTotalPerByteMs = 50;
  static constexpr int kTotalConstantMs = 2000;
};

// How long after a port was opened a device that restarted on the open may take before it
// answers. An Arduino board resets when the port raises DTR; its bootloader listens for
// about a second and our firmware answers within 100 ms after that, so 1.5 s leaves room.
inline constexpr int kDeviceStartupMs = 1500;

// How a port's line is set: each kind of programmer talks at its own rate and framing.
struct LineSettings {
  enum class Parity : std::uint8_t { None, Even, Odd };
  std::uint32_t baud = 115200;
  std::uint8_t dataBits = 8;
  Parity parity = Parity::None;
  std::uint8_t stopBits = 1;
  // The protocol a simulated port answers in ("" for ours): a simulated programmer of that
  // kind stands behind it. Real ports ignore it.
  std::string protocol;

  bool operator==(const LineSettings&) const = default;
};

// One open port, at the line settings it was opened with (115200 baud 8N1 by default).
class SerialConnection {
 public:
  virtual ~SerialConnection() = default;
  // Writes all n bytes in one go; false when the write failed or wrote fewer.
  virtual bool Write(const std::uint8_t* data, std::size_t n) = 0;
  // One read of up to n bytes under the time-outs above. Returns the number of
  // bytes read (fewer than n on a time-out), or -1 when the device failed.
  virtual long Read(std::uint8_t* data, std::size_t n) = 0;
  // As Read, but giving up after totalMs in all (the inter-byte limit stays): for polling a
  // device that may still be starting. A connection without its own waits as Read does.
  virtual long ReadWithin(std::uint8_t* data, std::size_t n, int totalMs) {
    (void)totalMs;
    return Read(data, n);
  }
  // Drops every byte that has arrived and not been read: an answer that came after its
  // request gave up waiting must not be taken as the answer to the next request.
  virtual void DiscardInput() {}
  // Holds the line at its break level (low) for ms milliseconds, then releases it; false when
  // the connection cannot send a break.
  virtual bool SendBreak(int ms) {
    (void)ms;
    return false;
  }
  // Changes the rate of the open line, once every byte written has gone out; false when the
  // connection cannot (it stays at the rate it had).
  virtual bool SetRate(std::uint32_t baud) {
    (void)baud;
    return false;
  }
  // True when opening the port may have restarted the device at the other end: a serial
  // port raises DTR when opened, and an Arduino board resets on it (see kDeviceStartupMs).
  virtual bool MayRestartDeviceOnOpen() const { return false; }
};

// Opens and lists the ports of one kind (the machine's serial devices, or "sim...").
class PortDriver {
 public:
  virtual ~PortDriver() = default;
  // True when this driver is the one that opens the port name.
  virtual bool Handles(const std::string& name) const = 0;
  // Null when the port cannot be opened.
  virtual std::unique_ptr<SerialConnection> Open(const std::string& name) = 0;
  // The same at other line settings; a driver without its own line control opens the port
  // only at the default rate and framing.
  virtual std::unique_ptr<SerialConnection> OpenAt(const std::string& name,
                                                   const LineSettings& line) {
    LineSettings plain;
    plain.protocol = line.protocol;
    if (!(line == plain)) return nullptr;
    return Open(name);
  }
  // Port names present, in the order they should be offered.
  virtual std::vector<std::string> Enumerate() = 0;
  // Why the last Open through this driver failed, in words a user can act on (the system's
  // reason, and the fix when there is a simple one); "" after a successful Open.
  virtual std::string LastOpenError() const { return {}; }
  // What the system knows about a port, on one line (for port lists); "" when nothing.
  virtual std::string Describe(const std::string& name) const {
    (void)name;
    return {};
  }
};

}  // namespace bq
