#include "ui/ui_event_queue.h"

#include <utility>

namespace bq {

void UiEventQueue::SetWakeCallback(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

void UiEventQueue::Push(Event event) {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    if (event.kind == Kind::LogChanged) {
      if (logChangedQueued_) return;
      logChangedQueued_ = true;
    }
    const bool wasEmpty = events_.empty();
    events_.push_back(std::move(event));
    if (wasEmpty) wake = wake_;
  }
  // Outside the lock: a wake callback that drains at once must not deadlock.
  if (wake) wake();
}

void UiEventQueue::AppendLogEntry(LogKind kind, const std::string& text) {
  Event e = Make(Kind::Log);
  e.logKind = kind;
  e.text = text;
  Push(std::move(e));
}
void UiEventQueue::ProgressSmooth() {
  Push(Make(Kind::Smooth));
}
void UiEventQueue::ProgressMarquee() {
  Push(Make(Kind::Marquee));
}
void UiEventQueue::ProgressRange(std::uint16_t maximum) {
  Push(Make(Kind::Range, maximum));
}
void UiEventQueue::ProgressPosition(std::uint32_t position) {
  Push(Make(Kind::Position, position));
}
void UiEventQueue::ProgressMarqueeStart() {
  Push(Make(Kind::MarqueeStart));
}
void UiEventQueue::ProgressMarqueeStop() {
  Push(Make(Kind::MarqueeStop));
}
void UiEventQueue::ProgressShow() {
  Push(Make(Kind::Show));
}
void UiEventQueue::ProgressHide() {
  Push(Make(Kind::Hide));
}
void UiEventQueue::RefillHexView(MemoryKind kind) {
  Push(Make(Kind::Refill, kind));
}
void UiEventQueue::RedrawFuseEditor(FuseEditorKind editor) {
  Push(Make(Kind::RedrawEditor, static_cast<std::uint32_t>(editor)));
}
void UiEventQueue::RequestFinished(std::uint8_t command, std::uint8_t status) {
  Push(Make(Kind::Finished, std::uint32_t{command} << 8 | status));
}
void UiEventQueue::PostLogChanged() {
  Push(Make(Kind::LogChanged));
}

std::size_t UiEventQueue::Pending() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

std::size_t UiEventQueue::Drain(WorkerEvents& target, const std::function<void()>& onLogChanged) {
  std::size_t delivered = 0;
  for (;;) {
    Event e;
    {
      std::lock_guard lock(mutex_);
      if (events_.empty()) return delivered;
      e = std::move(events_.front());
      events_.pop_front();
      if (e.kind == Kind::LogChanged) logChangedQueued_ = false;
    }
    ++delivered;
    switch (e.kind) {
      case Kind::Log:
        target.AppendLogEntry(e.logKind, e.text);
        break;
      case Kind::Smooth:
        target.ProgressSmooth();
        break;
      case Kind::Marquee:
        target.ProgressMarquee();
        break;
      case Kind::Range:
        target.ProgressRange(static_cast<std::uint16_t>(e.value));
        break;
      case Kind::Position:
        target.ProgressPosition(e.value);
        break;
      case Kind::MarqueeStart:
        target.ProgressMarqueeStart();
        break;
      case Kind::MarqueeStop:
        target.ProgressMarqueeStop();
        break;
      case Kind::Show:
        target.ProgressShow();
        break;
      case Kind::Hide:
        target.ProgressHide();
        break;
      case Kind::Refill:
        target.RefillHexView(static_cast<MemoryKind>(e.value));
        break;
      case Kind::RedrawEditor:
        target.RedrawFuseEditor(static_cast<FuseEditorKind>(e.value));
        break;
      case Kind::LogChanged:
        if (onLogChanged) onLogChanged();
        break;
      case Kind::Finished:
        target.RequestFinished(static_cast<std::uint8_t>(e.value >> 8),
                               static_cast<std::uint8_t>(e.value & 0xFFu));
        break;
    }
  }
}

}  // namespace bq
