#pragma once
// Our own protocol: the original programmer and Brindlequartz's firmware, through the
// programmer worker (one thread, one request at a time). Every operation is the worker's
// own; this driver hands it the request, waits for it and turns its status into a result.
//
// The line starts at 115200 baud. Before the first operation on a port, when the programmer
// is our firmware (hardware version 3.x or 4.x), both agree on a faster rate: the one asked
// for with SetBaud (1000000 by default), then 500000, then none. The firmware returns to
// 115200 after a second without traffic, so after a quiet spell the agreement is made again.
//
// A UPDI part (tinyAVR 0/1/2, megaAVR 0, AVR Dx) sits on the UPDI header of our firmware on the
// Mega. Once such a part is chosen, the driver declares the UPDI capabilities and runs the
// SerialUPDI driver over the header (updi_tunnel.h): the firmware carries its bytes, checks
// their echo and applies the 12 V activation pulse (PowerCycleUpdi).

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "drivers/brindlequartz/updi_tunnel.h"
#include "drivers/programmer_driver.h"
#include "drivers/serialupdi/serialupdi_driver.h"
#include "image/memory_buffer.h"
#include "link/programmer.h"
#include "link/worker_events.h"

namespace bq {

class BrindlequartzDriver : public ProgrammerDriver {
 public:
  BrindlequartzDriver();
  ~BrindlequartzDriver() override;

  const ProgrammerInfo& Info() const override;
  bool Open(SerialPort& port, const std::string& name, std::string* why) override;
  void Close() override;
  bool IsOpen() const override;
  void Cancel() override;
  void ClearCancel() override;
  void SetPart(const std::string& name, const PartRecord* part) override;

  SessionResult Versions(ProgrammerVersions& out) override;
  SessionResult Identify(IdentifiedChip& out) override;
  SessionResult SelectIspClock(std::uint8_t index, std::uint8_t& clock) override;
  SessionResult ReadSignature(std::uint32_t& signature) override;
  SessionResult ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                           std::vector<std::uint8_t>& image) override;
  SessionResult WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                            const std::vector<std::uint8_t>& image) override;
  SessionResult VerifyMemory(const MemoryGeometry& memory, std::uint32_t pages,
                             const std::vector<std::uint8_t>& image,
                             std::optional<std::uint32_t>& firstDifference) override;
  SessionResult Erase() override;
  SessionResult BlankCheck(const MemoryGeometry& memory) override;
  SessionResult ReadFuses(FuseByteSlots& bytes) override;
  SessionResult WriteFuses(const FuseByteSlots& bytes) override;
  SessionResult ReadLock(ByteSlot& lock) override;
  SessionResult WriteLock(const ByteSlot& lock) override;
  SessionResult VerifyFuses(const FuseByteSlots& bytes, int& differing) override;
  SessionResult VerifyLock(const ByteSlot& lock, bool& differs) override;
  SessionResult ReadCalibration(std::uint8_t address, std::uint8_t& value) override;
  SessionResult SetTargetClock(bool on) override;
  SessionResult ReadNamedFuses(std::vector<std::uint8_t>& bytes) override;
  SessionResult WriteNamedFuses(const std::vector<NamedFuseValue>& values) override;
  SessionResult ReadLockWord(std::uint32_t& value) override;
  SessionResult WriteLockWord(std::uint32_t value) override;
  SessionResult EraseLocked() override;
  SessionResult PowerCycleUpdi(bool highVoltage) override;

  // The rate of the UPDI line on the header: the Mega's USART, the Uno/Nano's software line.
  static constexpr std::uint32_t kUpdiBaud = 230400;
  static constexpr std::uint32_t kUpdiSoftBaud = 57600;

 private:
  class Events;
  SessionResult Finish();  // waits for the worker, turns its status into a result
  SessionResult Ready();   // Ok when an operation may start: open, idle and not cancelled
  SessionResult Start(bool accepted);  // a posted request: refused, or waited for
  SessionResult Refused() const;       // why the worker took no request: busy or not open
  void Prepare(const MemoryGeometry& memory, std::uint32_t pages);
  SessionResult KeepLine();  // agrees on the fast rate, or agrees again after a quiet spell
  void AgreeRate(std::uint32_t fastest);  // the fastest rate first, down to 115200
  class Tunnel;
  bool UpdiPart() const { return part_ != nullptr && part_->IsUpdi(); }
  // The SerialUPDI driver on the header, opened (attached to the chip) when it was not.
  // quiet: a failure is not logged (a probe).
  SessionResult UpdiReady(SerialUpdiDriver*& driver, bool quiet = false);
  // The identify's last probe: a UPDI chip on the header (our firmware only).
  bool IdentifyOnUpdiHeader(IdentifiedChip& out);
  void CloseUpdi();  // the SerialUPDI driver closed, the header's line and supply off

  bool targetClock_ = false;            // the clock on XTAL1 was started and not stopped since
  bool lineChecked_ = false;            // the agreement was tried on this open
  std::uint32_t rate_ = kBaseLineRate;  // the rate both ends run at now

  std::unique_ptr<Events> events_;
  SerialPort* port_ = nullptr;
  MemoryBuffer flash_{kFlashBufferBytes};
  MemoryBuffer eeprom_{kEepromBufferBytes};
  FuseByteSlots fuses_;
  FuseByteSlots lock_;
  std::atomic<bool> cancelled_{false};
  std::unique_ptr<Tunnel> tunnel_;
  std::shared_ptr<UpdiTunnelPortDriver> tunnelPorts_;
  std::unique_ptr<SerialPort> updiPort_;
  std::unique_ptr<SerialUpdiDriver> updi_;
  bool updiLine_ = false;       // CMD_UPDI_OPEN went through since the last close
  std::uint32_t updiBaud_ = 0;  // by the board, at the first UPDI operation of an open
  CProgrammer programmer_;  // last: stopped before anything it uses goes
};

}  // namespace bq
