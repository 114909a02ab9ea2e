// The worker's events reach the user-interface thread in order, only when it drains.

#include "ui/ui_event_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace bq {
namespace {

class Recorder : public WorkerEvents {
 public:
  void AppendLogEntry(LogKind, const std::string& text) override { seen.push_back("log " + text); }
  void ProgressSmooth() override { seen.push_back("smooth"); }
  void ProgressMarquee() override { seen.push_back("marquee"); }
  void ProgressRange(std::uint16_t m) override { seen.push_back("range " + std::to_string(m)); }
  void ProgressPosition(std::uint32_t p) override { seen.push_back("pos " + std::to_string(p)); }
  void ProgressMarqueeStart() override { seen.push_back("marquee on"); }
  void ProgressMarqueeStop() override { seen.push_back("marquee off"); }
  void ProgressShow() override { seen.push_back("show"); }
  void ProgressHide() override { seen.push_back("hide"); }
  void RefillHexView(MemoryKind k) override { seen.push_back("refill " + std::to_string(k)); }
  void RedrawFuseEditor(FuseEditorKind e) override {
    seen.push_back("editor " + std::to_string(static_cast<int>(e)));
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
    queue.ProgressSmooth();
    queue.ProgressRange(64);
    queue.ProgressPosition(0);
    queue.ProgressShow();
    for (std::uint32_t p = 1; p <= 64; ++p) queue.ProgressPosition(p);
    queue.ProgressHide();
    queue.RefillHexView(MEMORY_EEPROM);
    queue.RedrawFuseEditor(FuseEditorKind::LockBits);
    queue.AppendLogEntry(LogKind::LogSuccess, "EEPROM read into buffer");
  });
  const std::thread::id workerId = worker.get_id();
  worker.join();
  EXPECT_EQ(wakes.load(), 1);  // one wake-up for a batch the user interface has not taken yet
  EXPECT_EQ(wakeThread, workerId);

  Recorder target;
  int logChanged = 0;
  EXPECT_EQ(queue.Drain(target, [&] { ++logChanged; }), 72u);
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

  queue.ProgressShow();  // the queue is empty again: the next event wakes again
  EXPECT_EQ(wakes.load(), 2);
}

TEST(UiEventQueueTest, LogChangesCollapseUntilDrained) {
  UiEventQueue queue;
  for (int i = 0; i < 100; ++i) queue.PostLogChanged();
  queue.ProgressHide();
  queue.PostLogChanged();  // one is still waiting
  Recorder target;
  int logChanged = 0;
  queue.Drain(target, [&] { ++logChanged; });
  EXPECT_EQ(logChanged, 1);
  EXPECT_EQ(target.seen, std::vector<std::string>{"hide"});
  queue.PostLogChanged();
  queue.Drain(target, [&] { ++logChanged; });
  EXPECT_EQ(logChanged, 2);
}

TEST(UiEventQueueTest, AWakeCallbackMayDrainAtOnce) {
  // The CLI has no user-interface thread: it drains from the wake-up itself.
  UiEventQueue queue;
  Recorder target;
  queue.SetWakeCallback([&] { queue.Drain(target, {}); });
  queue.ProgressShow();
  queue.ProgressHide();
  EXPECT_EQ(target.seen, (std::vector<std::string>{"show", "hide"}));
}

}  // namespace
}  // namespace bq
