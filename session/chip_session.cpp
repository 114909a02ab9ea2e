#include "session/chip_session.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

#include "core/text.h"
#include "link/transfer_limits.h"
#include "drivers/programmer_factory.h"
#include "session/session_texts.h"

namespace bq {

namespace {


}  // namespace

ChipSession::ChipSession(std::vector<std::shared_ptr<PortDriver>> drivers, ProgrammerKind programmer)
    : port_(std::move(drivers)) {
  SetProgrammer(programmer);
}

ChipSession::~ChipSession() {
  driver_->Close();
  port_.ClosePort();
}

void ChipSession::Log(LogKind kind, const std::string& text) const {
  if (log_ && !quiet_.load()) log_(kind, text);
}

void ChipSession::SetLogObserver(LogObserver observer) {
  log_ = std::move(observer);
  driver_->SetLogObserver([this](LogKind kind, const std::string& text) { Log(kind, text); });
}

void ChipSession::SetProgressCallback(ProgressCallback callback) {
  progress_ = std::move(callback);
  driver_->SetProgressCallback(progress_);
}

void ChipSession::SetProgrammer(ProgrammerKind kind, std::uint32_t baud) {
  if (driver_) driver_->Close();
  driver_ = MakeProgrammerDriver(kind);
  baud_ = baud;
  driver_->SetBaud(baud);
  driver_->SetLogObserver([this](LogKind kind, const std::string& text) { Log(kind, text); });
  driver_->SetProgressCallback(progress_);
  driver_->SetPart(partName_, part_);
  if (auto* updi = dynamic_cast<SerialUpdiDriver*>(driver_.get())) {
    updi->SetLockTexts(updiLockTexts_);
  }
}

void ChipSession::SetUpdiLockTexts(UpdiLockTexts texts) {
  updiLockTexts_ = std::move(texts);
  if (auto* updi = dynamic_cast<SerialUpdiDriver*>(driver_.get())) {
    updi->SetLockTexts(updiLockTexts_);
  }
}

bool ChipSession::ChipLocked() {
  auto* updi = dynamic_cast<SerialUpdiDriver*>(driver_.get());
  if (updi == nullptr || !Ready().ok()) return false;
  bool locked = false;
  quiet_.store(true);  // a chip that does not answer is reported by the operation that follows
  const SessionResult r = updi->ReadLocked(locked);
  quiet_.store(false);
  return r.ok() && locked;
}

void ChipSession::SetPart(const std::string& name, const PartRecord* part) {
  lockClear_ = false;
  partName_ = name;
  part_ = part;
  driver_->SetPart(name, part);
}

bool ChipSession::Open(const std::string& port, std::string* why) {
  Close();
  lockClear_ = false;
  return driver_->Open(port_, port, why);
}

void ChipSession::Close() {
  driver_->Close();
  port_.ClosePort();
}

bool ChipSession::IsOpen() const { return driver_->IsOpen(); }

std::vector<std::string> ChipSession::Ports() {
  port_.EnumeratePorts();
  std::vector<std::string> names;
  for (const auto& [key, name] : port_.Ports()) names.push_back(name);
  return names;
}

void ChipSession::Cancel() {
  cancelled_.store(true);
  driver_->Cancel();
}

void ChipSession::ClearCancel() {
  cancelled_.store(false);
  driver_->ClearCancel();
}

SessionResult ChipSession::Ready() {
  if (cancelled_.load()) {
    return {SessionStatus::Cancelled, STATUS_CANCELLED, LinkStatusText(STATUS_CANCELLED)};
  }
  if (!IsOpen()) return {SessionStatus::PortNotOpen, 0, kPortNotOpenText};
  driver_->SetMode(mode_);
  return {};
}

SessionResult ChipSession::ReadyForPart() {
  if (part_ == nullptr || part_->IsUpdi() == driver_->Info().can.updi) return Ready();
  const std::string title = driver_->Info().title;
  const std::string problem =
      part_->IsUpdi()
          ? partName_ + " is a UPDI part, which the " + title +
                " programmer cannot reach: choose SerialUPDI (-c serialupdi), a USB-serial "
                "adapter on the UPDI pin, or our firmware (-c brindlequartz) with the chip on "
                "its UPDI header"
          : partName_ +
                " is not a UPDI part (it is programmed over ISP or high voltage), "
                "which the " +
                title +
                " programmer cannot do: choose a programmer for "
                "it (-c brindlequartz, stk500v1 or stk500v2)";
  Log(LogKind::LogError, problem);
  return {SessionStatus::Refused, 0, problem};
}

SessionResult ChipSession::Versions(ProgrammerVersions& out) {
  out = {};
  if (SessionResult r = Ready(); !r.ok()) return r;
  return driver_->Versions(out);
}

SessionResult ChipSession::IdentifyBySignature(IdentifiedChip& out) {
  // A programmer without a search of its own finds the chip on the ISP cable.
  driver_->SetMode(PROG_MODE_ISP);
  std::uint32_t signature = 0;
  SessionResult r = driver_->ReadSignature(signature);
  if (r.ok() && (signature == 0 || signature == 0xFFFFFF)) {
    r = {SessionStatus::DeviceError, STATUS_IDENTIFY_FAILED, ""};
  }
  out.signature = r.ok() ? signature : 0;
  out.socket = false;
  return r;
}

SessionResult ChipSession::Identify(IdentifiedChip& out) {
  out = {};
  lockClear_ = false;
  if (SessionResult r = Ready(); !r.ok()) return r;
  SessionResult r = driver_->Info().can.identify ? driver_->Identify(out) : IdentifyBySignature(out);
  if (!r.ok()) {
    if (r.status == SessionStatus::DeviceError) {
      Log(LogKind::LogError, kNoChipText);
      r.message = kNoChipText;
    }
    return r;
  }
  const std::string name = parts_ != nullptr ? parts_->PartNameForSignature(out.signature) : "";
  const PartRecord* known = parts_ != nullptr ? parts_->Find(name) : nullptr;
  if (known != nullptr && known->signature == out.signature) {
    // The chip answers where it was found: the part's high-voltage mode, or ISP.
    mode_ = out.socket ? known->hvMode : std::uint8_t{PROG_MODE_ISP};
    const char* where = known->IsUpdi() ? "UPDI" : (out.socket ? "Socket" : "ISP");
    Log(LogKind::LogSuccess, "Chip detect successfully.");
    Log(LogKind::LogInfo, "Name: " + name + ", Signature: " + SignatureText(out.signature) +
                              ", Connected to: " + where);
  } else {
    Log(LogKind::LogWarning, "Detect unknown chip.");
    Log(LogKind::LogInfo, "Signature: " + SignatureText(out.signature));
  }
  return {};
}

SessionResult ChipSession::SelectIspClock(std::uint8_t index, std::uint8_t& clock) {
  clock = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  const DriverCapabilities& can = driver_->Info().can;
  // A programmer that keeps its own ISP clock (Arduino as ISP) is not asked.
  if (!can.ispClock && !can.ispClockDetect) return {};
  if (index == 0 && !can.ispClockDetect) index = ISP_CLOCK_57_KHZ;
  ispClockAsked_ = index;
  if (index == 0) Log(LogKind::LogInfo, kIspAutodetectText);
  SessionResult result = driver_->SelectIspClock(index, clock);
  if (clock != 0) {
    Log(LogKind::LogInfo, IspFrequencyText(clock));
    return {};
  }
  Log(LogKind::LogError, kIspClockErrorText);
  if (result.ok()) result = {SessionStatus::DeviceError, 0, kIspClockErrorText};
  return result;
}

SessionResult ChipSession::SetTargetClock(bool on) {
  if (SessionResult r = Ready(); !r.ok()) return r;
  return driver_->SetTargetClock(on);
}

SessionResult ChipSession::ReadSignature(std::uint32_t& signature) {
  signature = 0;
  lockClear_ = false;
  if (SessionResult r = Ready(); !r.ok()) return r;
  return driver_->ReadSignature(signature);
}

SessionResult ChipSession::CheckSignature(std::uint32_t expected, std::uint32_t& signature,
                                          bool failedReadDiffers) {
  SessionResult result = ReadSignature(signature);
  // A link or device error is not a mismatch, unless the caller asks whoever reads on.
  const bool readFailed =
      result.status == SessionStatus::LinkError || result.status == SessionStatus::DeviceError;
  if (!result.ok() && !(failedReadDiffers && readFailed)) return result;
  if (!result.ok()) {
    signature = 0;
    result = {};
  }
  const std::string name = parts_ != nullptr ? parts_->PartNameForSignature(signature) : "";
  Log(LogKind::LogInfo, ReadSignatureText(signature, name));
  if (signature == expected) return result;
  Log(LogKind::LogWarning, kSignatureMismatchText);
  return {SessionStatus::Mismatch, 0, kSignatureMismatchText};
}

bool ChipSession::PrepareMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                SessionResult& refused) {
  if (SessionResult r = ReadyForPart(); r.status == SessionStatus::Refused) {
    refused = r;
    return false;
  }
  const std::uint32_t capacity =
      memory.kind == MEMORY_FLASH ? kFlashBufferBytes : kEepromBufferBytes;
  std::string problem;
  if (driver_->Info().can.updi) {
    // No transfer parameters of 8 and 16 bits on this wire: only the image must hold it.
    if (memory.Bytes() > capacity) {
      problem = std::string("The part: the ") + MemoryName(memory.kind) + " of " +
                std::to_string(memory.Bytes()) + " bytes is larger than the program's " +
                std::to_string(capacity) + "-byte image; nothing was sent to the chip";
    }
  } else if (memory.kind == MEMORY_USERROW) {
    problem = "Only a UPDI part has a user row";
  } else {
    problem =
        TransferLimitProblem("The part", memory.kind, memory.pageSize, memory.pageCount, capacity);
  }
  if (problem.empty() && (memory.pageSize == 0 || memory.pageCount == 0)) {
    problem = std::string("The part has no ") + MemoryName(memory.kind);
  }
  if (problem.empty() && pages > memory.pageCount) {
    problem = "More pages asked for than the memory has";
  }
  if (!problem.empty()) {
    Log(LogKind::LogError, problem);
    refused = {SessionStatus::Refused, 0, problem};
    return false;
  }
  if (SessionResult r = Ready(); !r.ok()) {
    refused = r;
    return false;
  }
  return true;
}

