#pragma once
// A programming session on one port: every chip operation as a call that returns its
// result as a value (an image, bytes, a verdict) with a status that says exactly what
// failed. The operations are the programmer worker's own (one implementation of each);
// the session runs them one at a time and waits for them. Log lines go to an observer
// with the texts the desktop programs show; progress goes to a callback.
//
// Threads: one thread drives a session. Cancel() may come from any thread (a signal
// handler's helper, a stop button). Sessions on different ports are independent and may
// run side by side in one process.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/log_entry.h"
#include "image/memory_buffer.h"
#include "link/fuse_bytes.h"
#include "link/programmer.h"
#include "link/serial_port.h"
#include "parts/part_database.h"
#include "parts/part_record.h"

namespace bq {

// What an operation came to.
enum class SessionStatus : std::uint8_t {
  Ok,
  PortNotOpen,  // Open() failed or was not called
  LinkError,    // the programmer did not answer properly: linkStatus says how
  DeviceError,  // the programmer answered with a device error: linkStatus holds its code
  Mismatch,     // a verification or the signature check found a difference
  NotEmpty,     // a blank check found data
  Refused,      // a rule refused the operation before anything was sent
  Cancelled,    // Cancel() ended it; the programmer is ready for the next request
};

struct SessionResult {
  SessionStatus status = SessionStatus::Ok;
  std::uint8_t linkStatus = 0;  // the LinkStatus of the exchange that failed
  std::string message;          // what failed, in a line the user can act on
  bool ok() const { return status == SessionStatus::Ok; }
};

// A memory of the chip as the transfer parameters describe it.
struct MemoryGeometry {
  MemoryKind kind = MEMORY_FLASH;
  std::uint32_t pageSize = 0;   // flash: words per page; EEPROM: bytes per page
  std::uint32_t pageCount = 0;  // pages of the whole memory
  std::uint32_t PageBytes() const { return kind == MEMORY_FLASH ? pageSize * 2u : pageSize; }
  std::uint32_t Bytes() const { return PageBytes() * pageCount; }
};
MemoryGeometry FlashGeometry(const PartRecord& part);
// Pages from 0 up to the last one holding a byte other than 0xFF, of an image of size bytes.
std::uint32_t PagesWithData(const std::uint8_t* image, std::size_t size,
                            const MemoryGeometry& memory);
MemoryGeometry EepromGeometry(const PartRecord& part);

// Progress of a transfer in pages, or a busy display without a measure (the blank check).
// Reported from the worker thread.
struct SessionProgress {
  std::uint32_t done = 0;
  std::uint32_t total = 0;
  bool busy = false;      // no measure: show that something is going on
  bool finished = false;  // the display ends
};

struct ProgrammerVersions {
  std::uint32_t hardware = 0;  // major * 256 + minor
  std::uint32_t firmware = 0;
};

struct IdentifiedChip {
  std::uint32_t signature = 0;
  bool socket = false;  // found in a high-voltage socket, not on the ISP cable
};

class ChipSession {
 public:
  using LogObserver = std::function<void(LogKind, const std::string&)>;
  using ProgressCallback = std::function<void(const SessionProgress&)>;

  explicit ChipSession(std::vector<std::shared_ptr<PortDriver>> drivers);
  ~ChipSession();
  ChipSession(const ChipSession&) = delete;
  ChipSession& operator=(const ChipSession&) = delete;

  // Set before Open(); called from the worker thread as well as the calling thread.
  void SetLogObserver(LogObserver observer);
  void SetProgressCallback(ProgressCallback callback);
  // Names chips in the log lines of Identify and CheckSignature, as the desktop does.
  void SetPartDatabase(const PartDatabase* parts) { parts_ = parts; }

