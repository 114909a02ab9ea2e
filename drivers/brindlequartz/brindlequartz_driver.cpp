#include "drivers/brindlequartz/brindlequartz_driver.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace bq {

// The worker's events: log lines and progress to the driver's observers; views and editors
// do not exist here.
class BrindlequartzDriver::Events : public WorkerEvents {
 public:
  explicit Events(BrindlequartzDriver& driver) : driver_(driver) {}

  void Deliver(WorkerEvent event) override {
    if (const auto* line = std::get_if<LogLine>(&event)) {
      driver_.Log(line->kind, line->text);
    } else if (const auto* progress = std::get_if<ProgressEvent>(&event)) {
      Step(*progress);
    }
  }

 private:
  void Step(const ProgressEvent& e) {
    switch (e.step) {
      case ProgressStep::Smooth:
        state_.busy = false;
        break;
      case ProgressStep::Marquee:
        state_.busy = true;
        break;
      case ProgressStep::Range:
        state_.total = e.value;
        break;
      case ProgressStep::Position:
        state_.done = e.value;
        if (shown_) driver_.Progress(state_);
        break;
      case ProgressStep::Show:
        shown_ = true;
        state_.finished = false;
        driver_.Progress(state_);
        break;
      case ProgressStep::Hide:
        if (!shown_) break;
        shown_ = false;
        state_.finished = true;
        driver_.Progress(state_);
        break;
      case ProgressStep::MarqueeStart:
      case ProgressStep::MarqueeStop:
        break;
    }
  }

  BrindlequartzDriver& driver_;
  SessionProgress state_;
  bool shown_ = false;
};

// The header's UPDI line as the tunnel reaches it: each request through the worker, after the
// same checks as any other operation (open, idle, not cancelled, the line's rate kept).
class BrindlequartzDriver::Tunnel : public UpdiTunnelLink {
 public:
  explicit Tunnel(BrindlequartzDriver& driver) : driver_(driver) {}

  bool Request(std::uint8_t code, const std::vector<std::uint8_t>& payload,
               std::vector<std::uint8_t>& answer, std::uint8_t& status) override {
    answer.clear();
    status = 0;
    if (SessionResult r = driver_.Ready(); !r.ok()) {
      status = r.linkStatus;
      return false;
    }
    std::uint8_t answerCode = 0;
    const bool ok = driver_.programmer_.RawRequest(code, payload, answerCode, answer);
    status = driver_.programmer_.Status();
    if (!ok) return false;
    if (code == CMD_UPDI_OPEN) driver_.updiLine_ = true;
    const std::uint8_t expected = code == CMD_UPDI_EXCHANGE ? ANS_UPDI : ANS_OK;
    if (answerCode == expected) return true;
    status = STATUS_OUT_OF_STEP;
    return false;
  }

 private:
  BrindlequartzDriver& driver_;
};

namespace {

// Our programmer once a UPDI part is chosen: what the SerialUPDI driver does on the header,
// and the 12 V activation.
const ProgrammerInfo& OursForUpdi() {
  static const ProgrammerInfo info = [] {
    ProgrammerInfo i = InfoFor(ProgrammerKind::Brindlequartz);
    DriverCapabilities c;
    c.identify = true;
    c.updi = true;
    c.updiHighVoltage = true;
    i.can = c;
    return i;
  }();
  return info;
}

}  // namespace

BrindlequartzDriver::BrindlequartzDriver()
    : events_(std::make_unique<Events>(*this)), tunnel_(std::make_unique<Tunnel>(*this)) {
  tunnelPorts_ = std::make_shared<UpdiTunnelPortDriver>(*tunnel_);
  updiPort_ = std::make_unique<SerialPort>(std::vector<std::shared_ptr<PortDriver>>{tunnelPorts_});
}

BrindlequartzDriver::~BrindlequartzDriver() {
  Close();
}

const ProgrammerInfo& BrindlequartzDriver::Info() const {
  return UpdiPart() ? OursForUpdi() : InfoFor(ProgrammerKind::Brindlequartz);
}

void BrindlequartzDriver::ClearCancel() {
  cancelled_.store(false);
  if (updi_) updi_->ClearCancel();
}

void BrindlequartzDriver::SetPart(const std::string& name, const PartRecord* part) {
  ProgrammerDriver::SetPart(name, part);
  // A classic part next: the header's chip is let go (reset, its supply off).
  if (!UpdiPart()) {
    CloseUpdi();
  } else if (updi_) {
    updi_->SetPart(name, part);
  }
}

