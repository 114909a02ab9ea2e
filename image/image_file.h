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

// What loading a file gave.
struct ImageLoadResult {
  // Bytes loaded; 0 means nothing was loaded and the buffer and its file path are as they
  // were.
  std::uint32_t count = 0;
  // Why the file was refused, naming it ("fw.hex: line 3: checksum error"); empty when it
  // could not be opened or held no data.
  std::string error;
  // Loaded, but worth telling the user (an Intel HEX file without its end-of-file record).
  std::string warning;
};

// Loads the file at path into buffer. The file is read into a scratch image first: the
// buffer and its file path change only when the whole file loaded, and then the file path
// becomes path. Only regular files are read (not folders, pipes or devices). A damaged
// Intel HEX file, data beyond the buffer and a binary file larger than the buffer are
// refused with an error.
ImageLoadResult LoadImage(MemoryBuffer& buffer, const std::string& path);

// The count of LoadImage.
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
