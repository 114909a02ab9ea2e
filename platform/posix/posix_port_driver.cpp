#include "platform/posix/posix_port_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "core/text.h"
#include "platform/posix/termios_rates.h"

namespace bq {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int MillisUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left) + 1;  // round up: never wake early
}

class PosixConnection : public SerialConnection {
 public:
  explicit PosixConnection(int fd) : fd_(fd) {}
  ~PosixConnection() override {
    ::flock(fd_, LOCK_UN);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  PosixConnection(const PosixConnection&) = delete;
  PosixConnection& operator=(const PosixConnection&) = delete;

  void DiscardInput() override { ::tcflush(fd_, TCIFLUSH); }
  bool SendBreak(int ms) override {
    ::tcdrain(fd_);
    if (::ioctl(fd_, TIOCSBRK) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return ::ioctl(fd_, TIOCCBRK) == 0;
  }
  bool MayRestartDeviceOnOpen() const override { return true; }  // DTR goes up on open
  bool SetRate(std::uint32_t baud) override {
    const speed_t speed = SpeedFor(baud);
    termios tio{};
    if (speed == B0 || ::tcgetattr(fd_, &tio) != 0) return false;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd_, TCSADRAIN, &tio) != 0) return false;
    // Some adapters take a rate they cannot make and keep their old one: look again.
    termios now{};
    return ::tcgetattr(fd_, &now) == 0 && ::cfgetospeed(&now) == speed;
  }

  bool Write(const std::uint8_t* data, std::size_t n) override {
    // Bounded: a line stalled by flow control fails instead of hanging the worker.
    const auto deadline = Clock::now() + milliseconds(SerialTimeouts::kTotalConstantMs) +
                          milliseconds(static_cast<long>(n));
    std::size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(fd_, data + done, n - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) return false;
      pollfd p{fd_, POLLOUT, 0};
      const int timeout = MillisUntil(deadline);
      if (timeout == 0) return false;
      const int r = ::poll(&p, 1, timeout);
      if (r < 0 && errno != EINTR) return false;
      if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return false;
    }
    return true;
  }

  long Read(std::uint8_t* data, std::size_t n) override {
    return ReadUntil(data, n,
                     Clock::now() + milliseconds(SerialTimeouts::kTotalConstantMs) +
                         milliseconds(SerialTimeouts::kTotalPerByteMs) * static_cast<long>(n));
  }
  long ReadWithin(std::uint8_t* data, std::size_t n, int totalMs) override {
    return ReadUntil(data, n, Clock::now() + milliseconds(totalMs));
  }

 private:
  long ReadUntil(std::uint8_t* data, std::size_t n, Clock::time_point total) {
    std::size_t got = 0;
    Clock::time_point lastByte{};
    while (got < n) {
      auto limit = total;
      if (got > 0) limit = std::min(limit, lastByte + milliseconds(SerialTimeouts::kInterByteMs));
      const int timeout = MillisUntil(limit);
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, timeout);
      if (r < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (r == 0) {
        if (Clock::now() >= limit) break;
        continue;
      }
      if (p.revents & POLLNVAL) return -1;
      const ssize_t rd = ::read(fd_, data + got, n - got);
      if (rd > 0) {
        got += static_cast<std::size_t>(rd);
        lastByte = Clock::now();
        continue;
      }
      if (rd < 0 && (errno == EINTR || errno == EAGAIN)) {
        if (p.revents & (POLLHUP | POLLERR)) return -1;
        continue;
      }
      // 0 with VMIN 1: the line hung up; EIO: the device or the other side is gone.
      return -1;
    }
    return static_cast<long>(got);
  }

  int fd_;
};

std::string ReadFirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// Name of the directory a symlink (e.g. device/driver) points to, "" when absent.
std::string LinkTargetName(const std::filesystem::path& link) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink(link, ec);
  if (ec) return {};
  return target.filename().string();
}

std::string SystemReason(int error) {
  return std::generic_category().message(error);
}

