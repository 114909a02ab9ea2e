#include "platform/posix/pty_server.h"

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
#include <optional>
#include <vector>

#include "platform/posix/raw_pseudo_terminal.h"
#include "platform/posix/termios_rates.h"

namespace bq {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The line as the host set it on the slave (a pseudo-terminal master reads the slave's
// settings); nullopt when they cannot be read.
std::optional<LineSettings> LineOf(int master) {
  termios tio{};
  if (master < 0 || ::tcgetattr(master, &tio) != 0) return std::nullopt;
  LineSettings line;
  line.baud = BaudFor(::cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      line.dataBits = 5;
      break;
    case CS6:
      line.dataBits = 6;
      break;
    case CS7:
      line.dataBits = 7;
      break;
    default:
      line.dataBits = 8;
      break;
  }
  if (tio.c_cflag & PARENB) {
    line.parity = (tio.c_cflag & PARODD) ? LineSettings::Parity::Odd : LineSettings::Parity::Even;
  }
  line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
  return line;
}

}  // namespace

PtyServer::PtyServer(std::shared_ptr<SerialPeer> peer) : peer_(std::move(peer)) {}

PtyServer::~PtyServer() {
  Stop();
}

bool PtyServer::Start() {
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
  line_ = LineSettings{};
  peer_->LineSet(line_);
  CheckLine();
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void PtyServer::Stop() {
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

void PtyServer::Wake() {
  if (wakeWrite_ < 0) return;
  const char b = 1;
  [[maybe_unused]] const ssize_t w = ::write(wakeWrite_, &b, 1);
}

void PtyServer::CheckLine() {
  const std::optional<LineSettings> now = LineOf(master_);
  if (!now || *now == line_ || now->baud == 0) return;
  line_ = *now;
  peer_->LineSet(line_);
}

void PtyServer::Serve() {
  std::vector<std::uint8_t> out;  // due bytes not yet taken by the master
  std::array<std::uint8_t, 4096> in{};
  while (!stop_) {
    const std::optional<SerialPeer::Clock::time_point> next =
        peer_->TakeDue(SerialPeer::Clock::now(), out);
    const bool hungUp = peer_->HungUp();
    if (hungUp && master_ >= 0) {
      // The device hangs up: closing every descriptor of the master side makes the
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
      const auto left =
          std::max(SerialPeer::Clock::duration::zero(), *next - SerialPeer::Clock::now());
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
        // The host sets the line before it writes: the peer hears these bytes at that rate.
        CheckLine();
        peer_->Receive(in.data(), static_cast<std::size_t>(rd), SerialPeer::Clock::now());
      }
    }
  }
}

}  // namespace bq
