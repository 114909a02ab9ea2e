#include "image/image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/text.h"
#include "core/utf8_path.h"
#include "image/binary_image.h"
#include "image/elf_image.h"
#include "image/intel_hex.h"

namespace bq {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// Enough of the first line that is not blank to hold the longest record (521 characters).
constexpr std::size_t kSniffLineChars = 1024;

void Commit(MemoryBuffer& buffer, const MemoryBuffer& scratch, const std::string& name);

// The largest ELF file read: avr-gcc's programs with their debug information stay far below.
constexpr std::uintmax_t kMaxElfBytes = 64u << 20;

// An ELF file gives the image of the buffer's memory: the EEPROM image for the 8 KiB EEPROM
// buffer, the flash image for any other.
void LoadElf(MemoryBuffer& buffer, std::string_view bytes, const std::string& name,
             ImageLoadResult& result) {
  std::string why;
  const std::optional<ElfImage> elf = ParseElfImage(bytes, &why);
  if (!elf) {
    result.error = name + ": " + why;
    return;
  }
  const bool eeprom = buffer.capacity() == kEepromBufferBytes;
  const std::vector<std::uint8_t>& image = eeprom ? elf->eeprom : elf->flash;
  if (image.empty()) {
    result.error = name + ": the ELF file holds no " + (eeprom ? "EEPROM" : "flash") + " data";
    return;
  }
  if (image.size() > buffer.capacity()) {
    result.error = name + ": the ELF file holds " + std::to_string(image.size()) + " bytes of " +
                   (eeprom ? "EEPROM" : "flash") + " data, more than the " +
                   std::to_string(buffer.capacity()) + " bytes of the buffer";
    return;
  }
  MemoryBuffer scratch(buffer.capacity());
  if (scratch.data() == nullptr) return;
  std::memcpy(scratch.data(), image.data(), image.size());
  result.count = static_cast<std::uint32_t>(image.size());
  result.held = {{0u, result.count}};
  Commit(buffer, scratch, name);
  buffer.setDevice(elf->device);
}



std::string TooLargeError(const std::string& name, std::uintmax_t size, std::uint32_t capacity) {
  return name + ": the file holds " + std::to_string(size) + " bytes, more than the " +
         std::to_string(capacity) + " bytes of the buffer";
}

// The start of the file: its first bytes, or (sniff) everything up to the end of the first
// line that is not blank, less the blank lines before it. False when it cannot be opened.
bool ReadHead(const std::string& path, bool sniff, std::string& head) {
  std::FILE* file = OpenFileUtf8(path, "rb");
  if (file == nullptr) return false;
  char block[4096];
  for (;;) {
    const std::size_t got = std::fread(block, 1, sizeof block, file);
    head.append(block, got);
    if (got < sizeof block || !sniff) break;
    const auto text = head.find_first_not_of(kBlanks);
    if (text == std::string::npos) {
      // Only blank lines so far: keep the last, unfinished one.
      const auto lineEnd = head.rfind('\n');
      if (lineEnd != std::string::npos) head.erase(0, lineEnd + 1);
      continue;
    }
    if (head.find('\n', text) != std::string::npos || head.size() - text >= kSniffLineChars) break;
  }
  std::fclose(file);
  return true;
}

ImageFormat ResolveLoadFormat(ImageFormat format, std::string_view name, std::string_view head) {
  if (format == ImageFormat::Auto) format = ImageFormatForPath(name);
  if (format == ImageFormat::Auto) {
    format = BeginsWithHexRecord(head) ? ImageFormat::IntelHex : ImageFormat::Binary;
  }
  return format;
}

void TakeHexReport(const HexReadReport& report, const std::string& name, ImageLoadResult& result) {
  if (!report.error.empty()) {
    result.count = 0;
    result.error = name + ": " + report.error;
  } else if (report.records == 0) {
    // Text or bytes of another kind under a HEX name, or given as HEX.
    result.error = name + " holds no Intel HEX record.";
  } else if (result.count == 0) {
    result.error = name + " holds no data" +
                   (report.endOfFile && report.records == 1 ? " (only its end record)." : ".");
  } else if (!report.endOfFile) {
    result.warning = name + ": no end-of-file record; the file may be incomplete";
    result.incomplete = true;
  }
  if (result.count != 0) result.held = report.held;
}

// Puts a loaded scratch image into the buffer, which then remembers name.
void Commit(MemoryBuffer& buffer, const MemoryBuffer& scratch, const std::string& name) {
  const auto lock = buffer.Lock();
  std::memcpy(buffer.data(), scratch.data(), buffer.capacity());
  buffer.setFilePath(name);
  buffer.setIncomplete(false);
  buffer.setDevice({});
}

// The save range rule: false (nothing to save) when first is not below the last byte to
// save. Called with the buffer locked.
bool ResolveSaveRange(const MemoryBuffer& buffer, std::uint32_t first, std::uint32_t& last) {
  if (first > buffer.lastIndex()) return false;
  if (first < last && last != 0 && last <= buffer.lastIndex()) return true;
  const std::uint8_t* data = buffer.data();
  std::uint32_t highest = buffer.lastIndex();
  while (highest > 0 && data[highest] == 0xFF) --highest;
  if (first >= highest) return false;
  last = highest;
  return true;
}

}  // namespace

