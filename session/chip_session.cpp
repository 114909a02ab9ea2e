#include "session/chip_session.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "link/transfer_limits.h"
#include "session/session_texts.h"

namespace bq {

MemoryGeometry FlashGeometry(const PartRecord& part) {
  return {MEMORY_FLASH, part.flashPageSizeW, part.flashNoOfPages};
}

std::uint32_t PagesWithData(const std::uint8_t* image, std::size_t size,
                            const MemoryGeometry& memory) {
  const std::uint32_t length = ProgrammedLength(image, std::min<std::size_t>(size, memory.Bytes()));
  return (length + memory.PageBytes() - 1) / memory.PageBytes();
}

MemoryGeometry EepromGeometry(const PartRecord& part) {
  return {MEMORY_EEPROM, part.eepromPageSize, part.eepromNoOfPages};
}

std::string SessionStatusName(SessionStatus status) {
  switch (status) {
    case SessionStatus::Ok:
      return "ok";
    case SessionStatus::PortNotOpen:
      return "port not open";
    case SessionStatus::LinkError:
      return "no proper answer from the programmer";
    case SessionStatus::DeviceError:
      return "the programmer reported an error";
    case SessionStatus::Mismatch:
      return "the chip differs";
    case SessionStatus::NotEmpty:
      return "the chip is not empty";
    case SessionStatus::Refused:
      return "refused";
    case SessionStatus::Cancelled:
      return "cancelled";
  }
  return "unknown";
}

// The worker's events: log lines to the observer, progress to the callback; views and
// editors do not exist here.
class ChipSession::Events : public WorkerEvents {
 public:
  LogObserver log;
  ProgressCallback progress;
  bool quiet = false;  // a read-back: its lines would repeat what was just written

  void AppendLogEntry(LogKind kind, const std::string& text) override {
    if (log && !quiet) log(kind, text);
  }
  void ProgressSmooth() override { state_.busy = false; }
  void ProgressMarquee() override { state_.busy = true; }
  void ProgressRange(std::uint16_t maximum) override { state_.total = maximum; }
  void ProgressPosition(std::uint32_t position) override {
    state_.done = position;
    if (shown_) Report();
  }
  void ProgressMarqueeStart() override {}
  void ProgressMarqueeStop() override {}
  void ProgressShow() override {
    shown_ = true;
    state_.finished = false;
    Report();
  }
  void ProgressHide() override {
    if (!shown_) return;
    shown_ = false;
    state_.finished = true;
    Report();
  }
  void RefillHexView(MemoryKind) override {}
  void RedrawFuseEditor(FuseEditorKind) override {}

