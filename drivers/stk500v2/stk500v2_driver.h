#pragma once
// An STK500 version 2 programmer (an STK500, an AVRISP or AVRISP mkII compatible on a serial
// port): ISP, and the high-voltage modes of the STK500, at 115200 baud 8N1 unless told
// otherwise. The programmer is told each part's delays and instruction bytes from the
// vendor's device files (part_params.h).

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "drivers/programmer_driver.h"
#include "drivers/stk500v2/part_params.h"
#include "drivers/stk500v2/stk500v2_wire.h"

namespace bq {

class Stk500v2Driver : public ProgrammerDriver {
 public:
  Stk500v2Driver();
  ~Stk500v2Driver() override;

  const ProgrammerInfo& Info() const override;
  bool Open(SerialPort& port, const std::string& name, std::string* why) override;
  void Close() override;
  bool IsOpen() const override;
  void Cancel() override { cancelled_.store(true); }
  void ClearCancel() override { cancelled_.store(false); }
  void SetPart(const std::string& name, const PartRecord* part) override;
  void SetMode(std::uint8_t mode) override;

  SessionResult Versions(ProgrammerVersions& out) override;
  SessionResult SelectIspClock(std::uint8_t index, std::uint8_t& clock) override;
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
  SessionResult ReadCalibration(std::uint8_t address, std::uint8_t& value) override;

  // What the programmer said at sign-on ("STK500_2", "AVRISP_2").
  const std::string& SignOn() const { return signOn_; }

 private:
  // One command: OK when the answer came and its status byte is 0; a device error with
  // `failure` as its code otherwise.
  SessionResult Command(const std::vector<std::uint8_t>& body, std::vector<std::uint8_t>& answer,
                        std::uint8_t failure, int timeoutMs = 2000);
  SessionResult EnterProgramming();
  void LeaveProgramming();
  SessionResult LoadAddress(std::uint32_t address);
  SessionResult ReadByteCommand(std::uint8_t ispCommand, std::uint8_t hvCommand,
                                std::uint8_t pollIndex, std::uint8_t b1, std::uint8_t b2,
                                std::uint8_t b3, std::uint8_t hvAddress, std::uint8_t& value);
  bool HighVoltage() const;
  bool Parallel() const;
  SessionResult BootloaderRefused(const std::string& what);
  bool ProgrammerFor(const std::string& what, SessionResult& result);
  bool FlashNeedsExtendedAddress() const;

  SerialPort* port_ = nullptr;
  std::shared_ptr<SerialConnection> connection_;
  std::unique_ptr<stk500v2::Link> link_;
  const stk500v2::PartParams* params_ = nullptr;
  std::string signOn_;
  bool programming_ = false;
  // The other side is a board's bootloader (found on entering ISP programming mode): no chip
  // erase, fuses or lock bits; leaving programming mode starts the board's application.
  bool bootloader_ = false;
  bool bootloaderChecked_ = false;
  bool closing_ = false;
  std::atomic<bool> cancelled_{false};
};

}  // namespace bq
