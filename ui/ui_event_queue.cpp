#include "ui/ui_event_queue.h"

#include <utility>

namespace bq {

void UiEventQueue::SetWakeCallback(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = std::move(wake);
}

void UiEventQueue::Push(Item item) {
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool wasEmpty = items_.empty();
    items_.push_back(std::move(item));
    if (wasEmpty) wake = wake_;
  }
  // Outside the lock: the callback may post to a queue that takes its own lock.
  if (wake) wake();
}

void UiEventQueue::Deliver(WorkerEvent event) {
  Push(Item{false, std::move(event)});
}

void UiEventQueue::PostLogChanged() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (logChangedQueued_) return;
    logChangedQueued_ = true;
  }
  Push(Item{true, LogLine{}});
}

std::size_t UiEventQueue::Drain(const std::function<void(WorkerEvent&)>& handle,
                                const std::function<void()>& onLogChanged) {
  std::size_t delivered = 0;
  for (;;) {
    Item item;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (items_.empty()) break;
      item = std::move(items_.front());
      items_.pop_front();
      if (item.logChanged) logChangedQueued_ = false;
    }
    ++delivered;
    if (item.logChanged) {
      if (onLogChanged) onLogChanged();
    } else if (handle) {
      handle(item.event);
    }
  }
  return delivered;
}

std::size_t UiEventQueue::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

}  // namespace bq
