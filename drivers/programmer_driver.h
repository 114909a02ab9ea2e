#pragma once
// One kind of programmer as the engine sees it: open and close on a port, and every chip
// operation as a call that returns its result as a value. What a programmer can do is
// declared in its ProgrammerInfo; the engine does what a programmer cannot do itself (a
// blank check or a verify by reading) and never asks for what it cannot do at all.
//
// Threads: one thread drives a driver; Cancel() may come from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/log_entry.h"
#include "drivers/driver_types.h"
#include "link/fuse_bytes.h"
#include "link/serial_port.h"
#include "parts/part_record.h"

namespace bq {

enum class ProgrammerKind : std::uint8_t { Brindlequartz, Stk500v1, Stk500v2, SerialUpdi };

// What a kind of programmer can do.
struct DriverCapabilities {
  bool highVoltageSerial = false;    // HVSP in its socket
  bool highVoltageParallel = false;  // HVPP in its socket
  // Finds the chip and where it sits by itself; otherwise the engine reads the signature
  // over ISP.
  bool identify = false;
  bool ispClock = false;        // sets the ISP clock (index 1..7)
  bool ispClockDetect = false;  // finds the fastest clock the target takes (index 0)
  bool blankCheck = false;      // checks a memory itself; otherwise the engine reads it
  bool verifyMemory = false;    // compares a memory itself; otherwise the engine reads it
  bool calibration = false;     // reads calibration bytes
  bool targetVoltage = false;   // reports the target's supply voltage
  // Logs the outcome of every operation itself ("Read fuses", "Verified OK"); otherwise the
  // engine logs it with the same texts.
  bool reportsOutcomes = false;
  // Programs the UPDI parts (UpdiLayout): their fuse bytes by name, the lock key, the user
  // row (MEMORY_USERROW) and the erase of a locked chip. Such a programmer programs no
  // classic part, and a classic programmer no UPDI part.
  bool updi = false;
  // Powers the UPDI part off and on and can apply the 12 V activation pulse to its UPDI pin
  // (PowerCycleUpdi): a chip whose UPDI pin a fuse turned into GPIO or RESET is reached again.
  bool updiHighVoltage = false;
};

struct ProgrammerInfo {
  ProgrammerKind kind;
  const char* name;   // as given to -c and kept in the settings
  const char* alias;  // another name for -c, or ""
  const char* title;  // for lists and the desktop's programmer list
  std::uint32_t defaultBaud;
  bool baudChoosable;  // --baud applies
  DriverCapabilities can;
};

// Every kind of programmer, our own first.
const std::vector<ProgrammerInfo>& ProgrammerTable();
// By name or alias, in any letter case; null when none has it.
const ProgrammerInfo* FindProgrammer(std::string_view name);
const ProgrammerInfo& InfoFor(ProgrammerKind kind);
// "brindlequartz, stk500v1 (arduino-isp), stk500v2, serialupdi" for messages.
std::string ProgrammerNames();

class ProgrammerDriver {
 public:
  using LogObserver = std::function<void(LogKind, const std::string&)>;
  using ProgressCallback = std::function<void(const SessionProgress&)>;

  virtual ~ProgrammerDriver() = default;

  virtual const ProgrammerInfo& Info() const = 0;
  // Set before Open().
  void SetLogObserver(LogObserver log) { log_ = std::move(log); }
  void SetProgressCallback(ProgressCallback progress) { progress_ = std::move(progress); }
  // The line rate for programmers whose rate may be chosen; 0: the programmer's default.
  void SetBaud(std::uint32_t baud) { baud_ = baud; }

  // Opens the port at this programmer's line settings and gets in step with it. On failure
  // the reason, if any, is in *why.
  virtual bool Open(SerialPort& port, const std::string& name, std::string* why) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Ends the running operation after the exchange in progress; later ones end at once.
  virtual void Cancel() = 0;
  // Lets the operations after a cancelled one run again (the next job of a session).
  virtual void ClearCancel() = 0;

  // The part the operations are for, by its name in the part list (programmers that need
  // its parameters); null: none chosen yet (signature reads still work).
  virtual void SetPart(const std::string& name, const PartRecord* part) {
    partName_ = name;
    part_ = part;
  }
  // The programming mode for the operations that follow (PROG_MODE_*).
  virtual void SetMode(std::uint8_t mode) { mode_ = mode; }
  std::uint8_t Mode() const { return mode_; }

