#pragma once
// Serial ports of a POSIX machine: opens /dev/NAME (or a path as given) at 115200 baud
// 8N1, raw, exclusively, with the read time-outs every connection honours; lists the
// serial devices that are really present from sysfs.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/serial_connection.h"

namespace bq {

// What the system knows about a serial device; each field empty when unknown.
struct PortDescription {
  std::string usbId;    // USB vendor and product id, "vvvv:pppp"
  std::string product;  // the USB device's product name
  std::string byId;     // its stable name, "/dev/serial/by-id/..."
};

// The description of the port NAME (a tty name such as "ttyUSB0", or a path such as
// "/dev/ttyUSB0" or a /dev/serial/by-id/ link to it): the USB ids and product name of the USB
// device above class/tty/NAME/device in sysfs, and the entry of byIdFolder that links to it.
PortDescription DescribeSerialDevice(const std::string& name, const std::string& sysfsRoot,
                                     const std::string& byIdFolder);
// The known fields on one line, separated by a blank: "0403:6001 FT232R USB UART
// /dev/serial/by-id/usb-FTDI_...". The by-id name never holds a blank; "" when nothing is known.
std::string PortDescriptionText(const PortDescription& description);

class PosixPortDriver : public PortDriver {
 public:
  // sysfsRoot is where class/tty lives under (normally "/sys"), byIdFolder where the stable
  // links are (normally "/dev/serial/by-id"); tests point them elsewhere.
  explicit PosixPortDriver(std::string sysfsRoot = "/sys",
                           std::string byIdFolder = "/dev/serial/by-id");

  // Every name that is not a simulator name ("sim", "sim:...").
  bool Handles(const std::string& name) const override;
  // Null when the device cannot be opened, is held by another program, or is not a tty;
  // LastOpenError then says which. A link to a device (such as a /dev/serial/by-id/ name)
  // opens the device, held exclusively as under its own name.
  std::unique_ptr<SerialConnection> Open(const std::string& name) override;
  // The same at the given rate and framing.
  std::unique_ptr<SerialConnection> OpenAt(const std::string& name,
                                           const LineSettings& line) override;
  // USB serial adapters (ttyUSB*), USB modems (ttyACM*) and UART ports with real hardware
  // (e.g. ttyS* whose type is not 0); never Bluetooth. Names without /dev/, in natural order.
  std::vector<std::string> Enumerate() override;
  // "PATH: the system's reason", and for a permission error the fix (membership of the
  // dialout group).
  std::string LastOpenError() const override;
  // PortDescriptionText of DescribeSerialDevice with this driver's folders.
  std::string Describe(const std::string& name) const override;

  // "/dev/" + name, or the name itself when it holds a '/' or names something that exists.
  static std::string DevicePath(const std::string& name);

 private:
  std::unique_ptr<SerialConnection> OpenDevice(const std::string& path, const LineSettings& line,
                                               std::string& error);

  std::string sysfsRoot_;
  std::string byIdFolder_;
  mutable std::mutex errorMutex_;
  std::string lastOpenError_;
};

// Natural order: digit runs compare by value ("ttyS2" < "ttyS10").
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace bq
