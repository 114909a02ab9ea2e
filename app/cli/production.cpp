#include "app/cli/production.h"

#include <cstdio>
#include <filesystem>

#include "core/utf8_path.h"

namespace bq::cli {

namespace {

// A counter file holds one number: more than this is not one.
constexpr std::size_t kMaxCounterBytes = 4096;

// The file, up to a little more than a counter can be, or nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::FILE* file = OpenFileUtf8(path, "rb");
  if (file == nullptr) return std::nullopt;
  std::string text;
  char chunk[256];
  std::size_t n = 0;
  while (text.size() <= kMaxCounterBytes && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    text.append(chunk, n);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return text;
}

}  // namespace

std::unique_ptr<ProductionRun> ProductionRun::Open(const ChipOptions& o, Printer& out,
                                                   int& status) {
  status = kExitUsage;
  std::unique_ptr<ProductionRun> run(new ProductionRun());
  if (o.repeat) run->count_ = o.count;
  if (o.serial) {
    std::string why;
    run->serial_ = ParseSerialPlace(*o.serial, &why);
    if (!run->serial_) {
      Complain(why);
      return nullptr;
    }
    const std::uint64_t max = MaxSerialNumber(*run->serial_);
    std::uint64_t next = o.serialStart.value_or(1);
    SerialCounter::Save save = [](std::uint64_t, std::string*) { return true; };
    if (o.serialFile) {
      const std::string& file = *o.serialFile;
      // The counter is replaced by a renamed file: a device or pipe would block the reader,
      // feed it without end, or be replaced itself.
      std::error_code ec;
      const auto kind = std::filesystem::status(PathFromUtf8(file), ec);
      if (std::filesystem::exists(kind) && !std::filesystem::is_regular_file(kind)) {
        Complain(file +
                 (std::filesystem::is_directory(kind) ? " is a folder" : " is not a regular file") +
                 "; --serial-file needs a regular file to keep the next serial number in");
        return nullptr;
      }
      // A lock file beside the counter: the counter itself is replaced by a rename, which
      // would leave a lock on it behind with the old file.
      bool busy = false;
      if (!run->serialLock_.TryLock(file + ".lock", &busy, &why)) {
        Complain(busy ? file + " is in use by another run (" + file +
                            ".lock is locked); wait for that run to end or give another "
                            "--serial-file"
                      : why);
        return nullptr;
      }
      if (std::filesystem::exists(PathFromUtf8(file), ec)) {
        const std::optional<std::string> text = ReadWholeFile(file);
        const std::optional<std::uint64_t> kept = text ? ParseSerialCounter(*text) : std::nullopt;
        if (!kept) {
          Complain(file +
                   " does not hold the next serial number (one decimal number); correct "
                   "or remove it");
          return nullptr;
        }
        next = FirstSerialNumber(o.serialStart, kept);
        if (o.serialStart && *o.serialStart < *kept) {
          out.Log(LogKind::LogInfo, "serial numbers go on from " + std::to_string(*kept) +
                                        ", the next number " + file + " keeps (--serial-start " +
                                        std::to_string(*o.serialStart) + " only seeds a new file)");
        } else if (o.serialStart && *o.serialStart > *kept) {
          out.Log(LogKind::LogInfo, "serial numbers move forward to " +
                                        std::to_string(*o.serialStart) + " (" + file + " kept " +
                                        std::to_string(*kept) + ")");
        }
      }
      save = [file](std::uint64_t n, std::string* reason) {
        return ReplaceFileDurably(file, FormatSerialCounter(n), reason);
      };
    }
    if (next > max) {
      Complain("the serial number " + std::to_string(next) + " does not fit in " +
               std::to_string(run->serial_->bytes) + " bytes (" + std::to_string(max) +
               " is the largest)");
      return nullptr;
    }
    run->counter_ = std::make_unique<SerialCounter>(next, max, std::move(save));
  }
  if (o.logFile) {
    std::string why;
    if (!AppendFileDurably(*o.logFile, "", &why)) {
      Complain(why + " (--log)");
      return nullptr;
    }
    run->log_ = o.logFile;
  }
  status = kExitOk;
  return run;
}

bool ProductionRun::Log(const ChipRecord& record, std::string* why) {
  if (!log_) return true;
  std::lock_guard<std::mutex> lock(logMutex_);
  return AppendFileDurably(*log_, ChipRecordJson(record) + "\n", why);
}

ProductionRun::Slot ProductionRun::Reserve() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ && passed_ >= *count_) return Slot::Done;
  if (count_ && passed_ + busy_ >= *count_) return Slot::Wait;
  ++busy_;
  return Slot::Go;
}

void ProductionRun::Finished(bool passed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_ > 0) --busy_;
  ++(passed ? passed_ : failed_);
  last_ = std::chrono::steady_clock::now();
}

bool ProductionRun::Done() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_ && passed_ >= *count_;
}

void ProductionRun::PrintSummary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint32_t chips = passed_ + failed_;
  const double seconds = std::chrono::duration<double>(last_.value_or(started_) - started_).count();
  const double perHour = seconds > 0 ? chips * 3600.0 / seconds : 0.0;
  std::printf("Summary: %u passed, %u failed, %u chip%s in %.1fs, %.0f chips per hour\n", passed_,
              failed_, chips, chips == 1 ? "" : "s", seconds, perHour);
  FlushOutput();
}

}  // namespace bq::cli