SessionResult ChipSession::ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                      std::vector<std::uint8_t>& image) {
  image.clear();
  SessionResult refused;
  if (!PrepareMemory(memory, pages, refused) || !ReadAllowed(memory, refused)) return refused;
  SessionResult r = driver_->ReadMemory(memory, pages == 0 ? memory.pageCount : pages, image);
  if (r.ok() && EngineLogs()) {
    Log(LogKind::LogSuccess, memory.kind == MEMORY_FLASH    ? "FLASH Code read into buffer"
                             : memory.kind == MEMORY_EEPROM ? "EEPROM read into buffer"
                                                            : "User row read into buffer");
  }
  return r;
}

SessionResult ChipSession::WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                       const std::vector<std::uint8_t>& image) {
  SessionResult refused;
  if (!PrepareMemory(memory, pages, refused)) return refused;
  const std::uint32_t count = pages == 0 ? memory.pageCount : pages;
  SessionResult r = driver_->WriteMemory(memory, count, image);
  if (r.ok() && EngineLogs()) {
    Log(LogKind::LogSuccess, std::to_string(memory.PageBytes() * count) + " bytes written to " +
                                 (memory.kind == MEMORY_FLASH    ? "FLASH"
                                  : memory.kind == MEMORY_EEPROM ? "EEPROM"
                                                                 : "USER ROW"));
  }
  return r;
}

