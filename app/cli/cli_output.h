#pragma once
// What brindlequartz-cli prints where: the command's data on stdout, every log line on
// stderr as "KIND: TEXT" (one entry a line, in the order they happen), the progress bar on
// stderr when it is a terminal.

#include <atomic>
#include <memory>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/log_entry.h"
#include "session/chip_session.h"

namespace bq::cli {

// Exit statuses, the same table as in the help and README.
inline constexpr int kExitOk = 0;         // done and checked
inline constexpr int kExitFailed = 1;     // the chip or the programmer said no
inline constexpr int kExitUsage = 2;      // the command line or a file was wrong
inline constexpr int kExitPort = 3;       // the port could not be opened
inline constexpr int kExitInterrupt = 130;

enum class Verbosity { Quiet, Normal, Verbose };

class Printer {
 public:
  Printer(Verbosity verbosity, bool progress, std::string prefix = "")
      : verbosity_(verbosity), progress_(progress), prefix_(std::move(prefix)) {}

  // A printer for one programmer of several: lines begin with "PORT: ", no progress bar.
  std::unique_ptr<Printer> ForPort(const std::string& port) const {
    return std::make_unique<Printer>(verbosity_, false, port + ": ");
  }

  // Log lines come from the calling thread and from the programmer's worker.
  void Log(LogKind kind, const std::string& text);
  void Log(const LogEntries& entries) {
    for (const LogEntry& e : entries) Log(e.kind, e.text);
  }
  // A line of packet detail (-v only).
  void Trace(const std::string& line);
  void Progress(const SessionProgress& progress);
  bool verbose() const { return verbosity_ == Verbosity::Verbose; }
  // Errors or warnings printed so far.
  bool sawError() const { return errors_.load() > 0; }

 private:
  void ClearBar();  // with the lock held

  std::mutex mutex_;
  Verbosity verbosity_;
  bool progress_;
  std::string prefix_;
  bool barShown_ = false;
  int lastFilled_ = -1;
  std::atomic<int> errors_{0};
};

// "brindlequartz-cli: TEXT" on stderr.
void Complain(const std::string& text);

// Flushes standard output; false once anything written to it was lost (a full disk, a closed
// pipe). The first failure's reason is kept for FinishOutput.
bool FlushOutput();

// At the end of the program: flushes and closes standard output. When anything written to it
// was lost, says so with the system's reason and turns a status of 0 into 2 (a file problem).
int FinishOutput(int status);

}  // namespace bq::cli
