#include "drivers/brindlequartz/updi_tunnel.h"

#include <algorithm>
#include <chrono>

#include "link/protocol.h"

namespace bq {

std::vector<std::uint8_t> UpdiOpenPayload(std::uint32_t baud, std::uint16_t pulseUs) {
  std::vector<std::uint8_t> payload;
  for (int shift = 24; shift >= 0; shift -= 8) {
    payload.push_back(static_cast<std::uint8_t>((baud >> shift) & 0xFFu));
  }
  if (pulseUs != 0) {
    payload.push_back(static_cast<std::uint8_t>(pulseUs >> 8));
    payload.push_back(static_cast<std::uint8_t>(pulseUs & 0xFFu));
  }
  return payload;
}

bool UpdiTunnelConnection::Write(const std::uint8_t* data, std::size_t n) {
  pending_.insert(pending_.end(), data, data + n);
  return true;
}

bool UpdiTunnelConnection::Exchange(const std::uint8_t* data, std::size_t n, std::size_t want,
                                    int ms, std::vector<std::uint8_t>& got, std::uint8_t& echo) {
  got.clear();
  echo = kUpdiEchoMissing;
  std::vector<std::uint8_t> payload{static_cast<std::uint8_t>(discard_ ? 1 : 0),
                                    static_cast<std::uint8_t>(want),
                                    static_cast<std::uint8_t>(std::clamp(ms, 1, 255))};
  payload.insert(payload.end(), data, data + n);
  std::vector<std::uint8_t> answer;
  std::uint8_t status = 0;
  if (!link_.Request(CMD_UPDI_EXCHANGE, payload, answer, status) || answer.empty()) return false;
  discard_ = false;
  echo = answer[0];
  got.assign(answer.begin() + 1, answer.end());
  return true;
}

bool UpdiTunnelConnection::Flush() {
  std::vector<std::uint8_t> got;
  std::size_t at = 0;
  bool ok = true;
  while (ok && at < pending_.size()) {
    const std::size_t n = std::min(kUpdiExchangeMaxSend, pending_.size() - at);
    std::uint8_t echo = 0;
    ok = Exchange(pending_.data() + at, n, 0, 1, got, echo) && echo == kUpdiEchoOk;
    // On a failed echo the bytes that did come back are what the caller reads as the echo.
    if (echo == kUpdiEchoOk) {
      inbox_.insert(inbox_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(at),
                    pending_.begin() + static_cast<std::ptrdiff_t>(at + n));
    } else {
      inbox_.insert(inbox_.end(), got.begin(), got.end());
    }
    at += n;
  }
  pending_.clear();
  return ok;
}

long UpdiTunnelConnection::Read(std::uint8_t* data, std::size_t n) {
  return ReadWithin(
      data, n,
      SerialTimeouts::kTotalConstantMs + SerialTimeouts::kTotalPerByteMs * static_cast<int>(n));
}

long UpdiTunnelConnection::ReadWithin(std::uint8_t* data, std::size_t n, int totalMs) {
  if (!pending_.empty()) broken_ = !Flush();
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs);
  std::vector<std::uint8_t> got;
  while (!broken_ && inbox_.size() < n) {
    const std::size_t want = std::min(kUpdiExchangeMaxReceive, n - inbox_.size());
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    std::uint8_t echo = 0;
    if (!Exchange(nullptr, 0, want, static_cast<int>(left.count()), got, echo)) {
      if (inbox_.empty()) return -1;
      break;
    }
    inbox_.insert(inbox_.end(), got.begin(), got.end());
    if (got.size() < want) break;  // the time was up in the firmware
  }
  broken_ = false;
  const std::size_t count = std::min(n, inbox_.size());
  std::copy_n(inbox_.begin(), count, data);
  inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(count));
  return static_cast<long>(count);
}

void UpdiTunnelConnection::DiscardInput() {
  pending_.clear();
  inbox_.clear();
  discard_ = true;
}

bool UpdiTunnelConnection::SendBreak(int ms) {
  (void)ms;  // the firmware's BREAK is always 41 ms, longer than any the UPDI needs
  pending_.clear();
  inbox_.clear();
  std::vector<std::uint8_t> answer;
  std::uint8_t status = 0;
  return link_.Request(CMD_UPDI_BREAK, {}, answer, status);
}

bool UpdiTunnelConnection::SetRate(std::uint32_t baud) {
  if (!pending_.empty()) broken_ = !Flush();
  std::vector<std::uint8_t> answer;
  std::uint8_t status = 0;
  return link_.Request(CMD_UPDI_OPEN, UpdiOpenPayload(baud, 0), answer, status);
}

std::unique_ptr<SerialConnection> UpdiTunnelPortDriver::Open(const std::string& name) {
  return OpenAt(name, LineSettings{});
}

std::unique_ptr<SerialConnection> UpdiTunnelPortDriver::OpenAt(const std::string& name,
                                                               const LineSettings& line) {
  error_.clear();
  openStatus_ = 0;
  if (!Handles(name) || line.dataBits != 8 || line.parity != LineSettings::Parity::Even ||
      line.stopBits != 2) {
    error_ = "The UPDI header runs 8 data bits, even parity and 2 stop bits only";
    return nullptr;
  }
  const std::uint16_t pulse = pulseUs_;
  pulseUs_ = 0;
  std::vector<std::uint8_t> answer;
  if (!link_.Request(CMD_UPDI_OPEN, UpdiOpenPayload(line.baud, pulse), answer, openStatus_)) {
    error_ = openStatus_ == STATUS_DEVICE_UNKNOWN_COMMAND
                 ? "This programmer has no UPDI header (our firmware has one)"
                 : "The programmer did not open its UPDI header: " + LinkStatusText(openStatus_);
    return nullptr;
  }
  return std::make_unique<UpdiTunnelConnection>(link_);
}

}  // namespace bq
