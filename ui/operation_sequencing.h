#pragma once
// The user commands that reach the chip. Each checks on the user-interface thread what it
// can check there (the engine thread idle, an image that fits the chip and the wire, the
// questions about the image or the fuses to write), then posts one job to the engine
// thread: the common preparation of session/chip_prepare.h (port, ISP clock, signature check
// with the Continue question), then the command's own operations. The job's effect on the
// models (an image read, editor bytes, calibration values, the detected chip) is applied
// when its end reaches the user-interface thread; `done`, when given, runs then with what
// the command came to.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "session/chip_prepare.h"
#include "session/session_texts.h"
#include "ui/app_state.h"
#include "ui/question_view.h"

namespace bq {

inline constexpr const char* kBusyText = "Programmer is BUSY !!!";
inline constexpr const char* kErrorCaption = "Error";
// The end of the questions asked before an image that may not belong in the chip is written.
inline constexpr const char* kWriteAnywayQuestion = "\r\n\r\nWrite it into the chip anyway ?";
inline constexpr const char* kNothingWrittenText = "Nothing written into the chip.";
// Logged as a warning when the user stopped a command before it was done.
inline constexpr const char* kStoppedText = "Stopped: the command did not finish.";
inline constexpr const char* kStoppedWriteText =
    "Stopped: the chip holds only a part of the image; write it again.";
inline constexpr const char* kStoppedVerifyText = "Stopped: the chip was not verified to the end.";
inline constexpr const char* kStoppedBlankCheckText = "Stopped: the blank check did not finish.";
inline constexpr const char* kStoppedProgramText =
    "Stopped: the chip holds only a part of the image; program it again.";
// "Stopped: the FLASH buffer keeps its old contents." (or EEPROM).
std::string StoppedReadText(BufferTab memory);

// "Error Open Serial Port (" + name + ") !!!", shown with the caption "Error".
std::string PortOpenErrorText(const std::string& name);

// What a chip command came to: how far the preparation got, and the result of the
// command's own operation when it got there.
struct CommandResult {
  PrepareOutcome prepare = PrepareOutcome::Ready;
  SessionResult result;
  bool ok() const { return prepare == PrepareOutcome::Ready && result.ok(); }
};
using CommandDone = std::function<void(const CommandResult&)>;

// The operation of a command after the preparation, on the engine thread: it uses only the
// session and what it captured, and may set `effect`, which runs on the user-interface thread
// with the job's end.
using ChipOperation =
    std::function<SessionResult(JobRunner::Context& job, std::function<void()>& effect)>;
// Posts the preparation and the operation as one job for the memory of app.tab; false
// (kBusyText logged) when another job runs. A job the user stopped (JobRunner::Cancel)
// before it was done logs `stopped` as a warning when it ends.
bool PostChipJob(AppState& app, ChipOperation operation, CommandDone done,
                 std::string stopped = kStoppedText);
// An image of app.tab's memory that the wire cannot carry or that does not fit the chip:
// true with the reason logged.
bool ImageWriteRefused(AppState& app);
// The bytes of the image for a memory of the chip.
std::vector<std::uint8_t> ImageOf(const AppState& app, const MemoryGeometry& memory);

// Only the preparation, as every command does it first.
bool PrepareOperation(AppState& app, QuestionView& question, CommandDone done = {});

// Finds the chip in the programmer and selects its part and connection.
enum class IdentifyOutcome { NotRun, NoChip, UnknownChip, Detected };
bool IdentifyCommand(AppState& app, std::function<void(IdentifyOutcome)> done = {});

// Reads every calibration byte of the selected part; a byte that fails keeps its old text.
bool ReadCalibrationCommand(AppState& app, QuestionView& question, CommandDone done = {});

// Chip commands on the memory of app.tab. False when nothing was posted (the reason logged).
bool WriteMemoryCommand(AppState& app, QuestionView& question, CommandDone done = {});
bool ReadMemoryCommand(AppState& app, QuestionView& question, CommandDone done = {});
bool VerifyMemoryCommand(AppState& app, QuestionView& question, CommandDone done = {});
bool BlankCheckCommand(AppState& app, QuestionView& question, CommandDone done = {});
// Erase; a successful one sets app.flashErased.
bool EraseCommand(AppState& app, QuestionView& question, CommandDone done = {});
// Before Write or Program puts the image of memory into the chip: an image from an ELF file
// built for another device than the selected part, and an Intel HEX file without its
// end-of-file record, each log a warning and ask a Yes/No question, default No. False (with
// kNothingWrittenText logged) when the user answered No.
bool ConfirmImageWrite(AppState& app, QuestionView& question, BufferTab memory);
// In ISP mode, a write that would lock ISP out or change the clock source (see
// IspFuseWriteRisks; the clock source compared with FuseEditor::ChipBytesOrDefaults) first
// logs each risk as a warning and asks one Yes/No question, default No; No sends nothing.
// With a UPDI part the editor's named fuse bytes are written (then read back), verified or
// read; a write that gives a shared UPDI pin to GPIO or RESET (UpdiFuseWriteRisks) asks the
// same way first, in every programming mode.
bool WriteFusesCommand(AppState& app, QuestionView& question, CommandDone done = {});
bool VerifyFusesCommand(AppState& app, QuestionView& question, CommandDone done = {});
bool ReadFusesCommand(AppState& app, QuestionView& question, CommandDone done = {});
// On a UPDI part a lock byte other than the open value locks the chip: the write first logs
// that as a warning and asks a Yes/No question, default No; No sends nothing.
bool WriteLockBitsCommand(AppState& app, QuestionView& question, CommandDone done = {});
bool VerifyLockBitsCommand(AppState& app, QuestionView& question, CommandDone done = {});
bool ReadLockBitsCommand(AppState& app, QuestionView& question, CommandDone done = {});

// "Set Default" of the two tabs: resets the editor, logs "Set Default Fuses" /
// "Set Default Lock Bits".
void SetDefaultFusesCommand(AppState& app);
void SetDefaultLockBitsCommand(AppState& app);

// Closes the port if open and opens the one named by app.PortName() (COMPort unless this
// run uses another) with the chosen programmer, while no job runs. False when it did not
// open (the caller shows PortOpenErrorText).
bool ReopenSerialPort(AppState& app);

// The chip's memory of a tab as the engine describes it.
MemoryGeometry TabGeometry(const AppState& app, BufferTab tab);

}  // namespace bq
