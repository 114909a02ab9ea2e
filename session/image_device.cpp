#include "session/image_device.h"

#include <cctype>

namespace bq {

bool ImageDeviceFits(std::string_view device, std::string_view partName) {
  if (device.empty()) return true;
  if (device.size() != partName.size()) return false;
  for (std::size_t i = 0; i < device.size(); ++i) {
    const auto a = static_cast<unsigned char>(device[i]);
    const auto b = static_cast<unsigned char>(partName[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

}  // namespace bq
