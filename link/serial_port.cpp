#include "link/serial_port.h"

#include <utility>

namespace bq {

SerialPort::SerialPort(std::vector<std::shared_ptr<PortDriver>> drivers)
    : drivers_(std::move(drivers)) {}

SerialPort::~SerialPort() {
  ClosePort();
}

void SerialPort::AddDriver(std::shared_ptr<PortDriver> driver) {
  if (driver) drivers_.push_back(std::move(driver));
}

bool SerialPort::OpenPort(const std::string& name) {
  return OpenPort(name, LineSettings{});
}

bool SerialPort::OpenPort(const std::string& name, const LineSettings& line) {
  if (IsOpen()) return false;
  for (const auto& driver : drivers_) {
    if (!driver || !driver->Handles(name)) continue;
    std::unique_ptr<SerialConnection> opened =
        line == LineSettings{} ? driver->Open(name) : driver->OpenAt(name, line);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!opened) {
      openError_ = driver->LastOpenError();
      return false;
    }
    connection_ = std::shared_ptr<SerialConnection>(std::move(opened));
    startup_.reset();
    if (connection_->MayRestartDeviceOnOpen()) startup_ = std::chrono::steady_clock::now();
    openName_ = name;
    openError_.clear();
    return true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  openError_.clear();
  return false;
}

bool SerialPort::SetRate(std::uint32_t baud) {
  const std::shared_ptr<SerialConnection> held = Hold();
  return held && held->SetRate(baud);
}

void SerialPort::ClosePort() {
  std::shared_ptr<SerialConnection> released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released = std::move(connection_);
    connection_.reset();
    startup_.reset();
    openName_.clear();
  }
  // The device closes here, or when a transfer still holding it ends.
}

bool SerialPort::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection_ != nullptr;
}

std::string SerialPort::LastOpenError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openError_;
}

std::string SerialPort::OpenName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openName_;
}

std::shared_ptr<SerialConnection> SerialPort::Hold() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection_;
}

std::optional<std::chrono::steady_clock::time_point> SerialPort::TakeStartup(
    const SerialConnection* held) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held == nullptr || held != connection_.get()) return std::nullopt;
  return std::exchange(startup_, std::nullopt);
}

bool SerialPort::ReadExact(std::uint8_t* buffer, std::size_t n) {
  std::shared_ptr<SerialConnection> connection = Hold();
  if (!connection || buffer == nullptr) return false;
  const long got = connection->Read(buffer, n);
  return got >= 0 && static_cast<std::size_t>(got) == n;
}

void SerialPort::DiscardInput() {
  if (const std::shared_ptr<SerialConnection> c = Hold()) c->DiscardInput();
}

bool SerialPort::WriteAll(const std::uint8_t* data, std::size_t n) {
  std::shared_ptr<SerialConnection> connection = Hold();
  if (!connection || data == nullptr) return false;
  return connection->Write(data, n);
}

int SerialPort::EnumeratePorts() {
  ports_.clear();
  std::int32_t key = 1;
  for (const auto& driver : drivers_) {
    if (!driver) continue;
    for (auto& name : driver->Enumerate()) ports_.emplace(key++, std::move(name));
  }
  return static_cast<int>(ports_.size());
}

std::string SerialPort::DescribePort(const std::string& name) const {
  for (const auto& driver : drivers_) {
    if (driver && driver->Handles(name)) return driver->Describe(name);
  }
  return {};
}

}  // namespace bq
