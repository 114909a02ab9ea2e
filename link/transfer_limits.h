#pragma once
// What one memory transfer can carry: the transfer parameters hold the page size in 8 bits
// and the page count in 16 bits, and the images have fixed capacities. A part beyond that
// must be refused before anything is sent, never programmed with cut-down numbers.

#include <cstdint>
#include <string>

#include "link/protocol.h"

namespace bq {

inline constexpr std::uint32_t kMaxTransferPageSize = 0xFF;  // flash words or EEPROM bytes
inline constexpr std::uint32_t kMaxTransferPageCount = 0xFFFF;

// Why a transfer of this memory of part cannot be made, as a line for the log; empty when it
// can. bufferBytes is the capacity of the image the memory is read into or written from.
std::string TransferLimitProblem(const std::string& part, MemoryKind kind, std::uint32_t pageSize,
                                 std::uint32_t pageCount, std::uint32_t bufferBytes);

}  // namespace bq
