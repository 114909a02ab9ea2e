#include "link/transfer_limits.h"

namespace bq {

std::string TransferLimitProblem(const std::string& part, MemoryKind kind, std::uint32_t pageSize,
                                 std::uint32_t pageCount, std::uint32_t bufferBytes) {
  const bool flash = kind == MEMORY_FLASH;
  const std::string memory = flash ? "flash" : "EEPROM";
  const std::string head = part + ": ";
  const std::string tail = "; nothing was sent to the chip";
  if (pageSize > kMaxTransferPageSize) {
    return head + (flash ? "a " : "an ") + memory + " page of " + std::to_string(pageSize) +
           (flash ? " words" : " bytes") + " is larger than the " +
           std::to_string(kMaxTransferPageSize) + (flash ? " words" : " bytes") +
           " a transfer can carry" + tail;
  }
  if (pageCount > kMaxTransferPageCount) {
    return head + std::to_string(pageCount) + " " + memory + " pages are more than the " +
           std::to_string(kMaxTransferPageCount) + " a transfer can carry" + tail;
  }
  const std::uint64_t bytes = std::uint64_t{pageSize} * (flash ? 2u : 1u) * pageCount;
  if (bytes > bufferBytes) {
    return head + "the " + memory + " of " + std::to_string(bytes) +
           " bytes is larger than the program's " + std::to_string(bufferBytes) + "-byte " +
           memory + " image" + tail;
  }
  return "";
}

}  // namespace bq
