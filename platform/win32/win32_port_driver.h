#pragma once
// Serial ports of a Windows machine: opens "\\.\NAME" at 115200 baud 8N1 (or the line asked
// for) in binary mode with the read time-outs every connection honours, sends a break; lists
// the ports of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/serial_connection.h"
#include "platform/win32/serial_comm_filter.h"

namespace bq {

class Win32PortDriver : public PortDriver {
 public:
  // Every name that is not a simulator name ("sim", "sim:...").
  bool Handles(const std::string& name) const override;
  // Null when the device cannot be opened (absent, or held by another program); LastOpenError
  // then gives the system's reason. The line is set as ProgrammerLineSettings says (115200
  // 8N1, binary, no software flow control); the hardware handshake and the write time-outs
  // stay as the port had them.
  std::unique_ptr<SerialConnection> Open(const std::string& name) override;
  // The same at the line's rate, data bits, parity and stop bits (19200 8N1, 230400 8E2...).
  // Null, with the reason in LastOpenError, when the line cannot be set: a port that does
  // not take the rate would talk to the programmer at the wrong one.
  std::unique_ptr<SerialConnection> OpenAt(const std::string& name,
                                           const LineSettings& line) override;
  // "NAME: the system's message" (FormatMessage, UTF-8).
  std::string LastOpenError() const override;
  // The SERIALCOMM values taken by IsOfferedSerialCommValue, in registry order;
  // empty when the key is absent or cannot be read.
  std::vector<std::string> Enumerate() override;

  // "\\.\" + name (this form also reaches COM10 and above); a name that already starts
  // with "\\" is a device path and stays as it is.
  static std::string DevicePath(const std::string& name);
  // Every value of the SERIALCOMM key with its data read as a zero-terminated string;
  // values that cannot be read are left out.
  static std::vector<SerialCommValue> ReadSerialCommValues();

 private:
  mutable std::mutex errorMutex_;
  std::string lastOpenError_;
};

}  // namespace bq
