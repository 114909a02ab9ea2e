#pragma once
// Image files of the command line: a file name, or "-" for standard input and output.

#include <cstdint>
#include <string>

#include "image/image_file.h"

namespace bq::cli {

// Loads the file, or standard input for "-", with the format asked for (Auto: by name and
// content).
ImageLoadResult LoadCliImage(MemoryBuffer& buffer, const std::string& file, ImageFormat format);

// Saves first..last to the file, or to standard output for "-" (Intel HEX unless binary is
// asked for). When it fails, why says what the system reported.
SaveOutcome SaveCliImage(MemoryBuffer& buffer, const std::string& file, std::uint32_t first,
                         std::uint32_t last, ImageFormat format, std::string* why = nullptr);

}  // namespace bq::cli
