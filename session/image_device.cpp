#include "session/image_device.h"

#include <algorithm>
#include <cctype>

#include "parts/part_names.h"

namespace bq {

namespace {
std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}
}  // namespace

bool ImageDeviceFits(std::string_view device, std::string_view partName) {
  if (device.empty()) return true;
  const std::string wanted = Lower(device);
  if (wanted == Lower(partName)) return true;
  const std::string shortId = PartShortId(std::string(partName));
  return !shortId.empty() && wanted == shortId;
}

std::string ImageDeviceMismatchText(std::string_view device, std::string_view partName) {
  return "the image was built for " + std::string(device) + ", not for " + std::string(partName);
}

}  // namespace bq
