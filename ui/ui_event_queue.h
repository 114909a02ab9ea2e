#pragma once
// Carries the worker's events to the user-interface thread.
//
// The worker calls the WorkerEvents functions on its own thread; they only queue the event
// and, when the queue was empty, call the wake callback. The wake callback must not block and
// must not touch windows: a Win32 front-end posts a window message, a Qt front-end queues a
// call, and the handler of that message calls Drain() on the user-interface thread, which
// hands the events, in the order they were queued, to the target given there.
// A front-end without a thread of its own (the CLI, tests) calls Drain() whenever it likes,
// for example after waiting for the worker to finish.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "link/worker_events.h"

namespace bq {

class UiEventQueue : public WorkerEvents {
 public:
  // Called on the queuing thread when an event arrives in an empty queue. Set it before the
  // worker starts; null for none.
  void SetWakeCallback(std::function<void()> wake);

  void AppendLogEntry(LogKind kind, const std::string& text) override;
  void ProgressSmooth() override;
  void ProgressMarquee() override;
  void ProgressRange(std::uint16_t maximum) override;
  void ProgressPosition(std::uint32_t position) override;
  void ProgressMarqueeStart() override;
  void ProgressMarqueeStop() override;
  void ProgressShow() override;
  void ProgressHide() override;
  void RefillHexView(MemoryKind kind) override;
  void RedrawFuseEditor(FuseEditorKind editor) override;
  void RequestFinished(std::uint8_t command, std::uint8_t status) override;
  // The message log grew (from another thread). Several in a row are delivered once.
  void PostLogChanged();

  // Hands every queued event to target, oldest first, on the calling thread. Events queued
  // while draining are delivered by the same call. Returns the number delivered.
  // onLogChanged runs for a queued PostLogChanged.
  std::size_t Drain(WorkerEvents& target, const std::function<void()>& onLogChanged);

  std::size_t Pending() const;

 private:
  enum class Kind : std::uint8_t {
    Log,
    Smooth,
    Marquee,
    Range,
    Position,
    MarqueeStart,
    MarqueeStop,
    Show,
    Hide,
    Refill,
    RedrawEditor,
    LogChanged,
    Finished,
  };
  struct Event {
    Kind kind = Kind::LogChanged;
    std::uint32_t value = 0;
    LogKind logKind = LogKind::LogInfo;
    std::string text;
  };
  static Event Make(Kind kind, std::uint32_t value = 0) {
    Event e;
    e.kind = kind;
    e.value = value;
    return e;
  }
  void Push(Event event);

  mutable std::mutex mutex_;
  std::deque<Event> events_;
  bool logChangedQueued_ = false;
  std::function<void()> wake_;
};

}  // namespace bq
