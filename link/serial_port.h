#pragma once
// The one object through which the program reaches the programmer hardware: opens a
// port by name through the first driver that handles it, moves bytes, lists ports.
//
// Threads: the worker thread transfers (ReadExact, WriteAll) while the user-interface
// thread may open, close and list. A transfer (one call, or one exchange through Hold)
// holds its own share of the connection for its whole length, so ClosePort or OpenPort never pulls
// the connection from under a running transfer: ClosePort returns at once, later transfers fail,
// and the device is released when the running transfer ends.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq {

// Keys 1, 2, 3, ... in the order the ports were found.
using PortList = std::map<std::int32_t, std::string>;

class SerialPort {
 public:
  SerialPort() = default;
  explicit SerialPort(std::vector<std::shared_ptr<PortDriver>> drivers);
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Adds a driver after the ones given at construction.
  void AddDriver(std::shared_ptr<PortDriver> driver);

  // Opens the port through the first driver whose Handles(name) is true. Does not close
  // a port that is already open (callers close first): false then, and when no driver
  // handles the name or the open fails. Nothing is logged here.
  bool OpenPort(const std::string& name);
  // The same at the given line settings.
  bool OpenPort(const std::string& name, const LineSettings& line);
  // Closes the port if open; a no-op otherwise.
  void ClosePort();
  bool IsOpen() const;
  // Why the last OpenPort failed, as its driver put it (a second line for "Error Open Serial
  // Port (NAME) !!!"); "" after a successful open or when the driver gave no reason.
  std::string LastOpenError() const;
  // Name the open port was opened with; "" when closed.
  std::string OpenName() const;

  // One read of n bytes; true only when exactly n bytes arrived. False when closed.
  bool ReadExact(std::uint8_t* buffer, std::size_t n);
  // Drops input that arrived and was not read (a late answer); nothing when closed.
  void DiscardInput();
  // Writes all n bytes in one write; false when closed, failed or short.
  bool WriteAll(const std::uint8_t* data, std::size_t n);

  // Changes the open line's rate (SerialConnection::SetRate); false when closed or refused.
  bool SetRate(std::uint32_t baud);

  // A share of the open connection (null when closed) for an exchange of several calls:
  // the connection stays usable while held, even when the port is closed meanwhile.
  std::shared_ptr<SerialConnection> Hold() const;

  // For the first exchange on a freshly opened port whose device may have restarted on the
  // open (SerialConnection::MayRestartDeviceOnOpen): the time the port was opened, once per
  // open, and only while `held` is still the open connection; nullopt otherwise.
  std::optional<std::chrono::steady_clock::time_point> TakeStartup(const SerialConnection* held);

  // Rebuilds the port list from every driver, in driver order; returns its size.
  int EnumeratePorts();
  const PortList& Ports() const { return ports_; }  // user-interface thread only
  // What the system knows about a port, from the driver that handles the name; "" when nothing.
  std::string DescribePort(const std::string& name) const;

 private:
  std::vector<std::shared_ptr<PortDriver>> drivers_;
  PortList ports_;
  mutable std::mutex mutex_;  // guards connection_, openName_ and openError_, never held during I/O
  std::shared_ptr<SerialConnection> connection_;
  std::string openName_;
  std::string openError_;
  std::optional<std::chrono::steady_clock::time_point> startup_;  // until the first exchange
};

}  // namespace bq