SessionResult BrindlequartzDriver::UpdiReady(SerialUpdiDriver*& driver, bool quiet) {
  driver = nullptr;
  if (SessionResult r = Ready(); !r.ok()) return r;
  if (updi_ && updi_->IsOpen()) {
    driver = updi_.get();
    return {};
  }
  if (updiBaud_ == 0) {
    // The Uno/Nano (hardware 3.x) moves its line by software, at a lower rate.
    std::uint32_t hardware = 0;
    programmer_.QueryHardwareVersion(hardware, true);
    updiBaud_ = (hardware >> 8) == 3 ? kUpdiSoftBaud : kUpdiBaud;
  }
  updi_ = std::make_unique<SerialUpdiDriver>();
  updi_->SetLogObserver(log_);
  updi_->SetProgressCallback(progress_);
  updi_->SetBaud(updiBaud_);
  updi_->SetPart(partName_, part_);
  std::string why;
  if (!updi_->Open(*updiPort_, kUpdiTunnelPortName, &why)) {
    updi_.reset();
    if (quiet) return {SessionStatus::DeviceError, STATUS_DEVICE_ENTER_PROG_MODE, why};
    const std::uint8_t status = tunnelPorts_->LastOpenStatus();
    if (status == STATUS_DEVICE_UNKNOWN_COMMAND) {
      return Failed(SessionStatus::Refused, status,
                    "This programmer has no UPDI header: install Brindlequartz's firmware "
                    "(firmware install) or use SerialUPDI (-c serialupdi)");
    }
    if (why.empty()) why = "The UPDI header did not open";
    // The programmer itself failed, or it works and the chip did not answer on the header.
    const std::uint8_t link = programmer_.Status();
    if (IsLinkFailure(link)) return Failed(SessionStatus::LinkError, link, why);
    return Failed(SessionStatus::DeviceError, STATUS_DEVICE_ENTER_PROG_MODE, why);
  }
  driver = updi_.get();
  return {};
}

bool BrindlequartzDriver::IdentifyOnUpdiHeader(IdentifiedChip& out) {
  // Only our firmware (hardware 3.x on the Uno/Nano, 4.x on the Mega) has the header.
  std::uint32_t hardware = 0;
  if (!programmer_.QueryHardwareVersion(hardware, true)) return false;
  if ((hardware >> 8) != 3 && (hardware >> 8) != 4) return false;
  SerialUpdiDriver* updi = nullptr;
  if (!UpdiReady(updi, true).ok() || !updi->Identify(out).ok()) {
    CloseUpdi();
    out = {};
    return false;
  }
  return true;
}

void BrindlequartzDriver::CloseUpdi() {
  if (updi_) updi_->Close();
  updi_.reset();
  if (!updiLine_) return;
  updiLine_ = false;
  if (!IsOpen() || programmer_.IsBusy()) return;
  std::vector<std::uint8_t> answer;
  std::uint8_t status = 0;
  tunnel_->Request(CMD_UPDI_CLOSE, {}, answer, status);
}

SessionResult BrindlequartzDriver::PowerCycleUpdi(bool highVoltage) {
  if (!UpdiPart()) return ProgrammerDriver::PowerCycleUpdi(highVoltage);
  if (SessionResult r = Ready(); !r.ok()) return r;
  CloseUpdi();
  if (highVoltage) tunnelPorts_->ArmPulse(kUpdiPulseUs);
  SerialUpdiDriver* updi = nullptr;
  SessionResult r = UpdiReady(updi);
  tunnelPorts_->ArmPulse(0);
  return r;
}

SessionResult BrindlequartzDriver::ReadNamedFuses(std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  SerialUpdiDriver* updi = nullptr;
  if (!UpdiPart()) return ProgrammerDriver::ReadNamedFuses(bytes);
  if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
  return updi->ReadNamedFuses(bytes);
}

SessionResult BrindlequartzDriver::WriteNamedFuses(const std::vector<NamedFuseValue>& values) {
  SerialUpdiDriver* updi = nullptr;
  if (!UpdiPart()) return ProgrammerDriver::WriteNamedFuses(values);
  if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
  return updi->WriteNamedFuses(values);
}

