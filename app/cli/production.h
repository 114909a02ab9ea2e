#pragma once
// What the programmers of one production run share: the --count of chips that must pass,
// the serial number counter (its --serial-file locked for the whole run), the --log file
// (one line a chip, one writer at a time) and the tally for the summary.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/cli/chip_commands.h"
#include "platform/durable_file.h"
#include "session/chip_record.h"
#include "session/serial_numbers.h"

namespace bq::cli {

class ProductionRun {
 public:
  // Checks what the options name and takes the counter file's lock. On failure prints why
  // and returns null with the exit status in status. A counter file that is ahead of
  // --serial-start wins (an info line on out says so).
  static std::unique_ptr<ProductionRun> Open(const ChipOptions& options, Printer& out, int& status);

  const std::optional<SerialPlace>& serial() const { return serial_; }
  // The next serial number, saved as used before it is returned.
  bool TakeSerial(std::uint64_t& number, std::string* why) { return counter_->Take(number, why); }

  bool logging() const { return log_.has_value(); }
  // Appends the record's line and flushes it to the disk.
  bool Log(const ChipRecord& record, std::string* why);

  // A chip was found: Go programs it; Wait leaves it until the chips being programmed on
  // other programmers have passed or failed; Done: --count chips have passed.
  enum class Slot { Go, Wait, Done };
  Slot Reserve();
  void Finished(bool passed);
  bool Done() const;

  // "Summary: 3 passed, 1 failed, 4 chips in 17.0s, 847 chips per hour" on stdout: the time
  // from the start of the run to the end of its last chip, waits between chips included.
  void PrintSummary() const;

 private:
  ProductionRun() = default;

  mutable std::mutex mutex_;
  std::optional<std::uint32_t> count_;
  std::uint32_t passed_ = 0, failed_ = 0, busy_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> last_;

  std::optional<SerialPlace> serial_;
  FileLock serialLock_;
  std::unique_ptr<SerialCounter> counter_;

  std::optional<std::string> log_;
  std::mutex logMutex_;
};

}  // namespace bq::cli