  virtual SessionResult Versions(ProgrammerVersions& out) = 0;
  // The operations below that are only for programmers with a capability refuse by default.
  // Only when Info().can.identify.
  virtual SessionResult Identify(IdentifiedChip& out);
  // Only when Info().can.ispClock (index 1..7) or ispClockDetect (index 0).
  virtual SessionResult SelectIspClock(std::uint8_t index, std::uint8_t& clock);
  virtual SessionResult ReadSignature(std::uint32_t& signature) = 0;

  // The first `pages` pages (never 0 here) of a memory; image holds exactly their bytes.
  virtual SessionResult ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                   std::vector<std::uint8_t>& image) = 0;
  virtual SessionResult WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                    const std::vector<std::uint8_t>& image) = 0;
  // Only when Info().can.verifyMemory.
  virtual SessionResult VerifyMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                     const std::vector<std::uint8_t>& image,
                                     std::optional<std::uint32_t>& firstDifference);
  virtual SessionResult Erase() = 0;
  // Only when Info().can.blankCheck: NotEmpty when the memory holds data.
  virtual SessionResult BlankCheck(const MemoryGeometry& memory);

  // The slots marked present are read or written.
  virtual SessionResult ReadFuses(FuseByteSlots& bytes) = 0;
  virtual SessionResult WriteFuses(const FuseByteSlots& bytes) = 0;
  virtual SessionResult ReadLock(ByteSlot& lock) = 0;
  virtual SessionResult WriteLock(const ByteSlot& lock) = 0;
  // Compare the slots marked present with the chip: Mismatch with the count of bytes that
  // differ. By default by reading them.
  virtual SessionResult VerifyFuses(const FuseByteSlots& bytes, int& differing);
  virtual SessionResult VerifyLock(const ByteSlot& lock, bool& differs);
  // Only when Info().can.calibration.
  virtual SessionResult ReadCalibration(std::uint8_t address, std::uint8_t& value);

  // UPDI parts only (Info().can.updi). Every fuse byte of the part, bytes[i] at offset i from
  // UpdiLayout::fuseBase, as many as the part's last named fuse byte reaches.
  virtual SessionResult ReadNamedFuses(std::vector<std::uint8_t>& bytes);
  // Writes these bytes and no other.
  virtual SessionResult WriteNamedFuses(const std::vector<NamedFuseValue>& values);
  // The lock as the part keeps it: one byte, or the 4-byte key of AVR Dx (little-endian).
  virtual SessionResult ReadLockWord(std::uint32_t& value);
  virtual SessionResult WriteLockWord(std::uint32_t value);
  // Erases a chip that is locked, with the chip-erase key (a locked UPDI part answers nothing
  // else). Erase() on a locked chip fails with a result that says the chip is locked.
  virtual SessionResult EraseLocked();
  // Starts (on) or stops the clock the programmer puts on the ISP cable's XTAL1 lead, for a
  // chip whose fuses chose a crystal or clock that is not there. Refused by default: the
  // programmer has none.
  virtual SessionResult SetTargetClock(bool on);
  // Only when Info().can.updiHighVoltage: switches the UPDI part's supply off and on (a
  // power-on reset, which also ends a 12 V override) and, when highVoltage, applies the 12 V
  // activation pulse to its UPDI pin before talking to it again.
  virtual SessionResult PowerCycleUpdi(bool highVoltage);

 protected:
  void Log(LogKind kind, const std::string& text) const {
    if (log_) log_(kind, text);
  }
  void Progress(const SessionProgress& progress) const {
    if (progress_) progress_(progress);
  }
  std::uint32_t Baud() const { return baud_ != 0 ? baud_ : Info().defaultBaud; }
  // Logs what failed (a cancel as a warning) and returns it as the result.
  SessionResult Failed(SessionStatus status, std::uint8_t linkStatus,
                       const std::string& text) const {
    Log(status == SessionStatus::Cancelled ? LogKind::LogWarning : LogKind::LogError, text);
    return {status, linkStatus, text};
  }

  LogObserver log_;
  ProgressCallback progress_;
  std::string partName_;
  const PartRecord* part_ = nullptr;
  std::uint8_t mode_ = 0;
  std::uint32_t baud_ = 0;
};

// A result for an operation this programmer cannot do.
SessionResult Unsupported(const ProgrammerInfo& info, const std::string& what);

}  // namespace bq
