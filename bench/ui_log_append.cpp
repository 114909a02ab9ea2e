// Time to append one message-log entry, with a listener that does what a list view does on
// each append (count the rows, read the newest), when the log holds 1,000 entries and when
// it holds 100,000. Appending must not grow with the log: target ratio < 1.5.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/message_log.h"

namespace {

class ViewLikeListener : public bq::MessageLogListener {
 public:
  explicit ViewLikeListener(const bq::MessageLog& log) : log_(log) {}
  void OnLogEntryAppended(std::uint32_t, const bq::LogEntry&) override {
    rows_ += log_.RowCount();
    chars_ += log_.Row(0).text.size();
  }
  std::size_t sink() const { return rows_ + chars_; }

 private:
  const bq::MessageLog& log_;
  std::size_t rows_ = 0, chars_ = 0;
};

constexpr int kBatch = 1000;

// Nanoseconds per entry for appending a batch to a log that already holds `held` entries.
double NsPerAppend(bq::MessageLog& log) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBatch; ++i) {
    log.AppendLogEntry(bq::LogKind::LogInfo, "Read Signature: 0x1E950F (Chip: ATmega328P)");
  }
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  return took.count() / kBatch;
}

void Fill(bq::MessageLog& log, std::size_t entries) {
  while (log.NextSerial() < entries) log.AppendLogEntry(bq::LogKind::LogSuccess, "Verified OK");
}

}  // namespace

int main() {
  constexpr int kRounds = 15;
  std::vector<double> small, large;
  std::size_t sink = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t held : {std::size_t{1000}, std::size_t{100000}}) {
      bq::MessageLog log;
      Fill(log, held);
      ViewLikeListener listener(log);
      log.SetListener(&listener);
      (held == 1000 ? small : large).push_back(NsPerAppend(log));
      log.SetListener(nullptr);
      sink += listener.sink();
    }
  }
  // The median of the rounds: the machine is shared and noisy.
  std::sort(small.begin(), small.end());
  std::sort(large.begin(), large.end());
  const double atSmall = small[small.size() / 2];
  const double atLarge = large[large.size() / 2];
  const double ratio = atLarge / atSmall;
  std::printf("ui_log_append_1000: measured %.0f ns per entry (%zu)\n", atSmall, sink % 10);
  std::printf("ui_log_append_100000: measured %.0f ns per entry\n", atLarge);
  std::printf("ui_log_append: measured %.0f ns, reference %.0f ns, ratio %.2f (target < 1.5)\n",
              atLarge, atSmall, ratio);
  return ratio < 1.5 ? 0 : 1;
}
