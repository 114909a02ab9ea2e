#include "platform/win32/serial_comm_filter.h"

namespace bq {

bool IsOfferedSerialCommValue(std::string_view name, std::string_view data) {
  return data.substr(0, 3) == "COM" && name.find("BthModem") == std::string_view::npos;
}

std::vector<std::string> OfferedSerialPorts(const std::vector<SerialCommValue>& values) {
  std::vector<std::string> ports;
  for (const SerialCommValue& value : values) {
    if (IsOfferedSerialCommValue(value.name, value.data)) ports.push_back(value.data);
  }
  return ports;
}

}  // namespace bq
