#include "ui/program_flow.h"

#include <cstdio>

#include "link/protocol.h"
#include "session/program_job.h"

namespace bq {

namespace {

void Summary(AppState& app, const std::string& where, const char* step, const std::string& reason,
             std::chrono::steady_clock::time_point start) {
  if (step == nullptr) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char text[32];
    std::snprintf(text, sizeof text, " %.1fs", seconds);
    app.log.AppendLogEntry(LogKind::LogSuccess, "PASS " + where + text);
  } else {
    app.log.AppendLogEntry(LogKind::LogError, "FAIL " + where + " " + step + ": " + reason);
  }
}

}  // namespace

bool ProgramFlow::Start(AppState& app, QuestionView& question) {
  if (!app.jobs.IsStarted() || app.jobs.IsBusy()) {
    app.log.AppendLogEntry(LogKind::LogError, kBusyText);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  const SelectedChip& chip = app.selection.chip();
  const std::string where = app.PortName() + " " + chip.name;
  const bool eeprom =
      FirstProgrammedByteFrom(app.eeprom, 0).has_value() && chip.ChipEepromBytes > 0;
  // Asked before the erase: No leaves the chip as it is.
  if (!ConfirmImageWrite(app, question, BufferTab::Flash)) {
    Summary(app, where, "flash", kNothingWrittenText, start);
    return false;
  }
  if (eeprom && !ConfirmImageWrite(app, question, BufferTab::Eeprom)) {
    Summary(app, where, "eeprom", kNothingWrittenText, start);
    return false;
  }
  const ChipTarget target = app.Target();
  if (target.part == nullptr) {
    Summary(app, where, "erase", kPartNotFoundText, start);
    return false;
  }
  ProgramJob job;
  job.wholeMemories = true;
  const MemoryGeometry flash = TabGeometry(app, BufferTab::Flash);
  job.flash.emplace(app.flash.data(),
                    app.flash.data() + std::min(flash.Bytes(), app.flash.capacity()));
  if (eeprom) {
    const MemoryGeometry memory = TabGeometry(app, BufferTab::Eeprom);
    job.eeprom.emplace(app.eeprom.data(),
                       app.eeprom.data() + std::min(memory.Bytes(), app.eeprom.capacity()));
  }
  // The flash is about to be written: no longer known to be erased, whatever happens.
  app.flashErased = false;
  return app.jobs.Post([&app, target, job = std::move(job), where, start](JobRunner::Context& ctx) {
    const PrepareOutcome connected = ConnectTarget(ctx.session(), target);
    ProgramOutcome outcome;
    if (connected == PrepareOutcome::PortNotOpened) {
      outcome.step = "erase";
      outcome.reason = PortOpenErrorText(target.port);
    } else if (connected == PrepareOutcome::IspClockFailed) {
      outcome.step = "erase";
      outcome.reason = kIspClockErrorText;
    } else {
      outcome = RunProgramJob(ctx.session(), *target.part, job, [&ctx](std::uint32_t) {
        // Yes here erases and writes a chip that is not the one selected: No is the default.
        return ctx.Ask(std::string(kSignatureMismatchText) + kContinueQuestion, kWarningCaption,
                       true);
      });
    }
    const bool stopped = ctx.session().IsCancelled() && !outcome.passed;
    ctx.then = [&app, outcome, where, start, stopped] {
      if (outcome.passed) {
        Summary(app, where, nullptr, "", start);
      } else {
        Summary(app, where, outcome.step.c_str(), outcome.reason, start);
        if (stopped) {
          app.log.AppendLogEntry(LogKind::LogWarning, kStoppedProgramText);
        }
      }
    };
  });
}

}  // namespace bq