SessionResult ChipSession::VerifyMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                        const std::vector<std::uint8_t>& image,
                                        std::optional<std::uint32_t>& firstDifference) {
  firstDifference.reset();
  SessionResult refused;
  if (!PrepareMemory(memory, pages, refused) || !ReadAllowed(memory, refused)) return refused;
  const std::uint32_t count = pages == 0 ? memory.pageCount : pages;
  if (driver_->Info().can.verifyMemory) {
    return driver_->VerifyMemory(memory, count, image, firstDifference);
  }
  // Read back and compare here.
  std::vector<std::uint8_t> chip;
  SessionResult r = driver_->ReadMemory(memory, count, chip);
  if (!r.ok()) return r;
  for (std::uint32_t i = 0; i < chip.size(); ++i) {
    const std::uint8_t want = i < image.size() ? image[i] : 0xFF;
    if (chip[i] != want) {
      firstDifference = i;
      Log(LogKind::LogWarning, "Chip differ !!!");
      return {SessionStatus::Mismatch, 0, "Chip differ !!!"};
    }
  }
  Log(LogKind::LogSuccess, "Verified OK");
  return {};
}

SessionResult ChipSession::Erase() {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  SessionResult r = driver_->Erase();
  lockClear_ = r.ok();  // an erase clears the lock bits
  if (r.ok() && EngineLogs()) Log(LogKind::LogSuccess, "Chip erased");
  return r;
}