SessionResult BrindlequartzDriver::ReadLockWord(std::uint32_t& value) {
  value = 0;
  SerialUpdiDriver* updi = nullptr;
  if (!UpdiPart()) return ProgrammerDriver::ReadLockWord(value);
  if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
  return updi->ReadLockWord(value);
}

SessionResult BrindlequartzDriver::WriteLockWord(std::uint32_t value) {
  SerialUpdiDriver* updi = nullptr;
  if (!UpdiPart()) return ProgrammerDriver::WriteLockWord(value);
  if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
  return updi->WriteLockWord(value);
}

SessionResult BrindlequartzDriver::EraseLocked() {
  SerialUpdiDriver* updi = nullptr;
  if (!UpdiPart()) return ProgrammerDriver::EraseLocked();
  if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
  return updi->EraseLocked();
}

bool BrindlequartzDriver::Open(SerialPort& port, const std::string& name, std::string* why) {
  Close();
  cancelled_.store(false);
  const std::uint32_t baud = Baud();
  if (baud != kBaseLineRate && std::find(std::begin(kFastLineRates), std::end(kFastLineRates),
                                         baud) == std::end(kFastLineRates)) {
    if (why != nullptr) {
      *why = "A Brindlequartz programmer talks at 115200, 500000 or 1000000 baud, not at " +
             std::to_string(baud) + ": give one of these to --baud, or leave it out";
    }
    return false;
  }
  lineChecked_ = false;
  rate_ = kBaseLineRate;
  updiBaud_ = 0;
  if (!port.OpenPort(name)) {
    if (why != nullptr) *why = port.LastOpenError();
    return false;
  }
  port_ = &port;
  return programmer_.StartWorker({port, flash_, eeprom_, fuses_, lock_, *events_});
}

void BrindlequartzDriver::Close() {
  CloseUpdi();
  // The clock on XTAL1 runs only while it is asked for: a session that ends stops it.
  if (targetClock_ && IsOpen()) SetTargetClock(false);
  targetClock_ = false;
  programmer_.StopWorker();
  if (port_ != nullptr) port_->ClosePort();
  port_ = nullptr;
}

bool BrindlequartzDriver::IsOpen() const {
  return port_ != nullptr && port_->IsOpen() && programmer_.IsStarted();
}

void BrindlequartzDriver::Cancel() {
  cancelled_.store(true);
  if (updi_) updi_->Cancel();
  programmer_.CancelRequest();
}

SessionResult BrindlequartzDriver::Ready() {
  if (cancelled_.load()) {
    return {SessionStatus::Cancelled, STATUS_CANCELLED, LinkStatusText(STATUS_CANCELLED)};
  }
  if (!IsOpen()) return Refused();
  // A request made now would be refused and its results would be the last request's.
  if (programmer_.IsBusy()) return Refused();
  return KeepLine();
}

SessionResult BrindlequartzDriver::KeepLine() {
  using std::chrono::milliseconds;
  if (!lineChecked_) {
    lineChecked_ = true;
    if (Baud() == kBaseLineRate) return {};
    std::uint32_t hardware = 0;
    programmer_.QueryHardwareVersion(hardware, true);
    if (SessionResult r = Finish(); !r.ok()) {
      if (!IsLinkFailure(r.linkStatus)) return r;
      // Our firmware on a board that did not restart when the port opened may still be at
      // the rate a run a moment ago agreed on: it is taken at that rate. (By now a board that
      // restarts on the open has left its bootloader, which must never get bytes at a rate
      // it cannot read.)
      for (const std::uint32_t baud : kFastLineRates) {
        if (programmer_.ProbeLineRateRequest(baud)) {
          rate_ = baud;
          return {};
        }
      }
      port_->SetRate(kBaseLineRate);
      port_->DiscardInput();
      programmer_.QueryHardwareVersion(hardware);
      if (SessionResult again = Finish(); !again.ok()) return again;
    }
    const std::uint32_t major = hardware >> 8;
    if (major == 3 || major == 4) AgreeRate(Baud());  // our firmware on an Uno/Nano or a Mega
    return {};
  }
  if (rate_ == kBaseLineRate) return {};
  // Well inside the firmware's second the line is still fast. Later it may be either: wait
  // until it is surely back at the base rate, then agree again.
  const auto quiet = std::chrono::steady_clock::now() - programmer_.LastTraffic();
  if (quiet < milliseconds(kLineIdleReturnMs * 8 / 10)) return {};
  const auto settled = milliseconds(kLineIdleReturnMs + 200);
  if (quiet < settled) std::this_thread::sleep_for(settled - quiet);
  const std::uint32_t was = rate_;
  rate_ = kBaseLineRate;
  // A programmer whose second is longer than ours (a slow clock, a simulated board that falls
  // behind a busy machine) may still be at the fast rate: then it stays there.
  if (!programmer_.ProbeLineRateRequest(kBaseLineRate) && programmer_.ProbeLineRateRequest(was)) {
    rate_ = was;
    return {};
  }
  port_->SetRate(kBaseLineRate);
  port_->DiscardInput();
  AgreeRate(was);  // a rate that failed before is not tried again
  return {};
}

