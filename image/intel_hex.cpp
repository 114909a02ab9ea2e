#include "image/intel_hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/utf8_path.h"
#include "image/safe_file_writer.h"

namespace bq {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

constexpr std::array<std::int8_t, 256> MakeHexValues() {
  std::array<std::int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return values;
}
constexpr std::array<std::int8_t, 256> kHexValues = MakeHexValues();

int HexValue(char c) {
  return kHexValues[static_cast<unsigned char>(c)];
}

// Reads exactly width hex digits at pos; false when any of them is not one. The caller has
// checked that the line is long enough.
bool ReadField(std::string_view line, std::size_t pos, int width, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < width; ++i) {
    const int digit = HexValue(line[pos + i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

std::string HexAddress(std::uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
  return text;
}

// Both hex digits of every byte value, so a byte is formatted with one table look-up.
constexpr std::array<std::array<char, 2>, 256> MakeDigitPairs() {
  std::array<std::array<char, 2>, 256> pairs{};
  for (int v = 0; v < 256; ++v) pairs[v] = {kDigits[v >> 4], kDigits[v & 0xF]};
  return pairs;
}
constexpr std::array<std::array<char, 2>, 256> kDigitPairs = MakeDigitPairs();

char* PutByte(char* p, std::uint32_t value) {
  std::memcpy(p, kDigitPairs[value & 0xFF].data(), 2);
  return p + 2;
}

void PutRecord(HexTextSink& out, std::uint8_t type, std::uint32_t address, const std::uint8_t* data,
               std::uint32_t count) {
  char* p = out.reserveLine();
  *p++ = ':';
  std::uint32_t sum = count + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
  p = PutByte(p, count);
  p = PutByte(p, (address >> 8) & 0xFF);
  p = PutByte(p, address & 0xFF);
  p = PutByte(p, type);
  for (std::uint32_t i = 0; i < count; ++i) {
    sum += data[i];
    p = PutByte(p, data[i]);
  }
  p = PutByte(p, (0x100 - (sum & 0xFF)) & 0xFF);
  *p++ = '\r';
  *p++ = '\n';
  out.commitLine(p);
}

// Writes the pending bytes as one data record, preceded by a type 04 record when the
// record lies in another 64 KiB segment than the one announced last.
void FlushPending(HexRecordStaging& s, HexTextSink& out) {
  if (s.pendingCount == 0) return;
  const std::uint32_t segment = s.recordAddress >> 16;
  if (segment != s.segment) {
    const std::uint8_t upper[2] = {static_cast<std::uint8_t>(segment >> 8),
                                   static_cast<std::uint8_t>(segment)};
    PutRecord(out, 0x04, 0, upper, 2);
    s.segment = segment;
  }
  std::uint8_t bytes[16];
  for (std::uint32_t i = 0; i < s.pendingCount; ++i)
    bytes[i] = static_cast<std::uint8_t>(s.pending[i]);
  PutRecord(out, 0x00, s.recordAddress & 0xFFFF, bytes, s.pendingCount);
}

// Writes a contiguous range as EmitHexByte would byte by byte, a whole record at a time:
// records of 16 bytes from first on, cut short only at 64 KiB boundaries and at the end.
bool WriteRange(MemoryBuffer& buffer, HexTextSink& out, std::uint32_t first, std::uint32_t last) {
  HexRecordStaging& s = buffer.staging();
  s.started = 0;
  s.segment = 0;
  const std::uint8_t* data = buffer.data();
  std::uint64_t a = first;
  while (a <= last) {
    const std::uint64_t toBoundary = 0x10000 - (a & 0xFFFF);
    const std::uint64_t count = std::min<std::uint64_t>({16, last - a + 1, toBoundary});
    const auto address = static_cast<std::uint32_t>(a);
    if ((address >> 16) != s.segment) {
      s.segment = address >> 16;
      const std::uint8_t upper[2] = {static_cast<std::uint8_t>(s.segment >> 8),
                                     static_cast<std::uint8_t>(s.segment)};
      PutRecord(out, 0x04, 0, upper, 2);
    }
    PutRecord(out, 0x00, address & 0xFFFF, data + a, static_cast<std::uint32_t>(count));
    a += count;
  }
  PutRecord(out, 0x01, 0, nullptr, 0);
  out.flush();
  return out.ok();
}

bool RangeIsValid(const MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last) {
  return buffer.data() != nullptr && first <= last && last <= buffer.lastIndex();
}

}  // namespace

HexRecord ParseHexRecord(std::string_view line) {
  HexRecord record;
  auto refuse = [&record](HexRecordProblem problem) {
    record.problem = problem;
    return record;
  };
  if (line.size() < 11 || line[0] != ':') return refuse(HexRecordProblem::TooShort);
  std::uint32_t count = 0;
  if (!ReadField(line, 1, 2, count)) return refuse(HexRecordProblem::NotHex);
  if (line.size() < 2 * count + 11) return refuse(HexRecordProblem::TooShort);
  std::uint32_t address = 0;
  std::uint32_t type = 0;
  if (!ReadField(line, 3, 4, address) || !ReadField(line, 7, 2, type)) {
    return refuse(HexRecordProblem::NotHex);
  }
  std::uint32_t sum = count + (address >> 8) + (address & 0xFF) + type;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t value = 0;
    if (!ReadField(line, 9 + 2 * i, 2, value)) return refuse(HexRecordProblem::NotHex);
    record.data[i] = static_cast<std::uint8_t>(value);
    sum += value;
  }
  std::uint32_t checksum = 0;
  if (!ReadField(line, 9 + 2 * count, 2, checksum)) return refuse(HexRecordProblem::NotHex);
  if (((sum + checksum) & 0xFF) != 0) return refuse(HexRecordProblem::Checksum);
  record.accepted = true;
  record.count = static_cast<std::uint8_t>(count);
  record.address = static_cast<std::uint16_t>(address);
  record.type = static_cast<std::uint8_t>(type);
  return record;
}

char* HexTextSink::reserveLine() {
  if (block_.size() - used_ < kMaxLine) flush();
  return block_.data() + used_;
}

bool HexTextSink::flush() {
  if (used_ != 0 && ok_) {
    if (file_ != nullptr) {
      ok_ = file_->write(block_.data(), used_);
    } else if (text_ != nullptr) {
      text_->append(block_.data(), used_);
    }
  }
  used_ = 0;
  return ok_;
}

void EmitHexByte(MemoryBuffer& buffer, HexTextSink& out, std::uint8_t value, std::uint32_t address,
                 bool final) {
  HexRecordStaging& s = buffer.staging();
  if (s.started == 0) {
    s.previousAddress = address - 1;
    s.pendingCount = 0;
    s.recordAddress = address;
    s.started = 1;
    s.segment = 0;
  }
  const bool gap = address != s.previousAddress + 1;
  const bool newSegment = (address >> 16) != (s.recordAddress >> 16);
  if (s.pendingCount > 0 && (gap || newSegment || s.pendingCount >= 16 || final)) {
    FlushPending(s, out);
    s.recordAddress = address;
    s.pendingCount = 0;
  } else if (s.pendingCount == 0) {
    s.recordAddress = address;
  }
  if (final) {
    PutRecord(out, 0x01, 0, nullptr, 0);
    out.flush();
    s.started = 0;
    return;
  }
  s.previousAddress = address;
  s.pending[s.pendingCount] = value;
  s.pendingCount += 1;
}

bool WriteHexImage(MemoryBuffer& buffer, const std::string& path, std::uint32_t first,
                   std::uint32_t last, std::string* why) {
  if (!RangeIsValid(buffer, first, last)) return false;
  SafeFileWriter file;
  HexTextSink out(file);
  const bool written = file.open(path) && WriteRange(buffer, out, first, last) && file.commit();
  if (!written && why != nullptr) *why = file.error();
  return written;
}

bool FormatHexImage(MemoryBuffer& buffer, std::uint32_t first, std::uint32_t last,
                    std::string& text) {
  if (!RangeIsValid(buffer, first, last)) return false;
  HexTextSink out(text);
  return WriteRange(buffer, out, first, last);
}

HexImageReader::HexImageReader(MemoryBuffer& buffer, std::string_view path)
    : buffer_(buffer), path_(path) {
  ClearBuffer(buffer_);
}

bool HexImageReader::feed(std::string_view bytes) {
  while (!bytes.empty() && state_ == State::Reading) {
    const std::size_t take = std::min(kLineChars - lineLength_, bytes.size());
    const void* newline = std::memchr(bytes.data(), '\n', take);
    const std::size_t length =
        newline != nullptr
            ? static_cast<std::size_t>(static_cast<const char*>(newline) - bytes.data()) + 1
            : take;
    const bool complete = newline != nullptr || lineLength_ + length == kLineChars;
    if (complete) {
      // The piece after the front of an overlong line is read as a line of its own, but
      // it is still the same line of the file.
      if (!pieceContinues_) ++lineNumber_;
      pieceContinues_ = newline == nullptr;
    }
    if (lineLength_ == 0 && complete) {
      takeLine(bytes.substr(0, length));  // the whole line is in hand: no copy
    } else {
      std::memcpy(line_.data() + lineLength_, bytes.data(), length);
      lineLength_ += length;
      if (complete) {
        takeLine(std::string_view(line_.data(), lineLength_));
        lineLength_ = 0;
      }
    }
    bytes.remove_prefix(length);
  }
  return state_ == State::Reading;
}

void HexImageReader::fail(std::string why) {
  if (state_ == State::Failed) return;
  state_ = State::Failed;
  error_ = std::move(why);
}

void HexImageReader::failLine(const std::string& why) {
  fail("line " + std::to_string(lineNumber_) + ": " + why);
}

std::uint32_t HexImageReader::finish() {
  if (state_ == State::Reading && lineLength_ > 0) {
    if (!pieceContinues_) ++lineNumber_;
    takeLine(std::string_view(line_.data(), lineLength_));
    lineLength_ = 0;
  }
  if (state_ == State::Failed) {
    ClearBuffer(buffer_);
    return 0;
  }
  return stored_;
}

void HexImageReader::takeLine(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty() || line.front() != ':') return;
  const HexRecord record = ParseHexRecord(line);
  if (!record.accepted) {
    switch (record.problem) {
      case HexRecordProblem::TooShort:
        return failLine("record too short");
      case HexRecordProblem::NotHex:
        return failLine("not a hexadecimal record");
      default:
        return failLine("checksum error");
    }
  }
  ++records_;
  switch (record.type) {
    case 0x00: {
      std::uint8_t* data = buffer_.data();
      const std::uint64_t lastIndex = data != nullptr ? buffer_.lastIndex() : 0;
      for (std::uint32_t i = 0; i < record.count; ++i) {
        const std::uint32_t offset = record.address + i;
        const std::uint64_t address = base_ + (segmented_ ? (offset & 0xFFFF) : offset);
        if (data == nullptr || address > lastIndex) {
          // A flash file read into the EEPROM image, say: refused, never cut short.
          return failLine("data at address " + HexAddress(address) + " lies beyond the " +
                          std::to_string(data != nullptr ? lastIndex + 1 : 0) + "-byte buffer");
        }
        data[address] = record.data[i];
        ++stored_;
        const auto a = static_cast<std::uint32_t>(address);
        if (!held_.empty() && held_.back().second == a) {
          held_.back().second = a + 1;
        } else {
          held_.emplace_back(a, a + 1);
        }
      }
      return;
    }
    case 0x01:
      buffer_.setFilePath(std::string(path_));
      endOfFile_ = true;
      state_ = State::Finished;
      return;
    case 0x02:
    case 0x04: {
      // A base that cannot be read would put every following byte at a wrong address.
      if (record.count != 2) return failLine("address record without its two bytes");
      const std::uint64_t value = (std::uint64_t{record.data[0]} << 8) | record.data[1];
      segmented_ = record.type == 0x02;
      base_ = segmented_ ? value << 4 : value << 16;
      return;
    }
    case 0x03:
    case 0x05:
      return;  // start address: carries no data
    default: {
      char type[8];
      std::snprintf(type, sizeof type, "0x%02X", static_cast<unsigned>(record.type));
      return failLine(std::string("unknown record type ") + type);
    }
  }
}

namespace {
std::uint32_t Finish(HexImageReader& reader, HexReadReport* report) {
  const std::uint32_t count = reader.finish();
  if (report != nullptr) {
    report->error = reader.error();
    report->endOfFile = reader.sawEndOfFile();
    report->records = reader.records();
    report->held = reader.held();
  }
  return count;
}
}  // namespace

std::uint32_t ReadHexImageText(MemoryBuffer& buffer, std::string_view text,
                               const std::string& path, HexReadReport* report) {
  HexImageReader reader(buffer, path);
  reader.feed(text);
  return Finish(reader, report);
}

std::uint32_t ReadHexImage(MemoryBuffer& buffer, const std::string& path,
                           HexReadReport* report) {
  std::error_code ec;
  if (std::filesystem::is_directory(PathFromUtf8(path), ec)) return 0;
  std::FILE* file = OpenFileUtf8(path, "rb");
  if (file == nullptr) return 0;
  HexImageReader reader(buffer, path);
  std::array<char, 32768> block;
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got > 0 && !reader.feed(std::string_view(block.data(), got))) break;
    if (got < block.size()) {
      if (std::ferror(file) != 0) reader.fail("read error");
      break;
    }
  }
  std::fclose(file);
  return Finish(reader, report);
}

}  // namespace bq