  // Opens the port and starts the worker. On failure the reason the system gave, if any,
  // is in *why.
  bool Open(const std::string& port, std::string* why = nullptr);
  void Close();
  bool IsOpen() const;
  // Port names the drivers offer, and what the system knows about one ("" when nothing).
  std::vector<std::string> Ports();
  std::string DescribePort(const std::string& name) const { return port_.DescribePort(name); }

  // Ends the running operation after the exchange in progress; every later operation of
  // the session ends at once as Cancelled (the user asked to stop).
  void Cancel();

  // The programming mode for the operations that follow (PROG_MODE_*).
  void SetMode(std::uint8_t progMode) { mode_ = progMode; }
  std::uint8_t Mode() const { return mode_; }

  SessionResult Versions(ProgrammerVersions& out);
  SessionResult Identify(IdentifiedChip& out);
  // index 1..7 sets that clock, 0 detects the fastest the target takes; clock is what the
  // programmer chose (0 when none).
  SessionResult SelectIspClock(std::uint8_t index, std::uint8_t& clock);
  SessionResult ReadSignature(std::uint32_t& signature);
  // Reads the signature and compares it: Mismatch when it differs (signature holds it).
  SessionResult CheckSignature(std::uint32_t expected, std::uint32_t& signature);

  // Reads the first `pages` pages (0: all) into image (the memory's bytes, no more).
  SessionResult ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                           std::vector<std::uint8_t>& image);
  // Writes the first `pages` pages (0: all) of image (missing bytes are 0xFF).
  SessionResult WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                            const std::vector<std::uint8_t>& image);
  // Compares the first `pages` pages (0: all); Mismatch with firstDifference set when they
  // differ.
  SessionResult VerifyMemory(const MemoryGeometry& memory, std::uint32_t pages,
                             const std::vector<std::uint8_t>& image,
                             std::optional<std::uint32_t>& firstDifference);
  SessionResult Erase();
  // NotEmpty when the memory holds data.
  SessionResult BlankCheck(const MemoryGeometry& memory);

  // Fuse bytes: the slots marked present are read, written or compared (LOW, HIGH,
  // EXTENDED); the lock byte likewise in the lock slot.
  SessionResult ReadFuses(FuseByteSlots& bytes);
  // Writes, then reads the bytes back: Mismatch, with what the chip holds, when they differ
  // in a bit the part defines (fields: the part's fuse or lock fields; every bit without
  // them, or of a byte none of them covers).
  SessionResult WriteFuses(const FuseByteSlots& bytes, const BitFieldMap* fields = nullptr);
  // Mismatch with differing set to the number of bytes that differ.
  SessionResult VerifyFuses(const FuseByteSlots& bytes, int& differing);
  SessionResult ReadLock(ByteSlot& lock);
  SessionResult WriteLock(const ByteSlot& lock, const BitFieldMap* fields = nullptr);
  SessionResult VerifyLock(const ByteSlot& lock, bool& differs);

  SessionResult ReadCalibration(std::uint8_t address, std::uint8_t& value);

 private:
  class Events;
  SessionResult Finish();  // waits for the worker, turns its status into a result
  SessionResult Ready();   // Ok when an operation may start: open and not cancelled
  SessionResult Start(bool accepted);
  SessionResult ReadBack(const FuseByteSlots& written, bool lock, const BitFieldMap* fields);
  bool PrepareMemory(const MemoryGeometry& memory, std::uint32_t pages, SessionResult& refused);

  std::unique_ptr<Events> events_;
  SerialPort port_;
  MemoryBuffer flash_{kFlashBufferBytes};
  MemoryBuffer eeprom_{kEepromBufferBytes};
  FuseByteSlots fuses_;
  FuseByteSlots lock_;
  std::uint8_t mode_ = 0;
  std::atomic<bool> cancelled_{false};
  const PartDatabase* parts_ = nullptr;
  CProgrammer programmer_;  // last: stopped before anything it uses goes
};

// One line for the user: "ok", the link status text, or the message of a refusal.
std::string SessionStatusName(SessionStatus status);

}  // namespace bq
