#pragma once
// An STK500 version 1 programmer: above all an Arduino running "Arduino as ISP", at 19200
// baud 8N1 unless told otherwise. ISP only; no blank check or verify of its own (the engine
// reads instead); fuses, lock bits and calibration bytes through the universal command.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "drivers/programmer_driver.h"
#include "drivers/stk500v1/stk500v1_wire.h"

namespace bq {

class Stk500v1Driver : public ProgrammerDriver {
 public:
  Stk500v1Driver();
  ~Stk500v1Driver() override;

  // Programmers of this kind differ in what an EEPROM address of the load-address command
  // counts. The default is a byte address (the version 2 note gives word addresses for
  // word-addressed memories, flash, only); true sends word addresses, as many boards take.
  void SetEepromWordAddresses(bool words) { eepromWordAddresses_ = words; }

  const ProgrammerInfo& Info() const override;
  bool Open(SerialPort& port, const std::string& name, std::string* why) override;
  void Close() override;
  bool IsOpen() const override;
  void Cancel() override { cancelled_.store(true); }
  void ClearCancel() override { cancelled_.store(false); }
  void SetPart(const std::string& name, const PartRecord* part) override;

  SessionResult Versions(ProgrammerVersions& out) override;
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

 private:
  SessionResult Command(const std::vector<std::uint8_t>& command, std::size_t answerBytes,
                        std::vector<std::uint8_t>& data, std::uint8_t failure,
                        int timeoutMs = 2000);
  SessionResult Universal(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                          std::uint8_t& out, std::uint8_t failure);
  // Enters programming mode and, the first time, finds out whether a bootloader answers.
  SessionResult EnterProgramming();
  SessionResult EnterProgrammingMode();
  void LeaveProgramming();
  SessionResult LoadAddress(bool flash, std::uint32_t byteAddress);
  SessionResult HighVoltageRefused();
  SessionResult BootloaderRefused(const std::string& what);
  SessionResult BootloaderEeprom();

  SerialPort* port_ = nullptr;
  std::shared_ptr<SerialConnection> connection_;
  std::unique_ptr<stk500v1::Link> link_;
  bool programming_ = false;
  bool deviceSet_ = false;
  int extendedAddress_ = -1;  // the last Load Extended Address byte sent, -1: none yet
  bool eepromWordAddresses_ = false;
  // The other side is a board's bootloader (found on entering programming mode): no chip
  // erase, fuses or lock bits; leaving programming mode starts the board's application.
  bool bootloader_ = false;
  bool bootloaderChecked_ = false;
  bool eepromChecked_ = false;
  bool eepromIsFlash_ = false;  // the bootloader answers EEPROM requests from the flash
  bool closing_ = false;
  std::atomic<bool> cancelled_{false};
};

}  // namespace bq
