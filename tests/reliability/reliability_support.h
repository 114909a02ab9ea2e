#pragma once
// What the reliability tests stand on: the simulated programmer behind a real
// pseudo-terminal (in-process, or the brindlequartz-sim program), the POSIX port driver
// with its real line settings and time-outs, a wrapper that records every packet the host
// wrote, and a line with shorter read time-outs for the blank check's 60 header waits.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_entry.h"
#include "link/serial_connection.h"
#include "link/worker_events.h"

namespace bq::test {

using Bytes = std::vector<std::uint8_t>;

// Every packet the host wrote, in order (the worker writes one whole packet per Write).
class WriteLog {
 public:
  void Add(const std::uint8_t* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.emplace_back(data, data + n);
  }
  std::vector<Bytes> Packets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }
  std::vector<Bytes> PacketsWithCode(std::uint8_t code) const {
    std::vector<Bytes> out;
    for (const Bytes& p : Packets())
      if (p.size() > 2 && p[2] == code) out.push_back(p);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Bytes> packets_;
};

class RecordingConnection : public SerialConnection {
 public:
  RecordingConnection(std::unique_ptr<SerialConnection> inner, std::shared_ptr<WriteLog> log)
      : inner_(std::move(inner)), log_(std::move(log)) {}
  bool Write(const std::uint8_t* data, std::size_t n) override {
    log_->Add(data, n);
    return inner_->Write(data, n);
  }
  long Read(std::uint8_t* data, std::size_t n) override { return inner_->Read(data, n); }

 private:
  std::unique_ptr<SerialConnection> inner_;
  std::shared_ptr<WriteLog> log_;
};

// Opens ports through another driver and records what the host writes to them.
class RecordingDriver : public PortDriver {
 public:
  RecordingDriver(std::shared_ptr<PortDriver> inner, std::shared_ptr<WriteLog> log)
      : inner_(std::move(inner)), log_(std::move(log)) {}
  bool Handles(const std::string& name) const override { return inner_->Handles(name); }
  std::unique_ptr<SerialConnection> Open(const std::string& name) override {
    auto c = inner_->Open(name);
    if (!c) return nullptr;
    return std::make_unique<RecordingConnection>(std::move(c), log_);
  }
  std::vector<std::string> Enumerate() override { return inner_->Enumerate(); }

 private:
  std::shared_ptr<PortDriver> inner_;
  std::shared_ptr<WriteLog> log_;
};

// A pseudo-terminal opened as "fast:/dev/pts/N": the same raw line, but while the last packet
// written was a blank check, a read that gets no byte at all gives up after kFastReadMs
// instead of 2000 + 50 * n ms (the gap between two bytes still ends a read after 50 ms;
// every other answer is waited for as on a real port). The worker's code is the same for
// both lines: only the connection decides how long one read waits, so the blank check's 60
// header waits take 60 * kFastReadMs here instead of 135 s.
inline constexpr int kFastReadMs = 40;

class FastPtyConnection : public SerialConnection {
 public:
  FastPtyConnection(int fd, std::shared_ptr<std::atomic<int>> headerReads)
      : fd_(fd), headerReads_(std::move(headerReads)) {}
  ~FastPtyConnection() override { ::close(fd_); }
  FastPtyConnection(const FastPtyConnection&) = delete;
  FastPtyConnection& operator=(const FastPtyConnection&) = delete;

  bool Write(const std::uint8_t* data, std::size_t n) override {
    if (n > 2) lastCode_ = data[2];
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (done < n) {
      const ssize_t w = ::write(fd_, data + done, n - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (Clock::now() > deadline) return false;
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 10);
    }
    return true;
  }

  long Read(std::uint8_t* data, std::size_t n) override {
    if (n == 5) ++*headerReads_;
    const long waitMs = lastCode_ == kBlankCheckCode
                            ? kFastReadMs
                            : SerialTimeouts::kTotalConstantMs +
                                  SerialTimeouts::kTotalPerByteMs * static_cast<long>(n);
    const auto total = Clock::now() + std::chrono::milliseconds(waitMs);
    std::size_t got = 0;
    Clock::time_point lastByte{};
    while (got < n) {
      const auto limit =
          got > 0 ? lastByte + std::chrono::milliseconds(SerialTimeouts::kInterByteMs) : total;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left) + 1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) continue;
      const ssize_t rd = ::read(fd_, data + got, n - got);
      if (rd > 0) {
        got += static_cast<std::size_t>(rd);
        lastByte = Clock::now();
        continue;
      }
      if (rd < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return -1;
    }
    return static_cast<long>(got);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint8_t kBlankCheckCode = 0xB1;
  int fd_;
  std::uint8_t lastCode_ = 0;
  std::shared_ptr<std::atomic<int>> headerReads_;
};

class FastPtyDriver : public PortDriver {
 public:
  explicit FastPtyDriver(std::shared_ptr<std::atomic<int>> headerReads)
      : headerReads_(std::move(headerReads)) {}
  bool Handles(const std::string& name) const override { return name.rfind("fast:", 0) == 0; }
  std::unique_ptr<SerialConnection> Open(const std::string& name) override {
    const std::string path = name.substr(5);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
      ::close(fd);
      return nullptr;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    ::tcsetattr(fd, TCSANOW, &tio);
    return std::make_unique<FastPtyConnection>(fd, headerReads_);
  }
  std::vector<std::string> Enumerate() override { return {}; }

 private:
  std::shared_ptr<std::atomic<int>> headerReads_;
};

// Records what the worker shows: log lines (kind and text) and whether a view was refilled.
class ObservedEvents : public LogOnlyWorkerEvents {
 public:
  void AppendLogEntry(LogKind kind, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back({kind, text});
  }

  LogEntries Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  std::vector<std::string> Texts(LogKind kind) const {
    std::vector<std::string> out;
    for (const LogEntry& e : Log())
      if (e.kind == kind) out.push_back(e.text);
    return out;
  }
  std::vector<std::string> AllTexts() const {
    std::vector<std::string> out;
    for (const LogEntry& e : Log()) out.push_back(e.text);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
  }

 private:
  mutable std::mutex mutex_;
  LogEntries log_;
};

// The brindlequartz-sim program as a user starts it; its first stdout line is the device.
class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      const int devnull = ::open("/dev/null", O_WRONLY);
      if (devnull >= 0) ::dup2(devnull, 2);
      std::vector<char*> argv;
      args.insert(args.begin(), BQ_SIM_PROGRAM);
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(BQ_SIM_PROGRAM, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    stdout_ = ::fdopen(out[0], "r");
    char line[256] = {};
    if (stdout_ && std::fgets(line, sizeof line, stdout_)) {
      device_ = line;
      if (!device_.empty() && device_.back() == '\n') device_.pop_back();
    }
  }
  ~SimProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (stdout_) std::fclose(stdout_);
  }
  SimProgram(const SimProgram&) = delete;
  SimProgram& operator=(const SimProgram&) = delete;

  // "/dev/pts/N", or empty when the program did not start.
  const std::string& Device() const { return device_; }

 private:
  pid_t pid_ = -1;
  FILE* stdout_ = nullptr;
  std::string device_;
};

// A fresh folder under the system temp folder, removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "bq-rel-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace bq::test
