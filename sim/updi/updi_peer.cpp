#include "sim/updi/updi_peer.h"

#include <algorithm>

namespace bq {

UpdiSerialPeer::UpdiSerialPeer(std::shared_ptr<UpdiChip> chip, std::shared_ptr<std::mutex> mutex)
    : chip_(std::move(chip)), mutex_(mutex ? std::move(mutex) : std::make_shared<std::mutex>()) {}

void UpdiSerialPeer::LineSet(const LineSettings& line) {
  std::lock_guard<std::mutex> lock(*mutex_);
  chip_->SetHostLine(line.baud, true);
}

void UpdiSerialPeer::Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(*mutex_);
  // Bytes read together left the host one character time apart.
  for (std::size_t i = 0; i < n; ++i) {
    inDeadline_ = std::max(inDeadline_, now) + chip_->HostByteTime();
    chip_->Receive(data[i], inDeadline_);
  }
}

void UpdiSerialPeer::Break(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(*mutex_);
  chip_->Break(now);
}

std::optional<SerialPeer::Clock::time_point> UpdiSerialPeer::TakeDue(
    Clock::time_point now, std::vector<std::uint8_t>& out) {
  std::lock_guard<std::mutex> lock(*mutex_);
  chip_->TakeDue(now, out);
  return chip_->NextBatch();
}

UpdiSimConnection::UpdiSimConnection(std::shared_ptr<UpdiChip> chip,
                                     std::shared_ptr<std::mutex> mutex, const LineSettings& line)
    : chip_(std::move(chip)),
      mutex_(mutex ? std::move(mutex) : std::make_shared<std::mutex>()),
      evenParity_(line.parity == LineSettings::Parity::Even) {
  std::lock_guard<std::mutex> lock(*mutex_);
  chip_->SetHostLine(line.baud, evenParity_);
  chip_->DiscardPending();
}

UpdiChip::Clock::time_point UpdiSimConnection::Now() const {
  return std::max(UpdiChip::Clock::now(), chip_->Latest());
}

bool UpdiSimConnection::Write(const std::uint8_t* data, std::size_t n) {
  std::lock_guard<std::mutex> lock(*mutex_);
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < n; ++i) {
    chip_->Receive(data[i], Now() + chip_->HostByteTime());
    chip_->TakeAll(Now(), out);
  }
  received_.insert(received_.end(), out.begin(), out.end());
  return true;
}

long UpdiSimConnection::Read(std::uint8_t* data, std::size_t n) {
  std::lock_guard<std::mutex> lock(*mutex_);
  std::size_t got = 0;
  while (got < n && !received_.empty()) {
    data[got++] = received_.front();
    received_.pop_front();
  }
  return static_cast<long>(got);
}

void UpdiSimConnection::DiscardInput() {
  std::lock_guard<std::mutex> lock(*mutex_);
  received_.clear();
}

bool UpdiSimConnection::SendBreak(int ms) {
  std::lock_guard<std::mutex> lock(*mutex_);
  chip_->Break(Now() + std::chrono::milliseconds(std::max(ms, 0)));
  return true;
}

bool UpdiSimConnection::SetRate(std::uint32_t baud) {
  if (baud == 0) return false;
  std::lock_guard<std::mutex> lock(*mutex_);
  chip_->SetHostLine(baud, evenParity_);
  return true;
}

}  // namespace bq
