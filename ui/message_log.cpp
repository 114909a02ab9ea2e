#include "ui/message_log.h"

#include <utility>

namespace bq {

void MessageLog::AppendLogEntry(LogKind kind, std::string text) {
  std::lock_guard notifyLock(notifyMutex_);
  std::uint32_t serial = 0;
  LogEntry copy;
  {
    std::lock_guard lock(entriesMutex_);
    serial = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(LogEntry{kind, std::move(text)});
    if (listener_ != nullptr) copy = entries_.back();
  }
  if (listener_ != nullptr) listener_->OnLogEntryAppended(serial, copy);
}

std::uint32_t MessageLog::NextSerial() const {
  std::lock_guard lock(entriesMutex_);
  return static_cast<std::uint32_t>(entries_.size());
}

LogEntry MessageLog::Row(std::size_t row) const {
  std::lock_guard lock(entriesMutex_);
  if (row >= entries_.size()) return {};
  return entries_[entries_.size() - 1 - row];
}

LogEntry MessageLog::EntryBySerial(std::uint32_t serial) const {
  std::lock_guard lock(entriesMutex_);
  if (serial >= entries_.size()) return {};
  return entries_[serial];
}

LogEntries MessageLog::Entries() const {
  std::lock_guard lock(entriesMutex_);
  return LogEntries(entries_.begin(), entries_.end());
}

void MessageLog::Clear() {
  std::lock_guard notifyLock(notifyMutex_);
  std::lock_guard lock(entriesMutex_);
  entries_.clear();
}

void MessageLog::SetListener(MessageLogListener* listener) {
  std::lock_guard notifyLock(notifyMutex_);
  listener_ = listener;
}

}  // namespace bq
