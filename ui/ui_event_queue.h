#pragma once
// Carries the engine thread's events to the user-interface thread.
//
// Deliver only queues the event and, when the queue was empty, calls the wake callback. The
// wake callback must not block and must not touch windows: a Win32 front-end posts a window
// message, a Qt front-end queues a call, and the handler of that message calls Drain() on
// the user-interface thread, which hands the events, in the order they were queued, to the
// handler given there. A front-end without a message loop (tests) calls Drain() whenever it
// likes, for example after waiting for the engine thread.

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "link/worker_events.h"

namespace bq {

class UiEventQueue : public WorkerEvents {
 public:
  // Called on the queuing thread when an event arrives in an empty queue. Set it before the
  // engine thread starts; null for none.
  void SetWakeCallback(std::function<void()> wake);

  void Deliver(WorkerEvent event) override;
  // The message log grew (from another thread). Several in a row are delivered once.
  void PostLogChanged();

  // Hands every queued event to handle, oldest first, on the calling thread. Events queued
  // while draining (also by a nested Drain from a message box's loop) are delivered by the
  // same calls, in order. onLogChanged runs for a queued PostLogChanged. Returns the number
  // delivered.
  std::size_t Drain(const std::function<void(WorkerEvent&)>& handle,
                    const std::function<void()>& onLogChanged);

  std::size_t Pending() const;

 private:
  struct Item {
    bool logChanged = false;
    WorkerEvent event;
  };
  void Push(Item item);

  mutable std::mutex mutex_;
  std::deque<Item> items_;
  bool logChangedQueued_ = false;
  std::function<void()> wake_;
};

}  // namespace bq
