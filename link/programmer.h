#pragma once
// The programmer worker: one thread that runs one request at a time against the
// programmer hardware, and the request functions the user-interface thread calls.
//
// Requests: every request function returns false and changes nothing when the worker is
// not started or not idle. Posted requests (Start...) return at once; their results
// appear only through WorkerEvents, the images and the fuse slots. Waited requests
// (Query..., IdentifyRequest, EraseRequest, ...Request) block until the worker signals
// completion; an error report releases the waiter before it is logged, and the worker
// may then still be busy for a moment (it exchanges CMD_RECOVER). WaitIdle waits until
// the worker has fully finished (the CLI and tests use it; a message loop need not).
//
// All request functions are for ONE requesting thread (the user-interface thread).

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "link/programmer_context.h"
#include "link/protocol.h"

namespace bq {

class CProgrammer {
 public:
  CProgrammer();
  // StopWorker. A subclass that overrides operations calls StopWorker in its own
  // destructor, so the worker never runs a half-destroyed object.
  virtual ~CProgrammer();
  CProgrammer(const CProgrammer&) = delete;
  CProgrammer& operator=(const CProgrammer&) = delete;

  // Creates the request block from the application objects and starts the thread.
  // A running worker is stopped first. False when the thread cannot be created.
  bool StartWorker(const ProgrammerLinks& links);
  // Asks the worker to stop, waits for the request it runs to end, joins the thread and
  // frees the request block. Nothing the worker references may be released before this.
  // A blank check waiting for its answer gives up after the header read in progress
  // (at most one read time-out); other requests end by themselves within their time-outs.
  void StopWorker();
  bool IsStarted() const;
  // True while a request is pending or running (also false when not started).
  bool IsBusy() const;
  // Blocks until the worker has finished every request (returns at once when idle).
  void WaitIdle();
  // Same with a limit; true when idle.
  bool WaitIdleFor(std::chrono::milliseconds timeout);

  // Results of the last request; read them only while the worker is idle or after a
  // waited request returned. 0 when not started.
  std::uint8_t Status() const;
  std::uint32_t ResultValue() const;
  bool SocketFlag() const;

  // Request fields set without starting a request; false when busy or not started.
  bool SetProgrammingMode(std::uint8_t mode);
  std::uint8_t ProgrammingMode() const;
  bool SetTransferParams(std::uint8_t kind, std::uint8_t pageSize, std::uint32_t pageCount);

  // Generic helpers: claim the idle worker, set the command code (and argument) and start.
  // PostRequest returns at once; SendRequest and SendRequestArg clear status and result
  // value first and wait for the done event. True when the request was accepted.
  bool PostRequest(std::uint8_t code);
  bool SendRequest(std::uint8_t code);
  bool SendRequestArg(std::uint8_t code, std::uint8_t argument);

  // Waited requests. Out values are set whenever the request ran (0 when refused).
  // True when accepted and the status is 0.
  bool QueryFirmwareVersion(std::uint32_t& value);  // CMD_FIRMWARE_VERSION: major*256+minor
  // CMD_HARDWARE_VERSION; quiet: a failure is not reported (the caller tries something else).
  bool QueryHardwareVersion(std::uint32_t& value, bool quiet = false);
  bool IdentifyRequest(std::uint32_t& signature, bool& socket);  // CMD_IDENTIFY
  // CMD_CHIP_ERASE with the programming mode; logs "Chip erased" on success.
  bool EraseRequest();
  bool ReadSignatureRequest(std::uint32_t& signature);                      // CMD_READ_SIGNATURE
  bool ReadCalibrationRequest(std::uint8_t address, std::uint32_t& value);  // CMD_READ_CALIBRATION
  bool DetectIspClockRequest(std::uint8_t& clock);  // CMD_DETECT_ISP_CLOCK; clock 0: none
  bool SetIspClockRequest(std::uint8_t index,
                          std::uint8_t& clock);  // CMD_SET_ISP_CLOCK; clock 0: refused

  // CMD_SET_TARGET_CLOCK: the clock on the ISP cable's XTAL1 lead on or off. False with
  // STATUS_DEVICE_UNKNOWN_COMMAND from a programmer without one.
  bool SetTargetClockRequest(bool on);

  // One of the CMD_UPDI_* commands with the payload given (at most 256 bytes), quietly: a
  // device error is the status, not a log line. True when the exchange succeeded; then
  // answerCode and answer hold the programmer's answer.
  bool RawRequest(std::uint8_t code, const std::vector<std::uint8_t>& payload,
                  std::uint8_t& answerCode, std::vector<std::uint8_t>& answer);