 private:
  void Report() {
    if (progress) progress(state_);
  }
  SessionProgress state_;
  bool shown_ = false;
};

ChipSession::ChipSession(std::vector<std::shared_ptr<PortDriver>> drivers)
    : events_(std::make_unique<Events>()), port_(std::move(drivers)) {}

ChipSession::~ChipSession() {
  programmer_.StopWorker();
  port_.ClosePort();
}

void ChipSession::SetLogObserver(LogObserver observer) {
  events_->log = std::move(observer);
}

void ChipSession::SetProgressCallback(ProgressCallback callback) {
  events_->progress = std::move(callback);
}

bool ChipSession::Open(const std::string& port, std::string* why) {
  Close();
  if (!port_.OpenPort(port)) {
    if (why != nullptr) *why = port_.LastOpenError();
    return false;
  }
  return programmer_.StartWorker({port_, flash_, eeprom_, fuses_, lock_, *events_});
}

void ChipSession::Close() {
  programmer_.StopWorker();
  port_.ClosePort();
}

bool ChipSession::IsOpen() const {
  return port_.IsOpen() && programmer_.IsStarted();
}

std::vector<std::string> ChipSession::Ports() {
  port_.EnumeratePorts();
  std::vector<std::string> names;
  for (const auto& [key, name] : port_.Ports()) names.push_back(name);
  return names;
}

void ChipSession::Cancel() {
  cancelled_.store(true);
  programmer_.CancelRequest();
}

SessionResult ChipSession::Ready() {
  if (cancelled_.load()) {
    return {SessionStatus::Cancelled, STATUS_CANCELLED, LinkStatusText(STATUS_CANCELLED)};
  }
  if (!IsOpen()) return Start(false);
  return {};
}

SessionResult ChipSession::Start(bool accepted) {
  if (!accepted) {
    return {SessionStatus::PortNotOpen, 0, "the programmer is not ready (port not open)"};
  }
  return Finish();
}

SessionResult ChipSession::Finish() {
  // An error report releases a waited request early; the worker may still be recovering.
  programmer_.WaitIdle();
  const std::uint8_t status = programmer_.Status();
  SessionResult result;
  result.linkStatus = status;
  if (status == STATUS_OK) return result;
  result.message = LinkStatusText(status);
  if (status == STATUS_CANCELLED) {
    result.status = SessionStatus::Cancelled;
  } else if (status >= STATUS_WRITE_FAILED && status <= STATUS_OUT_OF_STEP) {
    result.status = SessionStatus::LinkError;
  } else {
    result.status = SessionStatus::DeviceError;
  }
  return result;
}

SessionResult ChipSession::Versions(ProgrammerVersions& out) {
  out = {};
  if (SessionResult r = Ready(); !r.ok()) return r;
  std::uint32_t value = 0;
  programmer_.QueryHardwareVersion(value);
  SessionResult result = Finish();
  if (!result.ok()) return result;
  out.hardware = value;
  programmer_.QueryFirmwareVersion(value);
  result = Finish();
  if (result.ok()) out.firmware = value;
  return result;
}

SessionResult ChipSession::Identify(IdentifiedChip& out) {
  out = {};
  if (SessionResult r = Ready(); !r.ok()) return r;
  const bool found = programmer_.IdentifyRequest(out.signature, out.socket);
  programmer_.WaitIdle();
  auto log = [this](LogKind kind, const std::string& text) {
    if (events_->log) events_->log(kind, text);
  };
  if (!found) {
    log(LogKind::LogError, kNoChipText);
    return {SessionStatus::DeviceError, programmer_.Status(), kNoChipText};
  }
  const std::string name = parts_ != nullptr ? parts_->PartNameForSignature(out.signature) : "";
  const PartRecord* known = parts_ != nullptr ? parts_->Find(name) : nullptr;
  if (known != nullptr && known->signature == out.signature) {
    // The chip answers where it was found: the part's high-voltage mode, or ISP.
    mode_ = out.socket ? known->hvMode : std::uint8_t{PROG_MODE_ISP};
    log(LogKind::LogSuccess, "Chip detect successfully.");
    log(LogKind::LogInfo, "Name: " + name + ", Signature: " + SignatureText(out.signature) +
                              ", Connected to: " + (out.socket ? "Socket" : "ISP"));
  } else {
    log(LogKind::LogWarning, "Detect unknown chip.");
    log(LogKind::LogInfo, "Signature: " + SignatureText(out.signature));
  }
  return {};
}

SessionResult ChipSession::SelectIspClock(std::uint8_t index, std::uint8_t& clock) {
  clock = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  auto log = [this](LogKind kind, const std::string& text) {
    if (events_->log) events_->log(kind, text);
  };
  if (index == 0) {
    log(LogKind::LogInfo, kIspAutodetectText);
    programmer_.DetectIspClockRequest(clock);
  } else {
    programmer_.SetIspClockRequest(index, clock);
  }
  SessionResult result = Finish();
  if (clock != 0) {
    log(LogKind::LogInfo, IspFrequencyText(clock));
    return {};
  }
  log(LogKind::LogError, kIspClockErrorText);
  if (result.ok()) result = {SessionStatus::DeviceError, 0, kIspClockErrorText};
  return result;
}

SessionResult ChipSession::ReadSignature(std::uint32_t& signature) {
  signature = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  programmer_.ReadSignatureRequest(signature);
  return Finish();
}

SessionResult ChipSession::CheckSignature(std::uint32_t expected, std::uint32_t& signature) {
  SessionResult result = ReadSignature(signature);
  if (!result.ok()) return result;  // a link or device error is not a mismatch
  const std::string name = parts_ != nullptr ? parts_->PartNameForSignature(signature) : "";
  if (events_->log) events_->log(LogKind::LogInfo, ReadSignatureText(signature, name));
  if (signature == expected) return result;
  if (events_->log) events_->log(LogKind::LogWarning, kSignatureMismatchText);
  return {SessionStatus::Mismatch, 0, kSignatureMismatchText};
}

bool ChipSession::PrepareMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                SessionResult& refused) {
  const MemoryBuffer& image = memory.kind == MEMORY_FLASH ? flash_ : eeprom_;
  std::string problem = TransferLimitProblem("The part", memory.kind, memory.pageSize,
                                             memory.pageCount, image.capacity());
  if (problem.empty() && (memory.pageSize == 0 || memory.pageCount == 0)) {
    problem = std::string("The part has no ") + (memory.kind == MEMORY_FLASH ? "flash" : "EEPROM");
  }
  if (problem.empty() && pages > memory.pageCount) {
    problem = "More pages asked for than the memory has";
  }
  if (!problem.empty()) {
    if (events_->log) events_->log(LogKind::LogError, problem);
    refused = {SessionStatus::Refused, 0, problem};
    return false;
  }
  if (SessionResult r = Ready(); !r.ok()) {
    refused = r;
    return false;
  }
  programmer_.SetProgrammingMode(mode_);
  programmer_.SetTransferParams(memory.kind, static_cast<std::uint8_t>(memory.pageSize),
                                pages == 0 ? memory.pageCount : pages);
  return true;
}

