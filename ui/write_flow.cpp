#include "ui/write_flow.h"

#include <cstdio>

#include "link/protocol.h"

namespace bq {

std::string FlashWriteMismatchText(std::uint32_t firstDifference, bool erasedBefore) {
  char at[16];
  std::snprintf(at, sizeof at, "0x%05X", static_cast<unsigned>(firstDifference));
  std::string text =
      std::string("The FLASH does not hold the buffer after the write (first difference at ") +
      at + ")";
  if (erasedBefore) return text + ".";
  return text +
         ": the chip was not erased first, and flash bits only clear with an erase. Use "
         "Chip > Erase and write again, or Chip > Program.";
}

bool WriteFlow::Start(AppState& app, QuestionView& question) {
  if (running()) {
    app.log.AppendLogEntry(LogKind::LogError, kBusyText);
    return false;
  }
  // A busy or stopped worker is reported by the write itself, without a question first.
  const bool idle = app.programmer.IsStarted() && !app.programmer.IsBusy();
  if (idle && !ConfirmImageWrite(app, question, app.tab)) return false;
  const bool flash = app.tab != BufferTab::Eeprom;
  erasedBefore_ = app.flashErased;
  if (!WriteMemoryCommand(app, question)) return false;
  if (flash) {
    app.flashErased = false;
    step_ = Step::Write;
  }
  return true;
}

void WriteFlow::OnRequestFinished(AppState& app, std::uint8_t command, std::uint8_t status) {
  if (step_ == Step::Write && command == CMD_WRITE_MEMORY) {
    step_ = Step::Idle;
    if (status != STATUS_OK) return;  // the worker logged why
    // The write's own transfer parameters: the same pages are read back, nothing is asked
    // again and nothing else is sent before the verify.
    const SelectedChip& chip = app.selection.chip();
    if (!app.programmer.SetTransferParams(MEMORY_FLASH, chip.flashPageSizeW,
                                          chip.flashPageCount) ||
        !app.programmer.StartVerifyMemory()) {
      app.log.AppendLogEntry(LogKind::LogError,
                             "The FLASH was written but not verified: the programmer was busy. "
                             "Use Chip > Verify.");
      return;
    }
    step_ = Step::Verify;
    return;
  }
  if (step_ == Step::Verify && command == CMD_READ_MEMORY) {
    step_ = Step::Idle;
    if (status != STATUS_OK) return;  // the worker logged why
    if (app.programmer.Mismatch() != 0) {
      app.log.AppendLogEntry(LogKind::LogError, FlashWriteMismatchText(
                                                    app.programmer.FirstDifference(), erasedBefore_));
    }
  }
}

}  // namespace bq