ImageFormat ImageFormatForPath(std::string_view path) {
  const auto dot = path.rfind('.');
  if (dot == std::string_view::npos) return ImageFormat::Auto;
  const std::string extension = ToUpperAscii(path.substr(dot + 1));
  if (extension == "HEX" || extension == "EEP" || extension == "IHX" || extension == "IHEX") {
    return ImageFormat::IntelHex;
  }
  if (extension == "BIN") return ImageFormat::Binary;
  return ImageFormat::Auto;
}

bool BeginsWithHexRecord(std::string_view bytes) {
  const auto text = bytes.find_first_not_of(kBlanks);
  if (text == std::string_view::npos) return false;
  const auto previousEnd = bytes.rfind('\n', text);
  const std::size_t start = previousEnd == std::string_view::npos ? 0 : previousEnd + 1;
  std::string_view line = bytes.substr(start, bytes.find('\n', text) - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line.front() == ':' && ParseHexRecord(line).accepted;
}

bool IsElfImage(std::string_view bytes) {
  return LooksLikeElf(bytes);
}

std::string ImageFileProblem(const std::string& path) {
  const std::filesystem::path file = PathFromUtf8(path);
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  if (!std::filesystem::exists(status)) return path + " not found.";
  if (std::filesystem::is_directory(status)) return path + " is a folder.";
  // A device or pipe could block the reader or feed it without end.
  if (!std::filesystem::is_regular_file(status)) return path + " is not a regular file.";
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) return path + " cannot be read: " + ec.message();
  if (size == 0) return path + " is empty.";
  errno = 0;
  std::FILE* opened = OpenFileUtf8(path, "rb");
  if (opened == nullptr) {
    return path + " cannot be read: " + (errno != 0 ? std::strerror(errno) : "it cannot be opened");
  }
  std::fclose(opened);
  return "";
}

ImageLoadResult LoadImage(MemoryBuffer& buffer, const std::string& path, ImageFormat format) {
  ImageLoadResult result;
  if (buffer.data() == nullptr || path.empty()) return result;
  const std::filesystem::path file = PathFromUtf8(path);
  std::error_code ec;
  // Only regular files with bytes in them; a missing file leaves the error empty for the
  // caller's "not found.".
  if (!std::filesystem::exists(std::filesystem::status(file, ec))) return result;
  result.error = ImageFileProblem(path);
  if (!result.error.empty()) return result;
  const bool sniff = format == ImageFormat::Auto && ImageFormatForPath(path) == ImageFormat::Auto;
  std::string head;
  if (!ReadHead(path, sniff, head)) {
    result.error = path + " cannot be read.";
    return result;
  }
  // An ELF file is known by its content when neither its name nor the caller says what it is;
  // a file named .bin or .hex (or read with a format given) is read as that format, so a raw
  // image that happens to begin with 7F 45 4C 46 stays a raw image.
  if (sniff && IsElfImage(head)) {
    std::string bytes;
    if (!ReadFileBytes(path, bytes, kMaxElfBytes)) return result;
    if (bytes.size() > kMaxElfBytes) {
      result.error = path + ": the file is too large to be an AVR program";
      return result;
    }
    LoadElf(buffer, bytes, path, result);
    return result;
  }
  MemoryBuffer scratch(buffer.capacity());
  if (scratch.data() == nullptr) return result;
  if (ResolveLoadFormat(format, path, head) == ImageFormat::IntelHex) {
    HexReadReport report;
    result.count = ReadHexImage(scratch, path, &report);
    TakeHexReport(report, path, result);
  } else {
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (!ec && size > buffer.capacity()) {
      result.error = TooLargeError(path, size, buffer.capacity());
      return result;
    }
    result.count = ReadBinaryImage(scratch, path);
    if (result.count == 0) result.error = path + " cannot be read.";
    result.held = {{0u, result.count}};
  }
  if (result.count != 0) {
    Commit(buffer, scratch, path);
    buffer.setIncomplete(result.incomplete);
  }
  return result;
}