namespace {
std::uint32_t PagesBytes(const MemoryGeometry& memory, std::uint32_t pages) {
  return memory.PageBytes() * (pages == 0 ? memory.pageCount : pages);
}

void CopyIn(MemoryBuffer& buffer, const std::vector<std::uint8_t>& image, std::uint32_t bytes) {
  std::fill_n(buffer.data(), bytes, std::uint8_t{0xFF});
  std::copy_n(image.begin(), std::min<std::size_t>(bytes, image.size()), buffer.data());
}
}  // namespace

SessionResult ChipSession::ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                      std::vector<std::uint8_t>& image) {
  image.clear();
  SessionResult refused;
  if (!PrepareMemory(memory, pages, refused)) return refused;
  programmer_.StartReadMemory();
  SessionResult result = Finish();
  if (!result.ok()) return result;
  const MemoryBuffer& buffer = memory.kind == MEMORY_FLASH ? flash_ : eeprom_;
  image.assign(buffer.data(), buffer.data() + PagesBytes(memory, pages));
  return result;
}

SessionResult ChipSession::WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                       const std::vector<std::uint8_t>& image) {
  SessionResult refused;
  if (!PrepareMemory(memory, pages, refused)) return refused;
  CopyIn(memory.kind == MEMORY_FLASH ? flash_ : eeprom_, image, PagesBytes(memory, pages));
  return Start(programmer_.StartWriteMemory());
}

SessionResult ChipSession::VerifyMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                        const std::vector<std::uint8_t>& image,
                                        std::optional<std::uint32_t>& firstDifference) {
  firstDifference.reset();
  SessionResult refused;
  if (!PrepareMemory(memory, pages, refused)) return refused;
  CopyIn(memory.kind == MEMORY_FLASH ? flash_ : eeprom_, image, PagesBytes(memory, pages));
  SessionResult result = Start(programmer_.StartVerifyMemory());
  if (!result.ok() || programmer_.Mismatch() == 0) return result;
  firstDifference = programmer_.FirstDifference();
  return {SessionStatus::Mismatch, 0, "Chip differ !!!"};
}

SessionResult ChipSession::Erase() {
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  programmer_.EraseRequest();
  return Finish();
}

SessionResult ChipSession::BlankCheck(const MemoryGeometry& memory) {
  SessionResult refused;
  if (!PrepareMemory(memory, 0, refused)) return refused;
  SessionResult result = Start(programmer_.StartBlankCheck());
  if (result.ok() && !programmer_.BlankEmpty()) {
    return {SessionStatus::NotEmpty, 0, "Chip not empty !!!"};
  }
  return result;
}

