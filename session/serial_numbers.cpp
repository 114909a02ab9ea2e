#include "session/serial_numbers.h"

#include <cerrno>
#include <cstdlib>

#include "core/text.h"

namespace bq {

namespace {

// A whole unsigned number in decimal or with 0x; nullopt otherwise.
std::optional<std::uint64_t> Number(const std::string& text, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find(separator, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

}  // namespace

std::optional<SerialPlace> ParseSerialPlace(const std::string& text, std::string* why) {
  auto fail = [&](const std::string& reason) -> std::optional<SerialPlace> {
    if (why != nullptr) *why = "--serial " + text + ": " + reason;
    return std::nullopt;
  };
  const std::vector<std::string> parts = Split(text, ':');
  if (parts.size() < 2 || parts.size() > 4) {
    return fail("expected MEMORY:ADDRESS[:BYTES[:le|be]], e.g. eeprom:0:4");
  }
  SerialPlace place;
  const std::string memory = ToLowerAscii(parts[0]);
  if (memory != "eeprom" && memory != "flash" && memory != "userrow") {
    return fail("the memory is eeprom, flash or userrow");
  }
  place.eeprom = memory == "eeprom";
  place.userRow = memory == "userrow";
  const auto address = Number(parts[1]);
  if (!address || *address > 0xFFFFFFFFu) return fail("the address is a number, e.g. 0 or 0x1FC");
  place.address = static_cast<std::uint32_t>(*address);
  if (parts.size() > 2) {
    const auto bytes = Number(parts[2], 10);
    if (!bytes || *bytes < 1 || *bytes > 8) return fail("the number takes 1 to 8 bytes");
    place.bytes = static_cast<unsigned>(*bytes);
  }
  if (parts.size() > 3) {
    const std::string order = ToLowerAscii(parts[3]);
    if (order != "le" && order != "be") {
      return fail("the byte order is le (little-endian) or be (big-endian)");
    }
    place.bigEndian = order == "be";
  }
  return place;
}

std::string SerialMemoryName(const SerialPlace& place) {
  return place.eeprom ? "EEPROM" : place.userRow ? "USERROW" : "FLASH";
}

std::uint64_t MaxSerialNumber(const SerialPlace& place) {
  return place.bytes >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * place.bytes)) - 1;
}

std::string SerialPlaceProblem(const SerialPlace& place, std::uint32_t memoryBytes,
                               const std::string& partName) {
  if (std::uint64_t{place.address} + place.bytes <= memoryBytes) return "";
  const std::string memory = place.eeprom ? "EEPROM" : place.userRow ? "user row" : "flash";
  if (memoryBytes < place.bytes) {
    return "--serial: the " + partName + "'s " + memory + " has " + std::to_string(memoryBytes) +
           " bytes, too few for a number of " + std::to_string(place.bytes);
  }
  return "--serial: " + std::to_string(place.bytes) + " bytes at address " +
         std::to_string(place.address) + " go beyond the " + std::to_string(memoryBytes) +
         " bytes of the " + partName + "'s " + memory + " (the last address that fits is " +
         std::to_string(memoryBytes - place.bytes) + ")";
}

bool PlaceSerialNumber(const SerialPlace& place, std::uint64_t number,
                       std::vector<std::uint8_t>& image) {
  if (number > MaxSerialNumber(place)) return false;
  const std::size_t end = std::size_t{place.address} + place.bytes;
  if (image.size() < end) image.resize(end, 0xFF);
  for (unsigned i = 0; i < place.bytes; ++i) {
    const unsigned at = place.bigEndian ? place.bytes - 1 - i : i;
    image[place.address + at] = static_cast<std::uint8_t>(number >> (8 * i));
  }
  return true;
}

std::string FormatSerialCounter(std::uint64_t next) {
  return std::to_string(next) + "\n";
}

std::optional<std::uint64_t> ParseSerialCounter(const std::string& text) {
  const std::string number = TrimBlanks(text);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return Number(number, 10);
}

std::uint64_t FirstSerialNumber(std::optional<std::uint64_t> start,
                                std::optional<std::uint64_t> kept) {
  if (!kept) return start.value_or(1);
  return start && *start > *kept ? *start : *kept;
}

bool SerialCounter::Take(std::uint64_t& number, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The counter file always holds the number after the last one handed out, so the
  // largest 64-bit number itself is never handed out.
  if (next_ > max_ || next_ == ~std::uint64_t{0}) {
    if (why != nullptr) {
      *why = "the serial numbers are used up (" + std::to_string(max_) +
             " is the largest the bytes given to --serial hold)";
    }
    return false;
  }
  if (!save_(next_ + 1, why)) return false;
  number = next_++;
  return true;
}

}  // namespace bq
