// The worker's events reach the user-interface thread in order, only when it drains.

#include "ui/ui_event_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace bq {
namespace {

// What the user-interface thread was handed, one line an event.
struct Recorder {
  void operator()(WorkerEvent& event) {
    static const char* const kSteps[] = {"smooth",     "marquee",     "range ", "pos ",
                                         "marquee on", "marquee off", "show",   "hide"};
    if (const auto* line = std::get_if<LogLine>(&event)) {
      seen.push_back("log " + line->text);
    } else if (const auto* p = std::get_if<ProgressEvent>(&event)) {
      const bool valued = p->step == ProgressStep::Range || p->step == ProgressStep::Position;
      seen.push_back(kSteps[static_cast<int>(p->step)] + (valued ? std::to_string(p->value) : ""));
    } else if (const auto* m = std::get_if<MemoryRead>(&event)) {
      seen.push_back("refill " + std::to_string(m->kind));
    } else if (const auto* f = std::get_if<FusesRead>(&event)) {
      seen.push_back("editor " + std::to_string(static_cast<int>(f->editor)));
    }
  }
  std::vector<std::string> seen;
};

TEST(UiEventQueueTest, EventsFromAnotherThreadArriveInOrderWhenDrained) {
  UiEventQueue queue;
  std::atomic<int> wakes{0};
  std::thread::id wakeThread;
  queue.SetWakeCallback([&] {
    wakeThread = std::this_thread::get_id();
    ++wakes;
  });
  std::thread worker([&] {
    queue.Progress(ProgressStep::Smooth);
    queue.Progress(ProgressStep::Range, 64);
    queue.Progress(ProgressStep::Position, 0);
    queue.Progress(ProgressStep::Show);
    for (std::uint32_t p = 1; p <= 64; ++p) queue.Progress(ProgressStep::Position, p);
    queue.Progress(ProgressStep::Hide);
    queue.Deliver(MemoryRead{MEMORY_EEPROM, {}});
    queue.Deliver(FusesRead{FuseEditorKind::LockBits, false, {}});
    queue.Log(LogKind::LogSuccess, "EEPROM read into buffer");
  });
  const std::thread::id workerId = worker.get_id();
  worker.join();
  EXPECT_EQ(wakes.load(), 1);  // one wake-up for a batch the user interface has not taken yet
  EXPECT_EQ(wakeThread, workerId);

  Recorder target;
  int logChanged = 0;
  EXPECT_EQ(queue.Drain(std::ref(target), [&] { ++logChanged; }), 72u);
  ASSERT_EQ(target.seen.size(), 72u);
  EXPECT_EQ(target.seen[0], "smooth");
  EXPECT_EQ(target.seen[1], "range 64");
  EXPECT_EQ(target.seen[3], "show");
  EXPECT_EQ(target.seen[67], "pos 64");
  EXPECT_EQ(target.seen[68], "hide");
  EXPECT_EQ(target.seen[69], "refill 2");
  EXPECT_EQ(target.seen[70], "editor 1");
  EXPECT_EQ(target.seen[71], "log EEPROM read into buffer");
  EXPECT_EQ(queue.Pending(), 0u);

  queue.Progress(ProgressStep::Show);  // the queue is empty again: the next event wakes again
  EXPECT_EQ(wakes.load(), 2);
}

TEST(UiEventQueueTest, LogChangesCollapseUntilDrained) {
  UiEventQueue queue;
  for (int i = 0; i < 100; ++i) queue.PostLogChanged();
  queue.Progress(ProgressStep::Hide);
  queue.PostLogChanged();  // one is still waiting
  Recorder target;
  int logChanged = 0;
  queue.Drain(std::ref(target), [&] { ++logChanged; });
  EXPECT_EQ(logChanged, 1);
  EXPECT_EQ(target.seen, std::vector<std::string>{"hide"});
  queue.PostLogChanged();
  queue.Drain(std::ref(target), [&] { ++logChanged; });
  EXPECT_EQ(logChanged, 2);
}

TEST(UiEventQueueTest, AWakeCallbackMayDrainAtOnce) {
  // A caller without a user-interface thread drains from the wake-up itself.
  UiEventQueue queue;
  Recorder target;
  queue.SetWakeCallback([&] { queue.Drain(std::ref(target), {}); });
  queue.Progress(ProgressStep::Show);
  queue.Progress(ProgressStep::Hide);
  EXPECT_EQ(target.seen, (std::vector<std::string>{"show", "hide"}));
}

}  // namespace
}  // namespace bq