SessionResult ChipSession::BlankCheck(const MemoryGeometry& memory) {
  SessionResult refused;
  if (!PrepareMemory(memory, 0, refused) || !ReadAllowed(memory, refused)) return refused;
  if (driver_->Info().can.blankCheck) return driver_->BlankCheck(memory);
  std::vector<std::uint8_t> chip;
  SessionResult r = driver_->ReadMemory(memory, memory.pageCount, chip);
  if (!r.ok()) return r;
  if (std::any_of(chip.begin(), chip.end(), [](std::uint8_t b) { return b != 0xFF; })) {
    Log(LogKind::LogWarning, "Chip not empty !!!");
    return {SessionStatus::NotEmpty, 0, "Chip not empty !!!"};
  }
  Log(LogKind::LogSuccess, "Chip is empty");
  return {};
}

namespace {
struct FuseLabel {
  std::uint8_t target;
  const char* read;
  const char* write;
};
constexpr FuseLabel kFuseLabels[] = {{kTargetLow, "Read LOW: ", "Write LOW: "},
                                     {kTargetHigh, "Read HIGH: ", "Write HIGH: "},
                                     {kTargetExtended, "Read EXTENDEND: ", "Write EXTENDEND: "}};
}  // namespace

SessionResult ChipSession::ReadFuses(FuseByteSlots& bytes) {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  FuseByteSlots read = bytes;
  read.lock.present = false;
  SessionResult r = driver_->ReadFuses(read);
  if (!r.ok()) return r;
  bytes.low = read.low;
  bytes.high = read.high;
  bytes.extended = read.extended;
  if (EngineLogs()) {
    bool first = true;
    for (const FuseLabel& f : kFuseLabels) {
      const ByteSlot* slot = bytes.Slot(f.target);
      if (!slot->present) continue;
      if (first && f.target == kTargetLow) Log(LogKind::LogSuccess, "Read fuses");
      first = false;
      Log(LogKind::LogInfo, f.read + Hex2(slot->value));
    }
  }
  return {};
}

SessionResult ChipSession::WriteFuses(const FuseByteSlots& bytes, const BitFieldMap* fields) {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  if (EngineLogs()) {
    Log(LogKind::LogSuccess, "Write fuses");
    for (const FuseLabel& f : kFuseLabels) {
      const ByteSlot* slot = bytes.Slot(f.target);
      if (slot->present) Log(LogKind::LogInfo, f.write + Hex2(slot->value));
    }
  }
  FuseByteSlots write = bytes;
  write.lock.present = false;
  if (SessionResult r = driver_->WriteFuses(write); !r.ok()) return r;
  return ReadBack(write, false, fields);
}

namespace {
// The bits of a byte the part defines; all of them when no field covers the byte.
std::uint8_t DefinedBits(const BitFieldMap* fields, std::uint8_t target) {
  std::uint8_t mask = 0;
  if (fields != nullptr) {
    for (const auto& [row, field] : *fields) {
      if (field.targetByte == target) mask |= field.mask;
    }
  }
  return mask == 0 ? std::uint8_t{0xFF} : mask;
}
}  // namespace

// A write the chip did not take is no success: lock bits return to 1 only with an erase,
// and lock bits that forbid programming keep the fuses as they are.
SessionResult ChipSession::ReadBack(const FuseByteSlots& written, bool lock,
                                    const BitFieldMap* fields) {
  FuseByteSlots chip = written;
  quiet_.store(true);  // the read-back's lines would repeat what was just written
  SessionResult r = lock ? ReadLock(chip.lock) : ReadFuses(chip);
  // Fuses that chose a slower clock take effect as the read-back enters programming: at the
  // ISP clock detected for the old one the chip no longer answers. Detect it again, once.
  std::uint8_t clock = 0;
  if (!r.ok() && !lock && mode_ == PROG_MODE_ISP && ispClockAsked_ == 0 &&
      driver_->SelectIspClock(0, clock).ok() && clock != 0) {
    r = ReadFuses(chip);
  } else {
    clock = 0;
  }
  quiet_.store(false);
  if (r.ok() && clock != 0) {
    Log(LogKind::LogInfo, std::string("The new fuses slowed the chip's clock: ISP now runs at ") +
                              IspClockText(clock));
  }
  if (!r.ok()) {
    r.message = std::string(lock ? "Lock bits" : "Fuses") +
                " written, but reading them back failed: " + r.message;
    Log(LogKind::LogError, r.message);
    return r;
  }
  static constexpr struct {
    std::uint8_t target;
    const char* name;
  } kBytes[] = {{kTargetLow, "LOW"},
                {kTargetHigh, "HIGH"},
                {kTargetExtended, "EXTENDED"},
                {kTargetLockBit, "LOCKBIT"}};
  std::string differences;
  for (const auto& byte : kBytes) {
    if ((byte.target == kTargetLockBit) != lock) continue;
    const ByteSlot& want = *written.Slot(byte.target);
    const ByteSlot& got = *chip.Slot(byte.target);
    if (!want.present) continue;
    const std::uint8_t mask = DefinedBits(fields, byte.target);
    if (((want.value ^ got.value) & mask) == 0) continue;
    differences += std::string(differences.empty() ? "" : ", ") + byte.name + " " +
                   Hex2(got.value) + " (" + Hex2(want.value) + " written)";
  }
  if (differences.empty()) {
    Log(LogKind::LogInfo, lock ? "Lock bits read back as written" : "Fuses read back as written");
    return {};
  }
  const std::string message =
      lock ? "Lock bits not changed as written: the chip holds " + differences +
                 ". Programmed lock bits return to 1 only with a chip erase: erase the chip, "
                 "then write the lock bits again."
           : "Fuses not changed as written: the chip holds " + differences +
                 ". Lock bits that forbid programming keep the fuses until a chip erase: read "
                 "the lock bits, erase the chip if they are set, then write the fuses again.";
  Log(LogKind::LogError, message);
  return {SessionStatus::Mismatch, 0, message};
}

