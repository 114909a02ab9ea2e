#include "app/cli/cli_output.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace bq::cli {

void Printer::ClearBar() {
  if (!barShown_) return;
  std::fputs("\r\033[K", stderr);
  barShown_ = false;
}

void Printer::Log(LogKind kind, const std::string& text) {
  if (kind == LogKind::LogError) errors_.fetch_add(1);
  if (verbosity_ == Verbosity::Quiet && kind != LogKind::LogError && kind != LogKind::LogWarning) {
    return;
  }
  // The engine's error texts may begin with their own "ERROR: ": one prefix is enough.
  constexpr std::string_view kOwnPrefix = "ERROR: ";
  const char* shown = text.c_str();
  if (kind == LogKind::LogError && text.rfind(kOwnPrefix, 0) == 0) shown += kOwnPrefix.size();
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBar();
  std::fprintf(stderr, "%s%s: %s\n", prefix_.c_str(), LogKindWord(kind), shown);
  std::fflush(stderr);
}

void Printer::Trace(const std::string& line) {
  if (verbosity_ != Verbosity::Verbose) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBar();
  std::fprintf(stderr, "%spacket: %s\n", prefix_.c_str(), line.c_str());
  std::fflush(stderr);
}

void Printer::Progress(const SessionProgress& p) {
  if (!progress_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (p.finished) {
    ClearBar();
    lastFilled_ = -1;
    std::fflush(stderr);
    return;
  }
  if (p.busy) {
    std::fputs("\r[ working ... ]", stderr);
  } else {
    constexpr int kWidth = 40;
    const std::uint32_t max = p.total == 0 ? 1 : p.total;
    const std::uint32_t pos = p.done > max ? max : p.done;
    const int filled = static_cast<int>(pos * kWidth / max);
    // One redraw per step of the bar is enough for the eye.
    if (filled == lastFilled_ && pos != max && pos != 0) return;
    lastFilled_ = filled;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "\r[%s] %u/%u pages", bar.c_str(), pos, static_cast<unsigned>(max));
  }
  barShown_ = true;
  std::fflush(stderr);
}

void Complain(const std::string& text) {
  std::fprintf(stderr, "brindlequartz-cli: %s\n", text.c_str());
  std::fflush(stderr);
}

namespace {
// The errno of the first failed write to standard output; 0 while none failed.
std::atomic<int> g_outputError{0};

bool OutputFailed(int error) {
  int none = 0;
  g_outputError.compare_exchange_strong(none, error == 0 ? EIO : error);
  return false;
}
}  // namespace

bool FlushOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0) return OutputFailed(errno);
  if (std::ferror(stdout) != 0) {
    // A write inside printf failed and its reason is gone: the output is broken already, so
    // one line end more asks the system again.
    std::clearerr(stdout);
    errno = 0;
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return OutputFailed(errno);
  }
  return g_outputError.load() == 0;
}

int FinishOutput(int status) {
  FlushOutput();
  errno = 0;
  if (std::fclose(stdout) != 0) OutputFailed(errno);
  const int error = g_outputError.load();
  if (error == 0) return status;
  Complain(std::string("the output could not be written: ") + std::strerror(error));
  return status == kExitOk ? kExitUsage : status;
}

}  // namespace bq::cli
