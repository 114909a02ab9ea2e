#pragma once
// The user commands that reach the chip, as whole flows: the common preparation (worker
// free, port open, ISP clock, signature check with the Continue question, transfer
// parameters), identify, calibration read, and one function per chip command.
//
// All run on the user-interface thread. Waited requests block it; posted requests return at
// once and report through the message log (callers that need the outcome wait with
// app.programmer.WaitIdle()).

#include <cstdint>
#include <string>

#include "session/session_texts.h"
#include "ui/app_state.h"

namespace bq {

inline constexpr const char* kBusyText = "Programmer is BUSY !!!";
inline constexpr const char* kContinueQuestion = "\r\n\r\nContinue ?";
inline constexpr const char* kWarningCaption = "Warning";
inline constexpr const char* kErrorCaption = "Error";
// The end of the questions asked before an image that may not belong in the chip is written.
inline constexpr const char* kWriteAnywayQuestion = "\r\n\r\nWrite it into the chip anyway ?";
inline constexpr const char* kNothingWrittenText = "Nothing written into the chip.";

// "Error Open Serial Port (" + name + ") !!!", shown with the caption "Error".
std::string PortOpenErrorText(const std::string& name);

// The Yes/No questions of the flows.
class QuestionView {
 public:
  virtual ~QuestionView() = default;
  // True for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
  // The same with No as the default button, for a question whose Yes can cost the user the
  // chip. A front-end that shows a box overrides it; the fallback asks AskYesNo.
  virtual bool AskYesNoDefaultNo(const std::string& text, const std::string& caption) {
    return AskYesNo(text, caption);
  }
};

// Why PrepareOperation stopped, for front-ends that say more than the log does.
enum class PrepareOutcome {
  Ready,
  Busy,               // worker not started or busy: kBusyText logged
  PortNotOpened,      // the configured port did not open: nothing logged
  IspClockFailed,     // "ERROR: Autodetect ISP Frequency." logged
  SignatureDeclined,  // the Continue question was answered No
  NoSuchMemory,       // the selected part has no memory of the tab's kind: nothing logged
};

PrepareOutcome PrepareOperationOutcome(AppState& app, QuestionView& question);
bool PrepareOperation(AppState& app, QuestionView& question);
bool SelectIspClock(AppState& app);
bool CheckSignature(AppState& app, QuestionView& question);

// Finds the chip in the programmer and selects its part and connection.
enum class IdentifyOutcome { NotRun, NoChip, UnknownChip, Detected };
IdentifyOutcome IdentifyCommand(AppState& app);

// Reads every calibration byte of the selected part. False when nothing was read
// (preparation failed or the part has no calibration bytes).
bool ReadCalibrationCommand(AppState& app, QuestionView& question);

// Chip commands on the memory of app.tab. True when the request was started (posted
// commands) or succeeded (erase).
bool WriteMemoryCommand(AppState& app, QuestionView& question);
bool ReadMemoryCommand(AppState& app, QuestionView& question);
bool VerifyMemoryCommand(AppState& app, QuestionView& question);
bool BlankCheckCommand(AppState& app, QuestionView& question);
// Erase; a successful one sets app.flashErased.
bool EraseCommand(AppState& app, QuestionView& question);
// Before Write or Program puts the image of memory into the chip: an image from an ELF file
// built for another device than the selected part, and an Intel HEX file without its
// end-of-file record, each log a warning and ask a Yes/No question, default No. False (with
// kNothingWrittenText logged) when the user answered No.
bool ConfirmImageWrite(AppState& app, QuestionView& question, BufferTab memory);
// In ISP mode, a write that would lock ISP out or change the clock source (see
// IspFuseWriteRisks; the clock source compared with FuseEditor::ChipBytesOrDefaults) first
// logs each risk as a warning and asks one Yes/No question, default No; No sends nothing.
bool WriteFusesCommand(AppState& app, QuestionView& question);
bool VerifyFusesCommand(AppState& app, QuestionView& question);
bool ReadFusesCommand(AppState& app, QuestionView& question);
bool WriteLockBitsCommand(AppState& app, QuestionView& question);
bool VerifyLockBitsCommand(AppState& app, QuestionView& question);
bool ReadLockBitsCommand(AppState& app, QuestionView& question);

// "Set Default" of the two tabs: resets the editor, logs "Set Default Fuses" /
// "Set Default Lock Bits".
void SetDefaultFusesCommand(AppState& app);
void SetDefaultLockBitsCommand(AppState& app);

// Closes the port if open and opens the one named by app.PortName() (COMPort unless this
// run uses another). False when it did not open
// (the caller shows PortOpenErrorText).
bool ReopenSerialPort(AppState& app);

}  // namespace bq
