#pragma once
// Loading and saving a buffer with the file format chosen by the path's extension:
// ".bin" raw binary, ".hex" and ".eep" Intel HEX, anything else raw binary.

#include <cstdint>
#include <string>
#include <string_view>

#include "image/memory_buffer.h"

namespace bq {

enum class ImageFormat { Binary, IntelHex };

// The text after the last '.' of the path, upper-cased: "HEX" and "EEP" choose Intel HEX,
// everything else (including no '.') raw binary.
ImageFormat ImageFormatForPath(std::string_view path);

// Loads the file at path into buffer; returns the bytes loaded, 0 on failure. A missing
// file, a directory or anything else that is not a regular file (a pipe, a device) leaves
// the buffer and its file path as they were; otherwise the file path is emptied first and
// set again by a successful read.
std::uint32_t LoadImageFile(MemoryBuffer& buffer, const std::string& path);

enum class SaveOutcome {
  Written,        // the file was written
  NothingToSave,  // the range holds nothing to write (all 0xFF, or only index 0)
  Failed,         // no buffer or path, or the file could not be created or written
};

// Saves first..last of buffer. The range is used as given when first < last, last != 0 and
// last <= the buffer's last index; otherwise last becomes the highest byte that is not
// 0xFF, and nothing is written when first is not below it.
SaveOutcome SaveImage(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                      std::uint32_t last);

// True when a file was written.
bool SaveImageFile(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                   std::uint32_t last);

}  // namespace bq
