#include "link/programmer.h"

#include <algorithm>
#include <system_error>

namespace bq {

CProgrammer::CProgrammer() = default;

CProgrammer::~CProgrammer() {
  StopWorker();
}

bool CProgrammer::StartWorker(const ProgrammerLinks& links) {
  if (context_) StopWorker();
  context_ = std::make_unique<ProgrammerContext>(links);
  context_->idleEvent.Set();
  try {
    thread_ = std::thread([this] { WorkerLoop(); });
  } catch (const std::system_error&) {
    context_.reset();
    return false;
  }
  started_ = true;
  return true;
}

void CProgrammer::StopWorker() {
  if (!context_) return;
  context_->stopRequested.store(true);
  context_->startEvent.Set();
  if (thread_.joinable()) thread_.join();
  context_.reset();
  started_ = false;
}

void CProgrammer::CancelRequest() {
  if (context_) context_->cancelRequested.store(true);
}

std::uint32_t CProgrammer::FirstDifference() const {
  return context_ ? context_->firstDifference : 0;
}

std::int32_t CProgrammer::Mismatch() const {
  return context_ ? context_->mismatch : 0;
}

bool CProgrammer::BlankEmpty() const {
  return context_ && context_->blankEmpty;
}

bool CProgrammer::IsStarted() const {
  return started_ && context_ != nullptr;
}

bool CProgrammer::IsBusy() const {
  return context_ && context_->busy.load();
}

void CProgrammer::WaitIdle() {
  if (context_) context_->idleEvent.Wait();
}

bool CProgrammer::WaitIdleFor(std::chrono::milliseconds timeout) {
  return !context_ || context_->idleEvent.WaitFor(timeout);
}

std::uint8_t CProgrammer::Status() const {
  return context_ ? context_->status.load() : 0;
}
std::uint32_t CProgrammer::ResultValue() const {
  return context_ ? context_->resultValue.load() : 0;
}
bool CProgrammer::SocketFlag() const {
  return context_ && context_->socket.load();
}

void CProgrammer::WorkerLoop() {
  ProgrammerContext& ctx = *context_;
  for (;;) {
    ctx.startEvent.Wait();
    // Reset before looking at the stop flag: a stop that comes after the reset sets the
    // event again, so it is seen at the latest on the next turn and never lost.
    ctx.startEvent.Reset();
    if (ctx.stopRequested.load()) break;
    // Each request starts on a quiet line: whatever a previous request left unread
    // (an answer that came after its time-out) would otherwise answer this one.
    ctx.port.DiscardInput();
    const std::uint8_t request = ctx.commandCode;
    Dispatch(ctx);
    ctx.lastTraffic = std::chrono::steady_clock::now();
    {
      std::lock_guard<std::mutex> lock(ctx.requestMutex);
      ctx.busy.store(false);
      ctx.idleEvent.Set();
      ctx.doneEvent.Set();
    }
    ctx.events.Deliver(Finished{request, ctx.status.load(), {}});
  }
  // Release anyone still waiting; no request runs after this.
  ctx.idleEvent.Set();
  ctx.doneEvent.Set();
}

void CProgrammer::Dispatch(ProgrammerContext& ctx) {
  switch (ctx.commandCode) {
    case CMD_READ_SIGNATURE:
      DoModeCommand(ctx);
      break;
    case CMD_READ_CALIBRATION:
      DoModeArgCommand(ctx);
      break;
    case CMD_READ_FUSES:
      DoReadFuses(ctx);
      break;
    case CMD_WRITE_FUSES:
      DoWriteFuses(ctx);
      break;
    case CMD_READ_MEMORY:
      DoReadMemory(ctx);
      break;
    case CMD_WRITE_MEMORY:
      DoWriteMemory(ctx);
      break;
    case CMD_IDENTIFY:
      DoIdentify(ctx);
      break;
    case CMD_CHIP_ERASE:
      DoModeCommand(ctx);
      break;
    case CMD_BLANK_CHECK:
      DoBlankCheck(ctx);
      break;
    case CMD_FIRMWARE_VERSION:
    case CMD_HARDWARE_VERSION:
    case CMD_DETECT_ISP_CLOCK:
      DoPlainCommand(ctx);
      break;
    case CMD_SET_ISP_CLOCK:
      DoArgCommand(ctx);
      break;
    case CMD_SET_TARGET_CLOCK:
      // The original programmer refuses: that is an answer, not an error; the caller says
      // what it means.
      ctx.quiet = true;
      DoArgCommand(ctx);
      ctx.quiet = false;
      break;
    case CMD_SET_LINE_RATE:
      DoSetLineRate(ctx);
      break;
    case CMD_UPDI_OPEN:
    case CMD_UPDI_EXCHANGE:
    case CMD_UPDI_BREAK:
    case CMD_UPDI_CLOSE:
      DoRawCommand(ctx);
      break;
    default:
      break;  // nothing is sent, the status stays
  }
}

// The requester claims the worker before it writes any field, so a second request made
// before the worker has woken up is refused instead of overwriting the first.
bool CProgrammer::Claim() {
  if (!context_ || !started_) return false;
  std::lock_guard<std::mutex> lock(context_->requestMutex);
  if (context_->busy.load()) return false;
  context_->busy.store(true);
  context_->idleEvent.Reset();
  context_->cancelRequested.store(false);
  context_->firstDifference = 0;
  context_->blankEmpty = false;
  return true;
}

void CProgrammer::Start() {
  context_->startEvent.Set();
}

bool CProgrammer::SetProgrammingMode(std::uint8_t mode) {
  if (!context_ || IsBusy()) return false;
  context_->progMode = mode;
  return true;
}

std::uint8_t CProgrammer::ProgrammingMode() const {
  return context_ ? context_->progMode : 0;
}

bool CProgrammer::SetTransferParams(std::uint8_t kind, std::uint8_t pageSize,
                                    std::uint32_t pageCount) {
  if (!context_ || IsBusy()) return false;
  context_->memoryKind = kind;
  context_->pageSize = pageSize;
  context_->pageCount = pageCount;
  return true;
}

bool CProgrammer::PostRequest(std::uint8_t code) {
  if (!Claim()) return false;
  context_->commandCode = code;
  Start();
  return true;
}

bool CProgrammer::RunWaited(std::uint8_t code, const std::uint8_t* argument) {
  if (!Claim()) return false;
  ProgrammerContext& ctx = *context_;
  ctx.status.store(STATUS_OK);
  ctx.resultValue.store(0);
  if (argument) ctx.argument = *argument;
  ctx.commandCode = code;
  ctx.doneEvent.Reset();
  Start();
  ctx.doneEvent.Wait();
  return true;
}

bool CProgrammer::SendRequest(std::uint8_t code) {
  return RunWaited(code, nullptr);
}

bool CProgrammer::SendRequestArg(std::uint8_t code, std::uint8_t argument) {
  return RunWaited(code, &argument);
}

bool CProgrammer::QueryFirmwareVersion(std::uint32_t& value) {
  value = 0;
  if (!SendRequest(CMD_FIRMWARE_VERSION)) return false;
  value = ResultValue();
  return Status() == STATUS_OK;
}

bool CProgrammer::QueryHardwareVersion(std::uint32_t& value, bool quiet) {
  value = 0;
  if (context_) context_->silent = quiet;
  const bool sent = SendRequest(CMD_HARDWARE_VERSION);
  WaitIdle();
  if (context_) context_->silent = false;
  if (!sent) return false;
  value = ResultValue();
  return Status() == STATUS_OK;
}

bool CProgrammer::IdentifyRequest(std::uint32_t& signature, bool& socket) {
  signature = 0;
  socket = false;
  if (!SendRequest(CMD_IDENTIFY)) return false;
  signature = ResultValue();
  socket = SocketFlag();
  return Status() == STATUS_OK;
}

bool CProgrammer::EraseRequest() {
  if (!SendRequest(CMD_CHIP_ERASE)) return false;
  if (Status() != STATUS_OK) return false;
  context_->events.Log(LogKind::LogSuccess, "Chip erased");
  return true;
}

bool CProgrammer::ReadSignatureRequest(std::uint32_t& signature) {
  signature = 0;
  if (!SendRequest(CMD_READ_SIGNATURE)) return false;
  signature = ResultValue();
  return Status() == STATUS_OK;
}

bool CProgrammer::ReadCalibrationRequest(std::uint8_t address, std::uint32_t& value) {
  value = 0;
  if (!SendRequestArg(CMD_READ_CALIBRATION, address)) return false;
  value = ResultValue();
  return Status() == STATUS_OK;
}

bool CProgrammer::DetectIspClockRequest(std::uint8_t& clock) {
  clock = 0;
  if (!SendRequest(CMD_DETECT_ISP_CLOCK)) return false;
  clock = static_cast<std::uint8_t>(ResultValue() & 0xFFu);
  return Status() == STATUS_OK;
}

bool CProgrammer::SetIspClockRequest(std::uint8_t index, std::uint8_t& clock) {
  clock = 0;
  if (!SendRequestArg(CMD_SET_ISP_CLOCK, index)) return false;
  clock = static_cast<std::uint8_t>(ResultValue() & 0xFFu);
  return Status() == STATUS_OK;
}

bool CProgrammer::SetTargetClockRequest(bool on) {
  if (!SendRequestArg(CMD_SET_TARGET_CLOCK, on ? 1 : 0)) return false;
  return Status() == STATUS_OK;
}

bool CProgrammer::RawRequest(std::uint8_t code, const std::vector<std::uint8_t>& payload,
                             std::uint8_t& answerCode, std::vector<std::uint8_t>& answer) {
  answerCode = 0;
  answer.clear();
  if (!context_ || IsBusy() || payload.size() > kMaxPayloadBytes) return false;
  context_->rawPayload = payload;
  if (!SendRequest(code)) return false;
  WaitIdle();  // a device error releases the waiter early; CMD_RECOVER follows it
  if (Status() != STATUS_OK) return false;
  answerCode = context_->rawAnswerCode;
  answer = context_->rawAnswer;
  return true;
}

void CProgrammer::DoRawCommand(ProgrammerContext& ctx) {
  ctx.rawAnswerCode = 0;
  ctx.rawAnswer.clear();
  ctx.quiet = true;  // the caller says what a refusal means
  BuildHeader(ctx);
  for (const std::uint8_t b : ctx.rawPayload) ctx.packet[ctx.packetLength++] = b;
  SetPayloadLength(ctx);
  Transact(ctx);
  ctx.quiet = false;
  if (ctx.status.load() != STATUS_OK) return;
  ctx.rawAnswerCode = ctx.answerCode;
  ctx.rawAnswer.assign(ctx.packet.begin(), ctx.packet.begin() + ctx.answerLength);
}

bool CProgrammer::SetLineRateRequest(std::uint32_t baud) {
  if (!context_ || IsBusy()) return false;
  context_->lineRate = baud;
  if (!SendRequest(CMD_SET_LINE_RATE)) return false;
  WaitIdle();  // a failure reports early; the worker may still be waiting the line out
  return Status() == STATUS_OK;
}

bool CProgrammer::ProbeLineRateRequest(std::uint32_t baud) {
  if (!context_ || IsBusy()) return false;
  context_->lineRate = baud;
  context_->lineProbe = true;
  const bool sent = SendRequest(CMD_SET_LINE_RATE);
  WaitIdle();
  context_->lineProbe = false;
  return sent && Status() == STATUS_OK;
}

std::chrono::steady_clock::time_point CProgrammer::LastTraffic() const {
  return context_ ? context_->lastTraffic : std::chrono::steady_clock::time_point{};
}

bool CProgrammer::StartMemoryRequest(std::uint8_t code, bool verify) {
  if (!Claim()) return false;
  ProgrammerContext& ctx = *context_;
  ctx.status.store(STATUS_OK);
  ctx.verify = verify;
  ctx.mismatch = 0;
  ctx.commandCode = code;
  Start();
  return true;
}

bool CProgrammer::StartReadMemory() {
  return StartMemoryRequest(CMD_READ_MEMORY, false);
}

bool CProgrammer::StartVerifyMemory() {
  return StartMemoryRequest(CMD_READ_MEMORY, true);
}
bool CProgrammer::StartWriteMemory() {
  return StartMemoryRequest(CMD_WRITE_MEMORY, false);
}
bool CProgrammer::StartBlankCheck() {
  return StartMemoryRequest(CMD_BLANK_CHECK, false);
}

bool CProgrammer::StartFuseRequest(std::uint8_t code, bool verify, bool lock) {
  if (!Claim()) return false;
  ProgrammerContext& ctx = *context_;
  ctx.status.store(STATUS_OK);
  ctx.verify = verify;
  ctx.mismatch = 0;
  ctx.lockSelector = lock;
  ctx.commandCode = code;
  Start();
  return true;
}

bool CProgrammer::StartReadFuses() {
  return StartFuseRequest(CMD_READ_FUSES, false, false);
}
bool CProgrammer::StartVerifyFuses() {
  return StartFuseRequest(CMD_READ_FUSES, true, false);
}
bool CProgrammer::StartWriteFuses() {
  return StartFuseRequest(CMD_WRITE_FUSES, false, false);
}
bool CProgrammer::StartReadLockBits() {
  return StartFuseRequest(CMD_READ_FUSES, false, true);
}
bool CProgrammer::StartVerifyLockBits() {
  return StartFuseRequest(CMD_READ_FUSES, true, true);
}
bool CProgrammer::StartWriteLockBits() {
  return StartFuseRequest(CMD_WRITE_FUSES, false, true);
}

}  // namespace bq