void BrindlequartzDriver::AgreeRate(std::uint32_t fastest) {
  bool failed = false;
  for (const std::uint32_t baud : kFastLineRates) {
    if (baud > fastest) continue;
    if (programmer_.SetLineRateRequest(baud)) {
      rate_ = baud;
      return;
    }
    // "Unknown Command": a programmer without the faster line; it stays as it was.
    if (programmer_.Status() == STATUS_DEVICE_UNKNOWN_COMMAND) return;
    failed = true;
  }
  if (!failed) return;
  // Back in step at the base rate, or the next operation says what is wrong.
  std::uint32_t firmware = 0;
  programmer_.QueryFirmwareVersion(firmware);
  programmer_.WaitIdle();
  Log(LogKind::LogWarning,
      "The programmer did not answer at a faster rate; the line stays at "
      "115200 baud");
}

SessionResult BrindlequartzDriver::Refused() const {
  if (IsOpen() && programmer_.IsBusy()) return {SessionStatus::Busy, 0, kProgrammerBusyText};
  return {SessionStatus::PortNotOpen, 0, kPortNotOpenText};
}

SessionResult BrindlequartzDriver::Start(bool accepted) {
  if (!accepted) return Refused();
  return Finish();
}

SessionResult BrindlequartzDriver::Finish() {
  // An error report releases a waited request early; the worker may still be recovering.
  programmer_.WaitIdle();
  const std::uint8_t status = programmer_.Status();
  SessionResult result;
  result.linkStatus = status;
  if (status == STATUS_OK) return result;
  result.message = LinkStatusText(status);
  result.status = StatusClass(status);
  return result;
}

SessionResult BrindlequartzDriver::SetTargetClock(bool on) {
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetTargetClockRequest(on);
  SessionResult result = Finish();
  if (result.linkStatus == STATUS_DEVICE_UNKNOWN_COMMAND) {
    result = {SessionStatus::Refused, result.linkStatus,
              "This programmer's firmware has no clock for the target's XTAL1: install "
              "Brindlequartz's firmware (firmware install) or use the high-voltage socket"};
  }
  if (result.ok()) targetClock_ = on;
  return result;
}

SessionResult BrindlequartzDriver::Versions(ProgrammerVersions& out) {
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

SessionResult BrindlequartzDriver::Identify(IdentifiedChip& out) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->Identify(out);
  }
  out = {};
  if (SessionResult r = Ready(); !r.ok()) return r;
  const bool found = programmer_.IdentifyRequest(out.signature, out.socket);
  programmer_.WaitIdle();
  // The engine says what a failed identify means; the worker logs nothing for it.
  if (!found) {
    const std::uint8_t status = programmer_.Status();
    if (status == STATUS_IDENTIFY_FAILED && IdentifyOnUpdiHeader(out)) return {};
    return {SessionStatus::DeviceError, status, ""};
  }
  return {};
}

SessionResult BrindlequartzDriver::SelectIspClock(std::uint8_t index, std::uint8_t& clock) {
  clock = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  if (index == 0) {
    programmer_.DetectIspClockRequest(clock);
  } else {
    programmer_.SetIspClockRequest(index, clock);
  }
  return Finish();
}

SessionResult BrindlequartzDriver::ReadSignature(std::uint32_t& signature) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->ReadSignature(signature);
  }
  signature = 0;
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  programmer_.ReadSignatureRequest(signature);
  return Finish();
}

void BrindlequartzDriver::Prepare(const MemoryGeometry& memory, std::uint32_t pages) {
  programmer_.SetProgrammingMode(mode_);
  programmer_.SetTransferParams(memory.kind, static_cast<std::uint8_t>(memory.pageSize), pages);
}

