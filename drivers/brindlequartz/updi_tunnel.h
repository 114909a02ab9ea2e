#pragma once
// The UPDI line of our firmware's UPDI header as a serial port, so that the SerialUPDI driver
// runs over it unchanged: its bytes go out in CMD_UPDI_EXCHANGE packets, the firmware sends
// them on the UPDI pin and checks their echo, and the chip's answer comes back in ANS_UPDI.
// A BREAK is CMD_UPDI_BREAK, a rate change CMD_UPDI_OPEN. Opening the port opens the line
// (CMD_UPDI_OPEN), with the 12 V activation pulse first when it was asked for.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq {

// How the tunnel reaches the programmer: one CMD_UPDI_* request and its answer.
class UpdiTunnelLink {
 public:
  virtual ~UpdiTunnelLink() = default;
  // False when the programmer refused (device error, in *status) or the link failed.
  virtual bool Request(std::uint8_t code, const std::vector<std::uint8_t>& payload,
                       std::vector<std::uint8_t>& answer, std::uint8_t& status) = 0;
};

// The one port name the tunnel answers to.
inline constexpr const char* kUpdiTunnelPortName = "brindlequartz-updi";
// The 12 V pulse's width: inside the datasheets' 100 us to 1 ms.
inline constexpr std::uint16_t kUpdiPulseUs = 500;

class UpdiTunnelConnection : public SerialConnection {
 public:
  explicit UpdiTunnelConnection(UpdiTunnelLink& link) : link_(link) {}

  bool Write(const std::uint8_t* data, std::size_t n) override;
  long Read(std::uint8_t* data, std::size_t n) override;
  long ReadWithin(std::uint8_t* data, std::size_t n, int totalMs) override;
  void DiscardInput() override;
  bool SendBreak(int ms) override;
  bool SetRate(std::uint32_t baud) override;

 private:
  // Sends what was written, in packets of at most 252 bytes; their echo goes to the inbox.
  // False when the echo did not come back whole or the programmer failed.
  bool Flush();
  bool Exchange(const std::uint8_t* data, std::size_t n, std::size_t want, int ms,
                std::vector<std::uint8_t>& got, std::uint8_t& echo);

  UpdiTunnelLink& link_;
  std::vector<std::uint8_t> pending_;
  std::deque<std::uint8_t> inbox_;
  bool discard_ = false;  // the next exchange drops what the firmware received before
  bool broken_ = false;   // the last flush failed: the next read takes only what came
};

class UpdiTunnelPortDriver : public PortDriver {
 public:
  explicit UpdiTunnelPortDriver(UpdiTunnelLink& link) : link_(link) {}

  // The next open applies the 12 V activation pulse first (once).
  void ArmPulse(std::uint16_t widthUs) { pulseUs_ = widthUs; }

  bool Handles(const std::string& name) const override { return name == kUpdiTunnelPortName; }
  std::unique_ptr<SerialConnection> Open(const std::string& name) override;
  std::unique_ptr<SerialConnection> OpenAt(const std::string& name,
                                           const LineSettings& line) override;
  std::vector<std::string> Enumerate() override { return {}; }
  std::string LastOpenError() const override { return error_; }
  // The device error of the last refused open (STATUS_DEVICE_UNKNOWN_COMMAND: no UPDI header).
  std::uint8_t LastOpenStatus() const { return openStatus_; }

 private:
  UpdiTunnelLink& link_;
  std::uint16_t pulseUs_ = 0;
  std::string error_;
  std::uint8_t openStatus_ = 0;
};

// The CMD_UPDI_OPEN payload: the rate, and the pulse width when it is not 0.
std::vector<std::uint8_t> UpdiOpenPayload(std::uint32_t baud, std::uint16_t pulseUs);

}  // namespace bq