// The reason open() gave, with what to do about the common ones.
std::string OpenFailureText(const std::string& path, int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return path + ": " + SystemReason(error) +
             ". Serial ports belong to the dialout group: add your user to it with "
             "'sudo usermod -aG dialout $USER', then log out and in again.";
    case EBUSY:
      return path + " is in use by another program";
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return path + ": " + SystemReason(error) + " (is the programmer plugged in?)";
    default:
      return path + ": " + SystemReason(error);
  }
}

}  // namespace

PosixPortDriver::PosixPortDriver(std::string sysfsRoot, std::string byIdFolder)
    : sysfsRoot_(std::move(sysfsRoot)), byIdFolder_(std::move(byIdFolder)) {}

bool PosixPortDriver::Handles(const std::string& name) const {
  return !(name == "sim" || name.rfind("sim:", 0) == 0) && !name.empty();
}

std::string PosixPortDriver::DevicePath(const std::string& name) {
  // A bare name is a device under /dev ("ttyUSB0"), unless something by that name is here.
  std::error_code ec;
  if (name.find('/') != std::string::npos || std::filesystem::exists(name, ec)) return name;
  return "/dev/" + name;
}

std::unique_ptr<SerialConnection> PosixPortDriver::Open(const std::string& name) {
  return OpenAt(name, LineSettings{});
}

std::unique_ptr<SerialConnection> PosixPortDriver::OpenAt(const std::string& name,
                                                          const LineSettings& line) {
  std::string error = "no port name given";
  std::unique_ptr<SerialConnection> connection;
  if (!name.empty()) connection = OpenDevice(DevicePath(name), line, error);
  std::lock_guard<std::mutex> lock(errorMutex_);
  lastOpenError_ = connection ? std::string() : error;
  return connection;
}

std::string PosixPortDriver::LastOpenError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastOpenError_;
}

std::string PosixPortDriver::Describe(const std::string& name) const {
  return PortDescriptionText(DescribeSerialDevice(name, sysfsRoot_, byIdFolder_));
}

std::unique_ptr<SerialConnection> PosixPortDriver::OpenDevice(const std::string& path,
                                                              const LineSettings& line,
                                                              std::string& error) {
  const speed_t speed = SpeedFor(line.baud);
  if (speed == B0) {
    error = path + ": " + std::to_string(line.baud) + " baud is not a rate this system sets";
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = OpenFailureText(path, errno);
    return nullptr;
  }
  auto fail = [fd, &error](std::string why) {
    ::close(fd);
    error = std::move(why);
    return nullptr;
  };
  termios tio{};
  if (!::isatty(fd) || ::tcgetattr(fd, &tio) != 0) return fail(path + " is not a serial device");
  // Exclusive: the advisory lock keeps out other programs that lock too, TIOCEXCL the rest.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    return fail(why == EWOULDBLOCK ? path + " is in use by another program"
                                   : path + ": " + SystemReason(why));
  }
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(path + ": " + SystemReason(errno));

  // Raw at the rate and framing asked for (8N1 at 115200 unless told otherwise); RTS/CTS flow
  // control stays as the port had it.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cflag |= line.dataBits == 7 ? CS7 : line.dataBits == 6 ? CS6 : line.dataBits == 5 ? CS5 : CS8;
  if (line.parity != LineSettings::Parity::None) tio.c_cflag |= PARENB;
  if (line.parity == LineSettings::Parity::Odd) tio.c_cflag |= PARODD;
  if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
  // VMIN 1: a read of 0 bytes then means a hang-up, not "no data yet".
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    // A pseudo-terminal carries no parity: Linux takes the settings but drops PARENB, and the C
    // library reports that as EINVAL. Everything else set, the line is as good as asked.
    const int why = errno;
    termios now{};
    const tcflag_t parity = PARENB | PARODD;
    const bool parityDropped = why == EINVAL && ::tcgetattr(fd, &now) == 0 &&
                               (now.c_cflag & ~parity) == (tio.c_cflag & ~parity) &&
                               (now.c_cflag & PARENB) == 0;
    if (!parityDropped) {
      return fail(path + ": the line settings cannot be set: " + SystemReason(why));
    }
  }
  // The descriptor stays non-blocking: every read and write waits in poll() with a
  // deadline, so neither can hang on a stalled or vanished device.
  return std::make_unique<PosixConnection>(fd);
}

