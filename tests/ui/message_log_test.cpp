#include "ui/message_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace bq {
namespace {

TEST(MessageLog, RowsAreNewestFirstWithTheirKinds) {
  MessageLog log;
  EXPECT_EQ(log.RowCount(), 0u);
  EXPECT_EQ(log.Row(0), LogEntry{});
  log.AppendLogEntry(LogKind::LogInfo, "A");
  log.AppendLogEntry(LogKind::LogSuccess, "B");
  log.AppendLogEntry(LogKind::LogError, "C");
  ASSERT_EQ(log.RowCount(), 3u);
  EXPECT_EQ(log.Row(0), (LogEntry{LogKind::LogError, "C"}));
  EXPECT_EQ(log.Row(1), (LogEntry{LogKind::LogSuccess, "B"}));
  EXPECT_EQ(log.Row(2), (LogEntry{LogKind::LogInfo, "A"}));
  EXPECT_EQ(log.EntryBySerial(0).text, "A");
  EXPECT_EQ(log.Row(3), LogEntry{});
  const std::string longText(100000, 'x');
  log.AppendLogEntry(LogKind::LogWarning, longText);
  EXPECT_EQ(log.Row(0).text, longText);
}

class Recorder : public MessageLogListener {
 public:
  explicit Recorder(MessageLog& log) : log_(log) {}
  void OnLogEntryAppended(std::uint32_t serial, const LogEntry& entry) override {
    serials.push_back(serial);
    texts.push_back(entry.text);
    // A listener may read the log while it is told of an entry.
    rowZero.push_back(log_.Row(0).text);
  }
  MessageLog& log_;
  std::vector<std::uint32_t> serials;
  std::vector<std::string> texts;
  std::vector<std::string> rowZero;
};

TEST(MessageLog, TwoThreadsLoseNothingAndKeepEachThreadsOrder) {
  MessageLog log;
  Recorder recorder(log);
  log.SetListener(&recorder);
  constexpr int kPerThread = 5000;
  auto writer = [&log](char tag) {
    for (int i = 0; i < kPerThread; ++i)
      log.AppendLogEntry(LogKind::LogInfo, tag + std::to_string(i));
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();

  const LogEntries all = log.Entries();
  ASSERT_EQ(all.size(), 2u * kPerThread);
  int nextA = 0, nextB = 0;
  for (const LogEntry& e : all) {
    int& next = e.text[0] == 'a' ? nextA : nextB;
    EXPECT_EQ(e.text.substr(1), std::to_string(next));
    ++next;
  }
  EXPECT_EQ(nextA, kPerThread);
  EXPECT_EQ(nextB, kPerThread);
  // The listener heard every entry once, in serial order, matching the stored entries.
  ASSERT_EQ(recorder.serials.size(), all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(recorder.serials[i], i);
    EXPECT_EQ(recorder.texts[i], all[i].text);
  }
}

TEST(MessageLog, ListenerMayAppendOnItsOwnThread) {
  MessageLog log;
  class Echo : public MessageLogListener {
   public:
    explicit Echo(MessageLog& l) : log(l) {}
    void OnLogEntryAppended(std::uint32_t, const LogEntry& e) override {
      if (e.text == "ping") log.AppendLogEntry(LogKind::LogInfo, "pong");
    }
    MessageLog& log;
  } echo(log);
  log.SetListener(&echo);
  log.AppendLogEntry(LogKind::LogInfo, "ping");
  ASSERT_EQ(log.RowCount(), 2u);
  EXPECT_EQ(log.Row(0).text, "pong");
  log.Clear();
  EXPECT_EQ(log.NextSerial(), 0u);
}

}  // namespace
}  // namespace bq