SessionResult ChipSession::ReadFuses(FuseByteSlots& bytes) {
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  fuses_ = bytes;
  SessionResult result = Start(programmer_.StartReadFuses());
  if (result.ok()) bytes = fuses_;
  return result;
}

SessionResult ChipSession::WriteFuses(const FuseByteSlots& bytes, const BitFieldMap* fields) {
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  fuses_ = bytes;
  if (SessionResult r = Start(programmer_.StartWriteFuses()); !r.ok()) return r;
  return ReadBack(bytes, false, fields);
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

std::string Hex2Text(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}
}  // namespace

// A write the chip did not take is no success: lock bits return to 1 only with an erase,
// and lock bits that forbid programming keep the fuses as they are.
SessionResult ChipSession::ReadBack(const FuseByteSlots& written, bool lock,
                                    const BitFieldMap* fields) {
  FuseByteSlots chip = written;
  events_->quiet = true;
  SessionResult r = lock ? ReadLock(chip.lock) : ReadFuses(chip);
  events_->quiet = false;
  if (!r.ok()) {
    r.message = std::string(lock ? "Lock bits" : "Fuses") +
                " written, but reading them back failed: " + r.message;
    if (events_->log) events_->log(LogKind::LogError, r.message);
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
                   Hex2Text(got.value) + " (" + Hex2Text(want.value) + " written)";
  }
  if (differences.empty()) {
    if (events_->log) {
      events_->log(LogKind::LogInfo,
                   lock ? "Lock bits read back as written" : "Fuses read back as written");
    }
    return {};
  }
  const std::string message =
      lock ? "Lock bits not changed as written: the chip holds " + differences +
                 ". Programmed lock bits return to 1 only with a chip erase: erase the chip, "
                 "then write the lock bits again."
           : "Fuses not changed as written: the chip holds " + differences +
                 ". Lock bits that forbid programming keep the fuses until a chip erase: read "
                 "the lock bits, erase the chip if they are set, then write the fuses again.";
  if (events_->log) events_->log(LogKind::LogError, message);
  return {SessionStatus::Mismatch, 0, message};
}

SessionResult ChipSession::VerifyFuses(const FuseByteSlots& bytes, int& differing) {
  differing = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  fuses_ = bytes;
  SessionResult result = Start(programmer_.StartVerifyFuses());
  if (!result.ok()) return result;
  differing = programmer_.Mismatch();
  if (differing == 0) return result;
  return {SessionStatus::Mismatch, 0, "Fuse bits verification FAILED"};
}

SessionResult ChipSession::ReadLock(ByteSlot& lock) {
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  lock_.lock = lock;
  SessionResult result = Start(programmer_.StartReadLockBits());
  if (result.ok()) lock = lock_.lock;
  return result;
}

SessionResult ChipSession::WriteLock(const ByteSlot& lock, const BitFieldMap* fields) {
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  lock_.lock = lock;
  if (SessionResult r = Start(programmer_.StartWriteLockBits()); !r.ok()) return r;
  FuseByteSlots written;
  written.lock = lock;
  return ReadBack(written, true, fields);
}

SessionResult ChipSession::VerifyLock(const ByteSlot& lock, bool& differs) {
  differs = false;
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  lock_.lock = lock;
  SessionResult result = Start(programmer_.StartVerifyLockBits());
  if (!result.ok()) return result;
  differs = programmer_.Mismatch() != 0;
  if (!differs) return result;
  return {SessionStatus::Mismatch, 0, "Lock bits verification FAILED"};
}

SessionResult ChipSession::ReadCalibration(std::uint8_t address, std::uint8_t& value) {
  value = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  std::uint32_t read = 0;
  programmer_.ReadCalibrationRequest(address, read);
  SessionResult result = Finish();
  if (result.ok()) value = static_cast<std::uint8_t>(read);
  return result;
}

}  // namespace bq
