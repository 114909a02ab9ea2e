#pragma once
// Raw binary image files: byte 0 of the file is address 0 of the buffer.

#include <cstdint>
#include <string>

#include "image/memory_buffer.h"

namespace bq {

// Fills buffer from the file at path, the rest of the buffer 0xFF. Returns the number of
// bytes read and sets the buffer's file path; returns 0 with the buffer unchanged when the
// file cannot be opened or is larger than the buffer, and 0 with the buffer all 0xFF when
// the read fails. An empty file reads as 0 bytes.
std::uint32_t ReadBinaryImage(MemoryBuffer& buffer, const std::string& path);

// Writes bytes first..last (inclusive) to path, replacing an existing file only once the
// new one is complete. False when the range is not inside the buffer or the file cannot
// be created, written or closed (an existing file is then untouched); why then says what
// went wrong with the file (see SafeFileWriter::error).
bool WriteBinaryImage(const MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                      std::uint32_t last, std::string* why = nullptr);

// Bytes first..last (inclusive) appended to bytes; false when the range is not inside the
// buffer.
bool FormatBinaryImage(const MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last,
                       std::string& bytes);

}  // namespace bq
