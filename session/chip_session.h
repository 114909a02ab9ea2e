#pragma once
// A programming session on one port: every chip operation as a call that returns its
// result as a value (an image, bytes, a verdict) with a status that says exactly what
// failed. The session talks to the programmer through the driver of its kind (our own
// protocol unless told otherwise) and does itself what that programmer cannot: a blank
// check or a verify by reading, identify by the signature over ISP. Log lines go to an
// observer with the texts the desktop programs show; progress goes to a callback.
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
#include "drivers/driver_types.h"
#include "drivers/programmer_driver.h"
#include "drivers/serialupdi/serialupdi_driver.h"
#include "image/memory_buffer.h"
#include "link/fuse_bytes.h"
#include "link/serial_port.h"
#include "parts/part_database.h"
#include "parts/part_record.h"

namespace bq {

class ChipSession {
 public:
  using LogObserver = std::function<void(LogKind, const std::string&)>;
  using ProgressCallback = std::function<void(const SessionProgress&)>;

  explicit ChipSession(std::vector<std::shared_ptr<PortDriver>> drivers,
                       ProgrammerKind programmer = ProgrammerKind::Brindlequartz);
  ~ChipSession();
  ChipSession(const ChipSession&) = delete;
  ChipSession& operator=(const ChipSession&) = delete;

  // Set before Open(); called from the worker thread as well as the calling thread.
  void SetLogObserver(LogObserver observer);
  void SetProgressCallback(ProgressCallback callback);
  // Names chips in the log lines of Identify and CheckSignature, as the desktop does.
  void SetPartDatabase(const PartDatabase* parts) { parts_ = parts; }
  // The kind of programmer on the port, chosen before Open(); baud 0 is its default rate.
  void SetProgrammer(ProgrammerKind kind, std::uint32_t baud = 0);
  const ProgrammerInfo& Programmer() const { return driver_->Info(); }
  // The part the operations are for (programmers that need its parameters).
  void SetPart(const std::string& name, const PartRecord* part);

  // Opens the port and starts the worker. On failure the reason the system gave, if any,
  // is in *why.
  bool Open(const std::string& port, std::string* why = nullptr);
  void Close();
  bool IsOpen() const;
  // Port names the drivers offer, and what the system knows about one ("" when nothing).
  std::vector<std::string> Ports();
  std::string DescribePort(const std::string& name) const { return port_.DescribePort(name); }
  // The port the session opens, for adding drivers and listing ports while it is idle.
  SerialPort& Port() { return port_; }

  // Ends the running operation after the exchange in progress; every later operation of
  // the session ends at once as Cancelled (the user asked to stop).
  void Cancel();
  // Ends the effect of Cancel: the operations that follow run again.
  void ClearCancel();
  bool IsCancelled() const { return cancelled_.load(); }

  // The programming mode for the operations that follow (PROG_MODE_*).
  void SetMode(std::uint8_t progMode) { mode_ = progMode; }
  std::uint8_t Mode() const { return mode_; }
  // The driver, for the settings only a kind of programmer has.
  ProgrammerDriver& Driver() { return *driver_; }

  SessionResult Versions(ProgrammerVersions& out);
  SessionResult Identify(IdentifiedChip& out);
  // index 1..7 sets that clock, 0 detects the fastest the target takes; clock is what the
  // programmer chose (0 when none).
  SessionResult SelectIspClock(std::uint8_t index, std::uint8_t& clock);
  // The programmer's clock on the ISP cable's XTAL1 lead on or off (a chip set to a crystal
  // or clock that is not fitted answers over ISP with it). Refused when the programmer has
  // none; stopped when the session closes.
  SessionResult SetTargetClock(bool on);
  SessionResult ReadSignature(std::uint32_t& signature);
  // Reads the signature and compares it: Mismatch when it differs (signature holds it).
  // With failedReadDiffers a read the chip did not answer counts as signature 0, which
  // differs (the desktop then asks whether to go on); otherwise its error is the result.
  SessionResult CheckSignature(std::uint32_t expected, std::uint32_t& signature,
                               bool failedReadDiffers = false);

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

  // UPDI parts (a programmer with can.updi): the fuse bytes by offset from the part's fuse
  // base, the lock as the part keeps it, and the erase of a locked chip.
  SessionResult ReadNamedFuses(std::vector<std::uint8_t>& bytes);
  SessionResult WriteNamedFuses(const std::vector<NamedFuseValue>& values);
  // Mismatch with differing set to the number of bytes that differ.
  SessionResult VerifyNamedFuses(const std::vector<NamedFuseValue>& values, int& differing);
  SessionResult ReadLockWord(std::uint32_t& value);
  SessionResult WriteLockWord(std::uint32_t value);
  SessionResult EraseLocked();
  // A quiet look at the chip: true when it is a locked UPDI part, which answers nothing but
  // EraseLocked. False with a programmer without UPDI, or when the chip does not answer.
  bool ChipLocked();
  // The words the SerialUPDI driver uses about a locked chip (the command-line tool's by
  // default), kept when the programmer changes.
  void SetUpdiLockTexts(UpdiLockTexts texts);

 private:
  SessionResult Ready();  // Ok when an operation may start: open and not cancelled
  // Ready, and the chosen part is one this programmer reaches (UPDI parts on a UPDI
  // programmer only, classic parts on the others).
  SessionResult ReadyForPart();
  SessionResult ReadBack(const FuseByteSlots& written, bool lock, const BitFieldMap* fields);
  bool PrepareMemory(const MemoryGeometry& memory, std::uint32_t pages, SessionResult& refused);
  // False, with refused set, when the chip's lock bits forbid reading its memories back
  // (chip_session_lock.cpp).
  bool ReadAllowed(const MemoryGeometry& memory, SessionResult& refused);
  void Log(LogKind kind, const std::string& text) const;
  // The outcome lines of drivers that do not log them themselves.
  bool EngineLogs() const { return !driver_->Info().can.reportsOutcomes; }
  SessionResult IdentifyBySignature(IdentifiedChip& out);

  LogObserver log_;
  ProgressCallback progress_;
  SerialPort port_;
  std::uint8_t mode_ = 0;
  std::uint32_t baud_ = 0;
  std::string partName_;
  const PartRecord* part_ = nullptr;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> quiet_{false};
  // The lock bits are known to be clear: erased or read so since the chip was last found
  // (a signature read or identify may find another chip). Spares the lock read of a read.
  bool lockClear_ = false;
  // The ISP clock index last asked for (0: detect it). A fuse write can slow the chip's
  // clock; with detection asked for, its read-back detects the clock again.
  std::optional<std::uint8_t> ispClockAsked_;
  const PartDatabase* parts_ = nullptr;
  UpdiLockTexts updiLockTexts_;
  std::unique_ptr<ProgrammerDriver> driver_;  // last: closed before the port goes
};

}  // namespace bq