ImageLoadResult LoadImageBytes(MemoryBuffer& buffer, std::string_view bytes, ImageFormat format,
                               const std::string& name) {
  ImageLoadResult result;
  if (buffer.data() == nullptr) return result;
  if (bytes.empty()) {
    result.error = name + " is empty.";
    return result;
  }
  if (format == ImageFormat::Auto && ImageFormatForPath(name) == ImageFormat::Auto &&
      IsElfImage(bytes)) {
    LoadElf(buffer, bytes, name, result);
    return result;
  }
  MemoryBuffer scratch(buffer.capacity());
  if (scratch.data() == nullptr) return result;
  if (ResolveLoadFormat(format, name, bytes) == ImageFormat::IntelHex) {
    HexReadReport report;
    result.count = ReadHexImageText(scratch, bytes, name, &report);
    TakeHexReport(report, name, result);
  } else {
    if (bytes.size() > buffer.capacity()) {
      result.error = TooLargeError(name, bytes.size(), buffer.capacity());
      return result;
    }
    std::memcpy(scratch.data(), bytes.data(), bytes.size());
    result.count = static_cast<std::uint32_t>(bytes.size());
    result.held = {{0u, result.count}};
  }
  if (result.count != 0) {
    Commit(buffer, scratch, name);
    buffer.setIncomplete(result.incomplete);
  }
  return result;
}

bool ReadFileBytes(const std::string& path, std::string& bytes, std::uintmax_t maxBytes) {
  std::FILE* file = OpenFileUtf8(path, "rb");
  if (file == nullptr) return false;
  char block[65536];
  std::size_t got = 0;
  while (bytes.size() <= maxBytes && (got = std::fread(block, 1, sizeof block, file)) > 0) {
    bytes.append(block, got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return !failed;
}

std::uint32_t LoadImageFile(MemoryBuffer& buffer, const std::string& path) {
  return LoadImage(buffer, path).count;
}

SaveOutcome SaveImage(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                      std::uint32_t last, ImageFormat format, std::string* why) {
  if (buffer.data() == nullptr || path.empty()) return SaveOutcome::Failed;
  // Save is allowed while the programmer works; a read it finishes meanwhile waits for this.
  const auto lock = buffer.Lock();
  if (!ResolveSaveRange(buffer, first, last)) return SaveOutcome::NothingToSave;
  if (format == ImageFormat::Auto) format = ImageFormatForPath(path);
  const bool written = format == ImageFormat::IntelHex
                           ? WriteHexImage(buffer, path, first, last, why)
                           : WriteBinaryImage(buffer, path, first, last, why);
  return written ? SaveOutcome::Written : SaveOutcome::Failed;
}

SaveOutcome FormatImage(MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last,
                        ImageFormat format, std::string& text) {
  if (buffer.data() == nullptr) return SaveOutcome::Failed;
  const auto lock = buffer.Lock();
  if (!ResolveSaveRange(buffer, first, last)) return SaveOutcome::NothingToSave;
  const bool formatted = format == ImageFormat::Binary
                             ? FormatBinaryImage(buffer, first, last, text)
                             : FormatHexImage(buffer, first, last, text);
  return formatted ? SaveOutcome::Written : SaveOutcome::Failed;
}

bool SaveImageFile(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                   std::uint32_t last) {
  return SaveImage(buffer, path, first, last) == SaveOutcome::Written;
}

}  // namespace bq
