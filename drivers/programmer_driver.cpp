#include "drivers/programmer_driver.h"

#include "core/text.h"

namespace bq {

namespace {

DriverCapabilities OursCan() {
  DriverCapabilities c;
  c.highVoltageSerial = c.highVoltageParallel = true;
  c.identify = c.ispClock = c.ispClockDetect = true;
  c.blankCheck = c.verifyMemory = c.calibration = true;
  c.reportsOutcomes = true;
  return c;
}

DriverCapabilities Stk500v1Can() {
  DriverCapabilities c;
  c.calibration = true;
  return c;
}

DriverCapabilities Stk500v2Can() {
  DriverCapabilities c;
  c.highVoltageSerial = c.highVoltageParallel = true;
  c.ispClock = c.ispClockDetect = true;
  c.calibration = c.targetVoltage = true;
  return c;
}

// A USB-serial adapter on the UPDI pin: no firmware of its own, so no blank check, verify or
// calibration of its own either (the engine reads); the chip's signature row identifies it.
DriverCapabilities SerialUpdiCan() {
  DriverCapabilities c;
  c.identify = true;
  c.updi = true;
  return c;
}

}  // namespace

const std::vector<ProgrammerInfo>& ProgrammerTable() {
  static const std::vector<ProgrammerInfo> table = {
      {ProgrammerKind::Brindlequartz, "brindlequartz", "",
       "Brindlequartz programmer (our firmware, or the original programmer)", 1000000, true,
       OursCan()},
      {ProgrammerKind::Stk500v1, "stk500v1", "arduino-isp", "STK500 version 1 (Arduino as ISP)",
       19200, true, Stk500v1Can()},
      {ProgrammerKind::Stk500v2, "stk500v2", "",
       "STK500 version 2 (STK500, AVRISP mkII compatibles on a serial port)", 115200, true,
       Stk500v2Can()},
      {ProgrammerKind::SerialUpdi, "serialupdi", "", "SerialUPDI (USB-serial adapter)", 230400,
       true, SerialUpdiCan()},
  };
  return table;
}

const ProgrammerInfo* FindProgrammer(std::string_view name) {
  const std::string wanted = ToLowerAscii(name);
  for (const ProgrammerInfo& info : ProgrammerTable()) {
    if (wanted == info.name || (info.alias[0] != '\0' && wanted == info.alias)) return &info;
  }
  return nullptr;
}

const ProgrammerInfo& InfoFor(ProgrammerKind kind) {
  for (const ProgrammerInfo& info : ProgrammerTable()) {
    if (info.kind == kind) return info;
  }
  return ProgrammerTable().front();
}

std::string ProgrammerNames() {
  std::string names;
  for (const ProgrammerInfo& info : ProgrammerTable()) {
    if (!names.empty()) names += ", ";
    names += info.name;
    if (info.alias[0] != '\0') names += std::string(" (") + info.alias + ")";
  }
  return names;
}

SessionResult ProgrammerDriver::VerifyFuses(const FuseByteSlots& bytes, int& differing) {
  differing = 0;
  FuseByteSlots read = bytes;
  read.lock.present = false;
  SessionResult r = ReadFuses(read);
  if (!r.ok()) return r;
  for (std::uint8_t target : {kTargetLow, kTargetHigh, kTargetExtended}) {
    const ByteSlot* want = bytes.Slot(target);
    if (want->present && read.Slot(target)->value != want->value) ++differing;
  }
  if (differing == 0) return {};
  return {SessionStatus::Mismatch, 0, "Fuse bits verification FAILED"};
}

SessionResult ProgrammerDriver::VerifyLock(const ByteSlot& lock, bool& differs) {
  differs = false;
  ByteSlot read = lock;
  SessionResult r = ReadLock(read);
  if (!r.ok()) return r;
  differs = lock.present && read.value != lock.value;
  if (!differs) return {};
  return {SessionStatus::Mismatch, 0, "Lock bits verification FAILED"};
}

SessionResult ProgrammerDriver::Identify(IdentifiedChip& out) {
  out = {};
  return Unsupported(Info(), "identify");
}

SessionResult ProgrammerDriver::SelectIspClock(std::uint8_t, std::uint8_t& clock) {
  clock = 0;
  return Unsupported(Info(), "set the ISP clock");
}

SessionResult ProgrammerDriver::VerifyMemory(const MemoryGeometry&, std::uint32_t,
                                             const std::vector<std::uint8_t>&,
                                             std::optional<std::uint32_t>& firstDifference) {
  firstDifference.reset();
  return Unsupported(Info(), "verify");
}

SessionResult ProgrammerDriver::BlankCheck(const MemoryGeometry&) {
  return Unsupported(Info(), "blank check");
}

SessionResult ProgrammerDriver::ReadCalibration(std::uint8_t, std::uint8_t& value) {
  value = 0;
  return Unsupported(Info(), "read calibration bytes");
}

SessionResult ProgrammerDriver::ReadNamedFuses(std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  return Unsupported(Info(), "read the fuse bytes of a UPDI part");
}

SessionResult ProgrammerDriver::WriteNamedFuses(const std::vector<NamedFuseValue>& values) {
  (void)values;
  return Unsupported(Info(), "write the fuse bytes of a UPDI part");
}

SessionResult ProgrammerDriver::ReadLockWord(std::uint32_t& value) {
  value = 0;
  return Unsupported(Info(), "read the lock of a UPDI part");
}

SessionResult ProgrammerDriver::WriteLockWord(std::uint32_t value) {
  (void)value;
  return Unsupported(Info(), "write the lock of a UPDI part");
}

SessionResult ProgrammerDriver::EraseLocked() {
  return Unsupported(Info(), "erase a locked UPDI part");
}

SessionResult ProgrammerDriver::SetTargetClock(bool on) {
  if (!on) return {};
  return Unsupported(Info(), "put a clock on the target's XTAL1");
}

SessionResult ProgrammerDriver::PowerCycleUpdi(bool highVoltage) {
  return Unsupported(Info(),
                     highVoltage ? "pulse 12 V on the UPDI pin" : "power the UPDI part off and on");
}

SessionResult Unsupported(const ProgrammerInfo& info, const std::string& what) {
  return {SessionStatus::Refused, 0,
          std::string("The ") + info.title + " programmer cannot " + what};
}

}  // namespace bq