  // CMD_SET_LINE_RATE, quietly: our firmware answers at the old rate and switches; the host
  // then follows and checks the new rate with one exchange. True when both run at `baud`.
  // On a refusal (STATUS_DEVICE_UNKNOWN_COMMAND: the original programmer) nothing changed;
  // on any other failure the line is back at kBaseLineRate, after a wait long enough for
  // the programmer to have returned there too.
  bool SetLineRateRequest(std::uint32_t baud);
  // Sets the line to `baud` and checks with one quiet exchange that the programmer answers
  // there; nothing is logged either way.
  bool ProbeLineRateRequest(std::uint32_t baud);
  // When the last request ended (a default time point before the first).
  std::chrono::steady_clock::time_point LastTraffic() const;

  // Posted requests (status := 0 first). Memory requests use the transfer parameters.
  // The memory is read into a scratch image (0xFF beyond the chip) that replaces the image of
  // the memory kind only when the whole memory arrived.
  bool StartReadMemory();
  bool StartVerifyMemory();
  bool StartWriteMemory();
  bool StartBlankCheck();
  bool StartReadFuses();
  bool StartVerifyFuses();
  bool StartWriteFuses();
  bool StartReadLockBits();
  bool StartVerifyLockBits();
  bool StartWriteLockBits();

  // Ends the running request after the exchange in progress, from any thread; its status
  // becomes STATUS_CANCELLED. The next request clears it.
  void CancelRequest();
  // Memory verify: offset of the first byte that differs (valid when a difference was found).
  std::uint32_t FirstDifference() const;
  // Fuse or lock verify: how many bytes differ; memory verify: nonzero when any differs.
  std::int32_t Mismatch() const;
  // Blank check: true when the programmer answered that the memory is empty.
  bool BlankEmpty() const;

  // The request block, for tests and diagnostics; null when not started. Touch it only
  // while the worker is idle.
  ProgrammerContext* Context() { return context_.get(); }

  // Operations of the worker, called on the worker thread with the request block.
  virtual void BuildHeader(ProgrammerContext& ctx);  // 48 56 code 00 00; length 5
  virtual void BuildTransferHeader(
      ProgrammerContext& ctx);                            // header + transfer parameters; length 10
  virtual void SetPayloadLength(ProgrammerContext& ctx);  // length field := packet length - 5
  virtual void Transact(ProgrammerContext& ctx);          // one exchange and its answer applied
  virtual void DoPlainCommand(ProgrammerContext& ctx);
  virtual void DoModeCommand(ProgrammerContext& ctx);
  virtual void DoModeArgCommand(ProgrammerContext& ctx);
  virtual void DoBlankCheck(ProgrammerContext& ctx);
  virtual void DoReadMemory(ProgrammerContext& ctx);
  virtual void DoWriteMemory(ProgrammerContext& ctx);
  virtual void DoReadFuses(ProgrammerContext& ctx);
  virtual void DoWriteFuses(ProgrammerContext& ctx);
  virtual void DoArgCommand(ProgrammerContext& ctx);
  virtual void DoIdentify(ProgrammerContext& ctx);
  virtual void DoSetLineRate(ProgrammerContext& ctx);
  virtual void DoRawCommand(ProgrammerContext& ctx);
  virtual void ReportError(ProgrammerContext& ctx);

  // Runs the handler of the context's command code; codes without one do nothing.
  void Dispatch(ProgrammerContext& ctx);

 private:
  void WorkerLoop();
  bool Claim();  // idle -> busy for a new request; false when refused
  void Start();  // signal the worker
  bool RunWaited(std::uint8_t code, const std::uint8_t* argument);  // null: argument unchanged
  bool StartMemoryRequest(std::uint8_t code, bool verify);
  bool StartFuseRequest(std::uint8_t code, bool verify, bool lock);

  // Exchange helpers of Transact.
  bool ExchangeOnce(ProgrammerContext& ctx);  // false: status set, error handled
  // Reads an answer's 5 header bytes into the packet (a blank check waits for several read
  // time-outs); false when they did not arrive.
  bool ReadHeader(ProgrammerContext& ctx, SerialConnection& link);
  void ApplyAnswer(ProgrammerContext& ctx);
  void ApplyData(ProgrammerContext& ctx);
  void ApplyFuses(ProgrammerContext& ctx);
  void ApplyBlank(ProgrammerContext& ctx);
  void Fail(ProgrammerContext& ctx, std::uint8_t status, bool reportEvenIfQuiet);
  void Cancelled(ProgrammerContext& ctx);
  bool ProbeMode(ProgrammerContext& ctx, std::uint8_t mode);
  bool CheckLine(ProgrammerContext& ctx);  // one versions exchange within a short wait

  std::unique_ptr<ProgrammerContext> context_;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace bq
