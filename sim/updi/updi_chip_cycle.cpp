#include "sim/updi/updi_chip_cycle.h"

#include <algorithm>

namespace bq {

namespace {

std::unique_ptr<UpdiSerialPeer> NewChip(const PartRecord& part, const std::string& name,
                                        const std::optional<LineSettings>& line) {
  auto peer = std::make_unique<UpdiSerialPeer>(std::make_shared<UpdiChip>(part, name));
  if (line) peer->LineSet(*line);
  return peer;
}

}  // namespace

UpdiChipCyclePeer::UpdiChipCyclePeer(const PartRecord& part, std::string partName,
                                     std::chrono::milliseconds present,
                                     std::chrono::milliseconds absent)
    : part_(part),
      partName_(std::move(partName)),
      present_(present),
      absent_(absent),
      chip_(NewChip(part_, partName_, std::nullopt)) {}

void UpdiChipCyclePeer::LineSet(const LineSettings& line) {
  line_ = line;
  if (chip_) chip_->LineSet(line);
}

bool UpdiChipCyclePeer::ChipThere(Clock::time_point when) {
  for (;;) {
    if (chip_) {
      if (!touched_) {
        touched_ = true;
        leaves_ = when + present_;
      }
      if (when < leaves_) return true;
      chip_.reset();  // with whatever it had yet to send
      returns_ = leaves_ + absent_;
      continue;
    }
    if (when < returns_) return false;
    chip_ = NewChip(part_, partName_, line_);
    touched_ = false;
  }
}

void UpdiChipCyclePeer::Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) {
  if (ChipThere(now)) {
    chip_->Receive(data, n, now);
    return;
  }
  // 12 bit times a character (8E2) at the host's rate.
  const std::uint32_t baud = line_ ? std::max<std::uint32_t>(line_->baud, 1) : 115200;
  const auto byteTime = std::chrono::nanoseconds(12'000'000'000LL / baud);
  for (std::size_t i = 0; i < n; ++i) {
    inDeadline_ = std::max(inDeadline_, now) + byteTime;
    echo_.emplace_back(inDeadline_, data[i]);
  }
}

void UpdiChipCyclePeer::Break(Clock::time_point now) {
  if (ChipThere(now)) chip_->Break(now);
}

std::optional<SerialPeer::Clock::time_point> UpdiChipCyclePeer::TakeDue(
    Clock::time_point now, std::vector<std::uint8_t>& out) {
  while (!echo_.empty() && echo_.front().first <= now) {
    out.push_back(echo_.front().second);
    echo_.pop_front();
  }
  std::optional<Clock::time_point> next;
  if (!echo_.empty()) next = echo_.front().first;
  if (chip_) {
    const std::optional<Clock::time_point> chipNext = chip_->TakeDue(now, out);
    if (chipNext && (!next || *chipNext < *next)) next = chipNext;
  }
  return next;
}

}  // namespace bq
