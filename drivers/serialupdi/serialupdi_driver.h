#pragma once
// SerialUPDI: a plain USB-serial adapter whose TX and RX are joined (a 4.7 kOhm resistor or a
// Schottky diode) onto the UPDI pin of a tinyAVR 0/1/2, megaAVR 0 or AVR DA/DB. There is no
// programmer firmware: this driver speaks UPDI itself (updi_link.h) and drives the chip's
// NVM controller (updi_nvm.h). It programs UPDI parts only.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drivers/programmer_driver.h"
#include "drivers/serialupdi/updi_link.h"
#include "drivers/serialupdi/updi_nvm.h"

namespace bq {

// The result message of every operation on a locked chip but the erase with the erase key.
inline constexpr const char* kUpdiLockedText = "the chip is locked; erase it with `erase --unlock`";
// Logged when a lock value that locks the chip was written.
inline constexpr const char* kUpdiLocksLaterText =
    "The chip locks when programming ends: only a chip erase (erase --unlock) opens it again";

// What the driver tells the user about a locked chip, in the words of the program in use: the
// command-line tool's by default; a desktop program has its Erase command instead.
struct UpdiLockTexts {
  std::string locked = kUpdiLockedText;
  std::string locksLater = kUpdiLocksLaterText;
};

class SerialUpdiDriver : public ProgrammerDriver {
 public:
  static constexpr std::uint32_t kMinBaud = 57600;
  static constexpr std::uint32_t kMaxBaud = 900000;  // the UPDI's 16 MHz clock

  SerialUpdiDriver();
  ~SerialUpdiDriver() override;

  const ProgrammerInfo& Info() const override;
  bool Open(SerialPort& port, const std::string& name, std::string* why) override;
  void Close() override;
  bool IsOpen() const override;
  void Cancel() override { cancelled_.store(true); }
  void ClearCancel() override { cancelled_.store(false); }
  void SetPart(const std::string& name, const PartRecord* part) override;
  void SetLockTexts(UpdiLockTexts texts) { lockTexts_ = std::move(texts); }

  // Asks the chip whether it is locked (it then answers nothing but the erase with the
  // chip-erase key, EraseLocked). Nothing is logged unless the chip does not answer.
  SessionResult ReadLocked(bool& locked);

  // The bytes that crossed the wire since Open, echo included; the rate the link runs at.
  updi::WireCounts Counts() const { return link_ ? link_->Counts() : updi::WireCounts{}; }
  std::uint32_t Rate() const { return link_ ? link_->Rate() : 0; }

  SessionResult Versions(ProgrammerVersions& out) override;
  SessionResult Identify(IdentifiedChip& out) override;
  SessionResult ReadSignature(std::uint32_t& signature) override;
  SessionResult ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                           std::vector<std::uint8_t>& image) override;
  SessionResult WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                            const std::vector<std::uint8_t>& image) override;
  SessionResult Erase() override;
  SessionResult ReadFuses(FuseByteSlots& bytes) override;
  SessionResult WriteFuses(const FuseByteSlots& bytes) override;
  SessionResult ReadLock(ByteSlot& lock) override;
  SessionResult WriteLock(const ByteSlot& lock) override;
  SessionResult ReadNamedFuses(std::vector<std::uint8_t>& bytes) override;
  SessionResult WriteNamedFuses(const std::vector<NamedFuseValue>& values) override;
  SessionResult ReadLockWord(std::uint32_t& value) override;
  SessionResult WriteLockWord(std::uint32_t value) override;
  SessionResult EraseLocked() override;

 private:
  SessionResult Ready();
  // The result of the link's last fault; LinkFailed also gets the UPDI listening again.
  SessionResult FaultResult(const std::string& what);
  SessionResult LinkFailed(const std::string& what);
  SessionResult Reattach();
  SessionResult Locked();
  // The part's layout, or a refusal when no UPDI part is chosen.
  SessionResult NeedPart();
  SessionResult EnterProgramming();
  void LeaveProgramming();
  bool ReadSysStatus(std::uint8_t& status);
  SessionResult CheckSib();
  std::uint32_t BaseOf(MemoryKind kind) const;
  SessionResult WriteLockBytes(std::uint32_t value);

  SerialPort* port_ = nullptr;
  std::shared_ptr<SerialConnection> connection_;
  std::unique_ptr<updi::Link> link_;
  std::unique_ptr<updi::Nvm> nvm_;
  std::uint8_t ctrlA_ = 0;
  std::uint8_t updiRevision_ = 0;
  std::uint32_t openRate_ = 0;  // the rate Open reached, or asked for when no chip answered
  bool attached_ = false;       // false: the last attach found no chip
  bool sibLogged_ = false;      // the system information is logged once a connection
  UpdiLockTexts lockTexts_;
  bool programming_ = false;
  bool locked_ = false;
  bool flashErased_ = false;  // chip-erased since the flash was last written
  bool sibChecked_ = false;
  std::atomic<bool> cancelled_{false};
};

}  // namespace bq