PortDescription DescribeSerialDevice(const std::string& name, const std::string& sysfsRoot,
                                     const std::string& byIdFolder) {
  namespace fs = std::filesystem;
  PortDescription out;
  std::error_code ec;
  // A path names the device it leads to (a by-id link leads to its tty).
  std::string tty = name;
  if (name.find('/') != std::string::npos) {
    const fs::path real = fs::canonical(name, ec);
    tty = (ec ? fs::path(name) : real).filename().string();
  }
  if (tty.empty()) return out;

  // The USB device is the nearest folder above the tty's device with vendor and product ids:
  // the device itself for a modem (ttyACM), its parent for an adapter (ttyUSB).
  fs::path dir = fs::canonical(fs::path(sysfsRoot) / "class" / "tty" / tty / "device", ec);
  for (int up = 0; !ec && up < 4 && dir.has_relative_path(); ++up, dir = dir.parent_path()) {
    const std::string vendor = TrimBlanks(ReadFirstLine(dir / "idVendor"));
    const std::string product = TrimBlanks(ReadFirstLine(dir / "idProduct"));
    if (vendor.empty() || product.empty()) continue;
    out.usbId = vendor + ":" + product;
    out.product = TrimBlanks(ReadFirstLine(dir / "product"));
    // The port list puts a tab before the description: none may be inside it.
    for (char& c : out.product) {
      if (c == '\t') c = ' ';
    }
    break;
  }

  std::vector<std::string> links;
  for (fs::directory_iterator it(byIdFolder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e2;
    fs::path target = fs::canonical(it->path(), e2);
    if (e2) target = fs::read_symlink(it->path(), e2);
    if (!e2 && target.filename() == tty) links.push_back(it->path().string());
  }
  if (!links.empty()) out.byId = *std::min_element(links.begin(), links.end());
  return out;
}

std::string PortDescriptionText(const PortDescription& description) {
  std::string text;
  for (const std::string* field : {&description.usbId, &description.product, &description.byId}) {
    if (field->empty()) continue;
    if (!text.empty()) text += ' ';
    text += *field;
  }
  return text;
}

std::vector<std::string> PosixPortDriver::Enumerate() {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  const fs::path classTty = fs::path(sysfsRoot_) / "class" / "tty";
  for (fs::directory_iterator it(classTty, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path entry = it->path();
    const std::string name = entry.filename().string();
    if (name.rfind("rfcomm", 0) == 0) continue;
    const fs::path device = entry / "device";
    std::error_code e2;
    if (!fs::exists(device, e2)) continue;  // virtual terminals, ptys, console
    const fs::path real = fs::canonical(device, e2);
    if (e2 || real.string().find("bluetooth") != std::string::npos) continue;
    const std::string driver = LinkTargetName(device / "driver");
    const std::string subsystem = LinkTargetName(device / "subsystem");
    bool present = false;
    if (subsystem == "usb-serial" || driver == "usb-serial" || driver == "cdc_acm") {
      present = true;
    } else if (fs::exists(entry / "type", e2)) {
      // A UART port: the serial core lists placeholders (type 0, no hardware) too.
      const std::string type = ReadFirstLine(entry / "type");
      present = !type.empty() && type != "0";
    }
    if (present) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && a[ie] == '0') ++ie;
      while (je < b.size() && b[je] == '0') ++je;
      std::size_t ae = ie, be = je;
      while (ae < a.size() && isDigit(a[ae])) ++ae;
      while (be < b.size() && isDigit(b[be])) ++be;
      if (ae - ie != be - je) return ae - ie < be - je;
      const int c = a.compare(ie, ae - ie, b, je, be - je);
      if (c != 0) return c < 0;
      i = ae;
      j = be;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace bq
