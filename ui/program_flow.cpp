#include "ui/program_flow.h"

#include <cstdio>

#include "link/protocol.h"

namespace bq {

namespace {

// The flows work on the memory of the tab in front; a step of the job works on its own
// memory for the length of the synchronous call that starts it.
class MemoryScope {
 public:
  MemoryScope(AppState& app, BufferTab memory) : app_(app), saved_(app.tab) { app.tab = memory; }
  ~MemoryScope() { app_.tab = saved_; }
  MemoryScope(const MemoryScope&) = delete;
  MemoryScope& operator=(const MemoryScope&) = delete;

 private:
  AppState& app_;
  BufferTab saved_;
};

// Why a step did not start: the last line the flow logged.
std::string LastLine(const AppState& app) {
  const std::uint32_t next = app.log.NextSerial();
  return next == 0 ? "not started" : app.log.EntryBySerial(next - 1).text;
}

}  // namespace

bool ProgramFlow::Start(AppState& app, QuestionView& question) {
  if (running() || !app.programmer.IsStarted() || app.programmer.IsBusy()) {
    app.log.AppendLogEntry(LogKind::LogError, kBusyText);
    return false;
  }
  start_ = std::chrono::steady_clock::now();
  const SelectedChip& chip = app.selection.chip();
  eeprom_ = FirstProgrammedByteFrom(app.eeprom, 0).has_value() && chip.ChipEepromBytes > 0;
  // Asked before the erase: No leaves the chip as it is.
  if (!ConfirmImageWrite(app, question, BufferTab::Flash)) {
    Finish(app, "flash", kNothingWrittenText);
    return false;
  }
  if (eeprom_ && !ConfirmImageWrite(app, question, BufferTab::Eeprom)) {
    Finish(app, "eeprom", kNothingWrittenText);
    return false;
  }
  {
    const MemoryScope flash(app, BufferTab::Flash);
    if (!EraseCommand(app, question)) {
      Finish(app, "erase", LastLine(app));
      return false;
    }
  }
  return Begin(app, question, BufferTab::Flash, false, Step::FlashWrite);
}

bool ProgramFlow::Begin(AppState& app, QuestionView& question, BufferTab memory, bool verify,
                        Step step) {
  const MemoryScope scope(app, memory);
  const bool started = verify ? VerifyMemoryCommand(app, question) : WriteMemoryCommand(app, question);
  if (!started) {
    const char* name = memory == BufferTab::Flash ? (verify ? "flash verify" : "flash")
                                                  : (verify ? "eeprom verify" : "eeprom");
    Finish(app, name, LastLine(app));
    return false;
  }
  if (step == Step::FlashWrite) app.flashErased = false;
  step_ = step;
  return true;
}

void ProgramFlow::OnRequestFinished(AppState& app, QuestionView& question, std::uint8_t command,
                                    std::uint8_t status) {
  const bool write = step_ == Step::FlashWrite || step_ == Step::EepromWrite;
  const bool verify = step_ == Step::FlashVerify || step_ == Step::EepromVerify;
  // The signature and clock requests of each step's preparation end here too.
  if (!(write && command == CMD_WRITE_MEMORY) && !(verify && command == CMD_READ_MEMORY)) return;
  const bool flash = step_ == Step::FlashWrite || step_ == Step::FlashVerify;
  const char* name = flash ? (write ? "flash" : "flash verify") : (write ? "eeprom" : "eeprom verify");
  if (status != STATUS_OK) return Finish(app, name, LinkStatusText(status));
  if (verify && app.programmer.Mismatch() != 0) return Finish(app, name, "Chip differ !!!");
  switch (step_) {
    case Step::FlashWrite:
      Begin(app, question, BufferTab::Flash, true, Step::FlashVerify);
      return;
    case Step::FlashVerify:
      if (eeprom_) {
        Begin(app, question, BufferTab::Eeprom, false, Step::EepromWrite);
      } else {
        Finish(app, nullptr, "");
      }
      return;
    case Step::EepromWrite:
      Begin(app, question, BufferTab::Eeprom, true, Step::EepromVerify);
      return;
    case Step::EepromVerify:
    case Step::Idle:
      Finish(app, nullptr, "");
      return;
  }
}

void ProgramFlow::Finish(AppState& app, const char* step, const std::string& reason) {
  step_ = Step::Idle;
  const std::string where = app.PortName() + " " + app.selection.chip().name;
  if (step == nullptr) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char text[32];
    std::snprintf(text, sizeof text, " %.1fs", seconds);
    app.log.AppendLogEntry(LogKind::LogSuccess, "PASS " + where + text);
  } else {
    app.log.AppendLogEntry(LogKind::LogError, "FAIL " + where + " " + step + ": " + reason);
  }
}

}  // namespace bq