SessionResult ChipSession::VerifyFuses(const FuseByteSlots& bytes, int& differing) {
  differing = 0;
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  SessionResult r = driver_->VerifyFuses(bytes, differing);
  if (EngineLogs() && (r.ok() || r.status == SessionStatus::Mismatch)) {
    Log(r.ok() ? LogKind::LogSuccess : LogKind::LogWarning,
        r.ok() ? "Fuse bits verification OK" : "Fuse bits verification FAILED");
  }
  return r;
}

SessionResult ChipSession::ReadLock(ByteSlot& lock) {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  SessionResult r = driver_->ReadLock(lock);
  if (r.ok() && EngineLogs()) {
    Log(LogKind::LogSuccess, "Read lock bits");
    if (lock.present) Log(LogKind::LogInfo, "Read LOCKBIT: " + Hex2(lock.value));
  }
  return r;
}

SessionResult ChipSession::WriteLock(const ByteSlot& lock, const BitFieldMap* fields) {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  lockClear_ = false;
  if (EngineLogs()) {
    Log(LogKind::LogSuccess, "Write lock bits");
    if (lock.present) Log(LogKind::LogInfo, "Write LOCKBIT: " + Hex2(lock.value));
  }
  if (SessionResult r = driver_->WriteLock(lock); !r.ok()) return r;
  FuseByteSlots written;
  written.lock = lock;
  return ReadBack(written, true, fields);
}

SessionResult ChipSession::VerifyLock(const ByteSlot& lock, bool& differs) {
  differs = false;
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  SessionResult r = driver_->VerifyLock(lock, differs);
  if (EngineLogs() && (r.ok() || r.status == SessionStatus::Mismatch)) {
    Log(r.ok() ? LogKind::LogSuccess : LogKind::LogWarning,
        r.ok() ? "Lock bits verification OK" : "Lock bits verification FAILED");
  }
  return r;
}

SessionResult ChipSession::ReadCalibration(std::uint8_t address, std::uint8_t& value) {
  value = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  if (!driver_->Info().can.calibration) return Unsupported(driver_->Info(), "read calibration bytes");
  return driver_->ReadCalibration(address, value);
}

SessionResult ChipSession::ReadNamedFuses(std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  return driver_->ReadNamedFuses(bytes);
}

SessionResult ChipSession::WriteNamedFuses(const std::vector<NamedFuseValue>& values) {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  return driver_->WriteNamedFuses(values);
}

SessionResult ChipSession::VerifyNamedFuses(const std::vector<NamedFuseValue>& values,
                                            int& differing) {
  differing = 0;
  std::vector<std::uint8_t> read;
  if (SessionResult r = ReadNamedFuses(read); !r.ok()) return r;
  for (const NamedFuseValue& v : values) {
    if (v.offset >= read.size() || read[v.offset] != v.value) ++differing;
  }
  if (differing == 0) return {};
  return {SessionStatus::Mismatch, 0, "Fuse bits verification FAILED"};
}

SessionResult ChipSession::ReadLockWord(std::uint32_t& value) {
  value = 0;
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  return driver_->ReadLockWord(value);
}

SessionResult ChipSession::WriteLockWord(std::uint32_t value) {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  return driver_->WriteLockWord(value);
}

SessionResult ChipSession::EraseLocked() {
  if (SessionResult r = ReadyForPart(); !r.ok()) return r;
  SessionResult r = driver_->EraseLocked();
  if (r.ok() && EngineLogs()) Log(LogKind::LogSuccess, "Chip erased");
  return r;
}

}  // namespace bq
