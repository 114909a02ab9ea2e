// Time to append one message-log entry, with a listener that does what a list view does on
// each append (count the rows, read the newest), when the log holds 1,000 entries and when
// it holds 100,000. Appending must not grow with the log: target ratio < 1.5.
//
// Both cases must meet the same memory: a large log otherwise grows into pages fresh from
// the operating system (a page fault every hundred entries) while a small one reuses pages
// freed by the round before, and the ratio would measure the kernel, not the log. So freed
// memory stays in the process (glibc), and the rounds are ranked by their median.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/message_log.h"

#if defined(__GLIBC__)  // known once a C library header is in
#include <malloc.h>
#endif

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
#if defined(__GLIBC__)
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
#endif
  {
    // Untimed: obtains the memory the largest round needs, so that every round reuses it.
    bq::MessageLog warm;
    Fill(warm, 100000 + 2 * kBatch);
  }
  constexpr int kRounds = 21;
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
  volatile std::size_t keep = sink;  // the listener's reads are not optimised away
  (void)keep;
  std::printf("ui_log_append_1000: measured %.0f ns per entry\n", atSmall);
  std::printf("ui_log_append_100000: measured %.0f ns per entry\n", atLarge);
  std::printf("ui_log_append: measured %.0f ns, reference %.0f ns, ratio %.2f (target < 1.5)\n",
              atLarge, atSmall, ratio);
  return ratio < 1.5 ? 0 : 1;
}
