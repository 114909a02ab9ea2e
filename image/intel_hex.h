#pragma once
// Intel HEX image files: the writer for an address range of a MemoryBuffer and the reader
// that fills a MemoryBuffer from a file.
//
// The writer emits data records (type 00) of up to 16 bytes, upper-case, CR LF line ends,
// and the end-of-file record. Addresses above 0xFFFF are announced by an extended linear
// address record (type 04) before the first data record of each 64 KiB segment above the
// first; no data record crosses a 64 KiB boundary. A range inside 0..0xFFFF therefore
// gives a plain 16-bit file without any type 04 record.
//
// The reader accepts either case and LF, CR LF or no line end; type 02 and 04 records set
// the address base, type 03 and 05 (start addresses) are skipped. Lines that do not begin
// with ':' are skipped (comments, blank lines). Everything else that is wrong fails the
// whole read, so a damaged file never loads with holes: a record line that is too short,
// not hexadecimal or has a wrong checksum, an unknown record type, a malformed address
// record, data beyond the buffer, or an I/O error.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/memory_buffer.h"

namespace bq {

class SafeFileWriter;

// Why ParseHexRecord refused a line.
enum class HexRecordProblem : std::uint8_t { None, TooShort, NotHex, Checksum };

// One record line as checked by ParseHexRecord.
struct HexRecord {
  bool accepted = false;
  HexRecordProblem problem = HexRecordProblem::None;  // set when refused
  std::uint8_t count = 0;     // number of data bytes
  std::uint16_t address = 0;  // 16-bit address field
  std::uint8_t type = 0;      // 00 data, 01 end of file, 02 / 04 address base, ...
  std::array<std::uint8_t, 255> data{};
};

// Checks one line that begins with ':' (line end already removed). Refused when shorter
// than the record needs, when a field does not begin with a hex digit, or when the
// checksum does not add up. Characters after the checksum are ignored.
HexRecord ParseHexRecord(std::string_view line);

// Collects the writer's text in large blocks and passes each full block on, either to a
// file being saved or to a string.
class HexTextSink {
 public:
  explicit HexTextSink(SafeFileWriter& file) : file_(&file) {}
  explicit HexTextSink(std::string& text) : text_(&text) {}
  HexTextSink(const HexTextSink&) = delete;
  HexTextSink& operator=(const HexTextSink&) = delete;

  // Room for at least one whole record line.
  static constexpr std::size_t kMaxLine = 64;
  char* reserveLine();
  void commitLine(char* end) { used_ = static_cast<std::size_t>(end - block_.data()); }
  // Passes the collected text on; false once anything failed.
  bool flush();
  bool ok() const { return ok_; }

 private:
  std::array<char, 32768> block_;
  std::size_t used_ = 0;
  SafeFileWriter* file_ = nullptr;
  std::string* text_ = nullptr;
  bool ok_ = true;
};

// The writer's step for one byte, using the buffer's HexRecordStaging: bytes of
// consecutive addresses collect into records of up to 16 bytes. With final set it writes
// the last pending data record and the end-of-file record and flushes the sink.
// WriteHexImage gives the same text for a range, a whole record at a time.
void EmitHexByte(MemoryBuffer& buffer, HexTextSink& out, std::uint8_t value, std::uint32_t address,
                 bool final);

// Writes addresses first..last (inclusive) of buffer to path, replacing an existing file
// only once the new one is complete. False when first > last, last is beyond the buffer,
// or the file cannot be created, written or closed (an existing file is then untouched);
// why then says what went wrong with the file (see SafeFileWriter::error).
bool WriteHexImage(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                   std::uint32_t last, std::string* why = nullptr);

// The same text as WriteHexImage, appended to text.
bool FormatHexImage(MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last,
                    std::string& text);

// What a read found besides the bytes: why it failed ("line 3: checksum error"; empty when
// it did not fail, or the file could not be opened) and whether the end-of-file record came.
struct HexReadReport {
  std::string error;
  bool endOfFile = false;
  std::uint32_t records = 0;  // records read, of any type
  // The addresses the data records filled, as [first, end) ranges in the order read,
  // adjacent ones merged.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> held;
};

// Fills buffer from the Intel HEX file at path and returns the number of data bytes
// stored; 0 means failure. A file that cannot be opened leaves the buffer unchanged;
// otherwise the buffer is cleared first, and a failed read leaves it all 0xFF. The
// buffer's file path is set to path when the end-of-file record is read.
std::uint32_t ReadHexImage(MemoryBuffer& buffer, const std::string& path,
                           HexReadReport* report = nullptr);

// The reader fed from memory: text is treated as the content of the file at path.
std::uint32_t ReadHexImageText(MemoryBuffer& buffer, std::string_view text,
                               const std::string& path, HexReadReport* report = nullptr);

// The reader's line-splitting core: feed the file's bytes in pieces of any size, then
// call finish(). Lines are handled in a fixed 1000-character buffer; a line longer than
// 999 characters is handled in pieces of 999, the rest as the next line.
class HexImageReader {
 public:
  // Clears the buffer. path is what the buffer remembers on an end-of-file record; the text
  // it refers to must outlive the reader.
  HexImageReader(MemoryBuffer& buffer, std::string_view path);
  HexImageReader(const HexImageReader&) = delete;
  HexImageReader& operator=(const HexImageReader&) = delete;

  // False once reading has stopped (end-of-file record or failure); the rest is ignored.
  bool feed(std::string_view bytes);
  // Makes the read fail (for example after an I/O error).
  void fail(std::string why);
  // Handles the last line; returns the bytes stored, or 0 (buffer all 0xFF) on failure.
  std::uint32_t finish();
  // Why the read failed, with the line number ("line 3: checksum error"); empty otherwise.
  const std::string& error() const { return error_; }
  bool sawEndOfFile() const { return endOfFile_; }
  std::uint32_t records() const { return records_; }
  const std::vector<std::pair<std::uint32_t, std::uint32_t>>& held() const { return held_; }

 private:
  enum class State { Reading, Finished, Failed };
  static constexpr std::size_t kLineChars = 999;

  void takeLine(std::string_view line);
  void failLine(const std::string& why);

  MemoryBuffer& buffer_;
  std::string_view path_;
  std::array<char, kLineChars + 1> line_;
  std::size_t lineLength_ = 0;
  std::uint32_t stored_ = 0;
  std::uint64_t base_ = 0;
  bool segmented_ = false;  // base from a type 02 record: offsets wrap within 64 KiB
  State state_ = State::Reading;
  std::uint32_t lineNumber_ = 0;  // of the line being handled, from 1
  bool pieceContinues_ = false;   // the last piece was the front of an overlong line
  bool endOfFile_ = false;
  std::string error_;
  std::uint32_t records_ = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> held_;
};

}  // namespace bq
