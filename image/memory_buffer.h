#pragma once
// The flash and EEPROM images the program holds: fixed capacity, erased value 0xFF.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace bq {

inline constexpr std::uint32_t kFlashBufferBytes = 0x50000;
inline constexpr std::uint32_t kEepromBufferBytes = 0x2000;

// Running state of the Intel HEX writer, kept in the buffer being written.
struct HexRecordStaging {
  std::uint32_t pending[16] = {};
  std::uint32_t previousAddress = 0;
  std::uint32_t pendingCount = 0;
  std::uint32_t recordAddress = 0;
  std::uint32_t started = 0;
  std::uint32_t segment = 0;  // upper 16 bits of the address last announced by a type 04 record
};

class MemoryBuffer {
 public:
  // Allocates capacity bytes, all 0xFF. A capacity of 0 leaves the buffer without storage.
  explicit MemoryBuffer(std::uint32_t capacity);
  MemoryBuffer(const MemoryBuffer&) = delete;
  MemoryBuffer& operator=(const MemoryBuffer&) = delete;

  std::uint8_t* data() { return data_.get(); }
  const std::uint8_t* data() const { return data_.get(); }
  // Index of the last byte (capacity - 1); 0 when there is no storage.
  std::uint32_t lastIndex() const { return lastIndex_; }
  std::uint32_t capacity() const { return data_ ? lastIndex_ + 1 : 0; }

  const std::string& filePath() const { return filePath_; }
  void setFilePath(std::string path) { filePath_ = std::move(path); }
  // The image came from an Intel HEX file without its end-of-file record (ImageLoadResult).
  bool incomplete() const { return incomplete_; }
  void setIncomplete(bool incomplete) { incomplete_ = incomplete; }
  // The device the image was built for, as an ELF file names it ("atmega328p"); empty when
  // the image does not say (any other file, a read from the chip).
  const std::string& device() const { return device_; }
  void setDevice(std::string device) { device_ = std::move(device); }

  HexRecordStaging& staging() { return staging_; }

  // The programmer worker puts a memory it read into the image under this lock, while the
  // views and Save may read the image on the user-interface thread; those readers hold it
  // too. Every other change of the image happens only while the worker is idle.
  std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(mutex_); }

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<std::uint8_t[]> data_;
  std::uint32_t lastIndex_ = 0;
  HexRecordStaging staging_;
  std::string filePath_;
  bool incomplete_ = false;
  std::string device_;
};

// Every byte 0 .. lastIndex becomes 0xFF; the file path stays, what was known about the
// image's origin (incomplete, device) goes.
void ClearBuffer(MemoryBuffer& buffer);

// The lowest address at or above from that holds a byte other than 0xFF; none when every
// byte from there to the end is erased.
std::optional<std::uint32_t> FirstProgrammedByteFrom(const MemoryBuffer& buffer,
                                                     std::uint32_t from);
// The same over size bytes of an image held elsewhere.
std::optional<std::uint32_t> FirstProgrammedByteFrom(const std::uint8_t* data, std::size_t size,
                                                     std::uint32_t from);
// One past the last byte other than 0xFF among the first size bytes; 0 when all are erased.
std::uint32_t ProgrammedLength(const std::uint8_t* data, std::size_t size);

// The part of the file path after its last backslash (or slash); the whole path without one.
std::string StoredFileName(const MemoryBuffer& buffer);

}  // namespace bq