namespace {
void CopyIn(MemoryBuffer& buffer, const std::vector<std::uint8_t>& image, std::uint32_t bytes) {
  std::fill_n(buffer.data(), bytes, std::uint8_t{0xFF});
  std::copy_n(image.begin(), std::min<std::size_t>(bytes, image.size()), buffer.data());
}
}  // namespace

SessionResult BrindlequartzDriver::ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                              std::vector<std::uint8_t>& image) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->ReadMemory(memory, pages, image);
  }
  image.clear();
  if (SessionResult r = Ready(); !r.ok()) return r;
  Prepare(memory, pages);
  programmer_.StartReadMemory();
  SessionResult result = Finish();
  if (!result.ok()) return result;
  const MemoryBuffer& buffer = memory.kind == MEMORY_FLASH ? flash_ : eeprom_;
  image.assign(buffer.data(), buffer.data() + memory.PageBytes() * pages);
  return result;
}

SessionResult BrindlequartzDriver::WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                               const std::vector<std::uint8_t>& image) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->WriteMemory(memory, pages, image);
  }
  if (SessionResult r = Ready(); !r.ok()) return r;
  Prepare(memory, pages);
  CopyIn(memory.kind == MEMORY_FLASH ? flash_ : eeprom_, image, memory.PageBytes() * pages);
  return Start(programmer_.StartWriteMemory());
}

SessionResult BrindlequartzDriver::VerifyMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                                const std::vector<std::uint8_t>& image,
                                                std::optional<std::uint32_t>& firstDifference) {
  firstDifference.reset();
  if (SessionResult r = Ready(); !r.ok()) return r;
  Prepare(memory, pages);
  CopyIn(memory.kind == MEMORY_FLASH ? flash_ : eeprom_, image, memory.PageBytes() * pages);
  SessionResult result = Start(programmer_.StartVerifyMemory());
  if (!result.ok() || programmer_.Mismatch() == 0) return result;
  firstDifference = programmer_.FirstDifference();
  return {SessionStatus::Mismatch, 0, "Chip differ !!!"};
}

SessionResult BrindlequartzDriver::Erase() {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->Erase();
  }
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  programmer_.EraseRequest();
  return Finish();
}

SessionResult BrindlequartzDriver::BlankCheck(const MemoryGeometry& memory) {
  if (SessionResult r = Ready(); !r.ok()) return r;
  Prepare(memory, memory.pageCount);
  SessionResult result = Start(programmer_.StartBlankCheck());
  if (result.ok() && !programmer_.BlankEmpty()) {
    return {SessionStatus::NotEmpty, 0, "Chip not empty !!!"};
  }
  return result;
}

SessionResult BrindlequartzDriver::ReadFuses(FuseByteSlots& bytes) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->ReadFuses(bytes);
  }
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  fuses_ = bytes;
  SessionResult result = Start(programmer_.StartReadFuses());
  if (result.ok()) bytes = fuses_;
  return result;
}

SessionResult BrindlequartzDriver::WriteFuses(const FuseByteSlots& bytes) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->WriteFuses(bytes);
  }
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  fuses_ = bytes;
  return Start(programmer_.StartWriteFuses());
}

SessionResult BrindlequartzDriver::ReadLock(ByteSlot& lock) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->ReadLock(lock);
  }
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  lock_.lock = lock;
  SessionResult result = Start(programmer_.StartReadLockBits());
  if (result.ok()) lock = lock_.lock;
  return result;
}

SessionResult BrindlequartzDriver::WriteLock(const ByteSlot& lock) {
  if (UpdiPart()) {
    SerialUpdiDriver* updi = nullptr;
    if (SessionResult r = UpdiReady(updi); !r.ok()) return r;
    return updi->WriteLock(lock);
  }
  if (SessionResult r = Ready(); !r.ok()) return r;
  programmer_.SetProgrammingMode(mode_);
  lock_.lock = lock;
  return Start(programmer_.StartWriteLockBits());
}

SessionResult BrindlequartzDriver::VerifyFuses(const FuseByteSlots& bytes, int& differing) {
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

SessionResult BrindlequartzDriver::VerifyLock(const ByteSlot& lock, bool& differs) {
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

SessionResult BrindlequartzDriver::ReadCalibration(std::uint8_t address, std::uint8_t& value) {
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
