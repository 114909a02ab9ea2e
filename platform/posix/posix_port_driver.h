#pragma once
// Serial ports of a POSIX machine: opens /dev/NAME (or a path as given) at 115200 baud
// 8N1, raw, exclusively, with the read time-outs every connection honours; lists the
// serial devices that are really present from sysfs.

#include <memory>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq {

class PosixPortDriver : public PortDriver {
 public:
  // sysfsRoot is where class/tty lives under (normally "/sys"); tests point it elsewhere.
  explicit PosixPortDriver(std::string sysfsRoot = "/sys");

  // Every name that is not a simulator name ("sim", "sim:...").
  bool Handles(const std::string& name) const override;
  // Null when the device cannot be opened, is held by another program, or is not a tty.
  std::unique_ptr<SerialConnection> Open(const std::string& name) override;
  // USB serial adapters (ttyUSB*), USB modems (ttyACM*) and UART ports with real hardware
  // (e.g. ttyS* whose type is not 0); never Bluetooth. Names without /dev/, in natural order.
  std::vector<std::string> Enumerate() override;

  // "/dev/" + name, or the name itself when it holds a '/'.
  static std::string DevicePath(const std::string& name);

 private:
  std::string sysfsRoot_;
};

// Natural order: digit runs compare by value ("ttyS2" < "ttyS10").
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace bq
