#pragma once
// Loading and saving a buffer as Intel HEX or raw binary. The format comes from the file's
// name: ".hex", ".eep", ".ihx" and ".ihex" are Intel HEX, ".bin" raw binary (any case).
// A file with any other name is loaded as Intel HEX when its first line that is not blank
// is a valid record, as raw binary otherwise, and saved as raw binary. A caller can name
// the format instead. An ELF file (known by its first bytes when neither its name nor the
// caller names a format, e.g. "firmware.elf") gives the image of the buffer's memory: its
// EEPROM data for the EEPROM buffer, its flash data for the flash buffer (see
// image/elf_image.h).
//
// File names are UTF-8 (see core/utf8_path.h), also on Windows.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/memory_buffer.h"

namespace bq {

// Auto: by name, then (for loading) by content, as above.
enum class ImageFormat { Auto, Binary, IntelHex };

// The format the name stands for: IntelHex for HEX, EEP, IHX and IHEX after the last '.',
// Binary for BIN, Auto for any other extension or none.
ImageFormat ImageFormatForPath(std::string_view path);

// True when the first line of bytes that is not blank (only spaces, tabs, CR and LF) is a
// valid Intel HEX record (ParseHexRecord). Loading uses it for names that choose no format.
bool BeginsWithHexRecord(std::string_view bytes);

// True for the start of an ELF file (0x7F 'E' 'L' 'F').
bool IsElfImage(std::string_view bytes);

// What loading a file gave.
struct ImageLoadResult {
  // Bytes loaded; 0 means nothing was loaded and the buffer and its file path are as they
  // were.
  std::uint32_t count = 0;
  // Why the file was refused, naming it ("fw.hex: line 3: checksum error", "fw.hex is
  // empty.", "fw.hex holds no Intel HEX record."); empty only when the file does not exist
  // (the caller says "not found.").
  std::string error;
  // Loaded, but worth telling the user (an Intel HEX file without its end-of-file record).
  std::string warning;
  // An Intel HEX file without its end-of-file record: it may have been cut short. Loading
  // and converting only warn; writing it into a chip is refused unless forced.
  bool incomplete = false;
  // The addresses the file holds, as [first, end) ranges: those of an Intel HEX file's data
  // records, every byte of a raw binary file, the memory image of an ELF file. Bytes outside
  // them are only the erased value the buffer is filled with.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> held;
};

// What keeps the file at path from being loaded before its content is looked at: "PATH is a
// folder.", "PATH is not a regular file.", "PATH is empty.", "PATH cannot be read: REASON";
// "PATH not found." when there is nothing by that name; empty for a regular file with bytes
// in it.
std::string ImageFileProblem(const std::string& path);

// Loads the file at path into buffer, in the given format or (Auto) the format chosen as
// above. The file is read into a scratch image first: the buffer and its file path change
// only when the whole file loaded, and then the file path becomes path. Only regular files
// are read (not folders, pipes or devices). A damaged Intel HEX or ELF file, data beyond the
// buffer, a binary file larger than the buffer, an empty file, and an Intel HEX file without
// a record or without data are refused with an error.
ImageLoadResult LoadImage(MemoryBuffer& buffer, const std::string& path,
                          ImageFormat format = ImageFormat::Auto);

// The same rule, checks and messages for an image already in memory (standard input):
// name stands for the file in messages ("-", "<stdin>"), may choose the format as a file
// name does, and becomes the buffer's file path on success. No bytes load as nothing,
// with the error "NAME is empty.".
ImageLoadResult LoadImageBytes(MemoryBuffer& buffer, std::string_view bytes, ImageFormat format,
                               const std::string& name);

// The whole file at path (UTF-8 name), at most maxBytes + 1 bytes of it; false when it cannot
// be opened or read.
bool ReadFileBytes(const std::string& path, std::string& bytes, std::uintmax_t maxBytes);

// The count of LoadImage.
std::uint32_t LoadImageFile(MemoryBuffer& buffer, const std::string& path);

enum class SaveOutcome {
  Written,        // the file was written
  NothingToSave,  // the range holds nothing to write (all 0xFF, or only index 0)
  Failed,         // no buffer or path, or the file could not be created or written
};

// Saves first..last of buffer, in the given format or (Auto) the one the name chooses, raw
// binary when it chooses none. The range is used as given when first < last, last != 0 and
// last <= the buffer's last index; otherwise last becomes the highest byte that is not
// 0xFF, and nothing is written when first is not below it. When the file could not be
// written (Failed), why says what the system reported ("No space left on device").
SaveOutcome SaveImage(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                      std::uint32_t last, ImageFormat format = ImageFormat::Auto,
                      std::string* why = nullptr);

// The same range rule and text as SaveImage, appended to text instead of a file (standard
// output); Auto is Intel HEX here, there being no name.
SaveOutcome FormatImage(MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last,
                        ImageFormat format, std::string& text);

// True when a file was written.
bool SaveImageFile(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                   std::uint32_t last);

}  // namespace bq
