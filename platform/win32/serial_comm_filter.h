#pragma once
// Which values of HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM become ports in the
// port list. Kept free of Windows headers so the rule is tested on every platform.

#include <string>
#include <string_view>
#include <vector>

namespace bq {

// One value of the key as enumerated: its name (e.g. "\Device\Serial0") and its data
// read as a zero-terminated string (e.g. "COM1").
struct SerialCommValue {
  std::string name;
  std::string data;
};

// True when the value names a port to offer: its data begins with "COM" (case-sensitive)
// and its name does not contain "BthModem" anywhere (Bluetooth modems are left out).
bool IsOfferedSerialCommValue(std::string_view name, std::string_view data);

// The port names of the values taken, in enumeration order (nothing is sorted).
std::vector<std::string> OfferedSerialPorts(const std::vector<SerialCommValue>& values);

}  // namespace bq
