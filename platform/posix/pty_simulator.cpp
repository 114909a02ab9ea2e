#include "platform/posix/pty_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/posix/raw_pseudo_terminal.h"

namespace bq {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

PtySimulator::PtySimulator(std::shared_ptr<SimChip> chip, SimOptions options)
    : line_(std::make_shared<SimLine>(std::move(chip), std::move(options))) {}

PtySimulator::~PtySimulator() {
  Stop();
}

bool PtySimulator::Start() {
  if (thread_.joinable()) return true;
  RawPseudoTerminal pty;
  int pipeFds[2] = {-1, -1};
  if (!OpenRawPseudoTerminal(pty)) return false;
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    CloseRawPseudoTerminal(pty);
    return false;
  }
  master_ = pty.master;
  slaveKeep_ = pty.slaveKeep;
  slavePath_ = pty.slavePath;
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void PtySimulator::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    const char b = 1;
    [[maybe_unused]] const ssize_t w = ::write(wakeWrite_, &b, 1);
    thread_.join();
  }
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
  CloseFd(slaveKeep_);
  CloseFd(master_);
}

void PtySimulator::Wake() {
  if (wakeWrite_ < 0) return;
  const char b = 1;
  [[maybe_unused]] const ssize_t w = ::write(wakeWrite_, &b, 1);
}

void PtySimulator::Serve() {
  std::vector<std::uint8_t> out;  // due bytes not yet taken by the master
  std::array<std::uint8_t, 4096> in{};
  while (!stop_) {
    std::optional<SimClock::time_point> next;
    bool hungUp = false;
    line_->With([&](SimProgrammer& sim) {
      sim.TakeDue(SimClock::now(), out);
      next = sim.NextDue();
      // Paced bytes go out in batches of about a millisecond, like a USB serial adapter
      // delivers them; the last byte of an answer still leaves exactly when it is due.
      if (next) next = std::min(*next + std::chrono::milliseconds(1), *sim.RunDue(SIZE_MAX));
      hungUp = sim.HungUp();
    });
    if (hungUp && master_ >= 0) {
      // The programmer hangs up: closing every descriptor of the master side makes the
      // host's reads fail with EIO / POLLHUP.
      hungUp_ = true;
      CloseFd(slaveKeep_);
      CloseFd(master_);
      out.clear();
    }
    if (master_ >= 0 && !out.empty()) {
      const ssize_t w = ::write(master_, out.data(), out.size());
      if (w > 0) out.erase(out.begin(), out.begin() + w);
    }

    std::array<pollfd, 2> fds{};
    fds[0] = {wakeRead_, POLLIN, 0};
    fds[1] = {master_, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
    const nfds_t count = master_ >= 0 ? 2 : 1;
    timespec ts{};
    timespec* timeout = nullptr;
    if (next && out.empty() && master_ >= 0) {
      // Wake at an absolute due time: paced output follows a running deadline, so
      // oversleeping one wake-up does not delay the bytes after it.
      const auto left = std::max(SimClock::duration::zero(), *next - SimClock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      ts.tv_sec = static_cast<time_t>(ns / 1000000000);
      ts.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &ts;
    }
    const int r = ::ppoll(fds.data(), count, timeout, nullptr);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (count == 2 && (fds[1].revents & POLLIN)) {
      const ssize_t rd = ::read(master_, in.data(), in.size());
      if (rd > 0) {
        const auto now = SimClock::now();
        line_->With(
            [&](SimProgrammer& sim) { sim.Receive(in.data(), static_cast<std::size_t>(rd), now); });
      }
    }
  }
}

}  // namespace bq
