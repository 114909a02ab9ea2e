#include "ui/write_flow.h"

#include <cstdio>
#include <optional>

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

bool WriteFlow::Start(AppState& app, QuestionView& question, CommandDone done) {
  // A busy or stopped engine is reported by the write itself, without a question first.
  const bool idle = app.jobs.IsStarted() && !app.jobs.IsBusy();
  if (idle && !ConfirmImageWrite(app, question, app.tab)) return false;
  if (app.tab == BufferTab::Eeprom) return WriteMemoryCommand(app, question, std::move(done));
  // The same refusals as a plain write: an image the chip or the wire cannot take.
  if (ImageWriteRefused(app)) return false;
  const bool erasedBefore = app.flashErased;
  const MemoryGeometry memory = TabGeometry(app, BufferTab::Flash);
  const bool started = PostChipJob(
      app,
      [&app, memory, image = ImageOf(app, memory), erasedBefore](JobRunner::Context& job,
                                                                 std::function<void()>& effect) {
        const SessionResult written = job.session().WriteMemory(memory, 0, image);
        if (!written.ok()) return written;
        // The write's own geometry: the same pages are read back, nothing is asked again.
        std::optional<std::uint32_t> difference;
        const SessionResult verified = job.session().VerifyMemory(memory, 0, image, difference);
        if (difference) {
          effect = [&app, at = *difference, erasedBefore] {
            app.log.AppendLogEntry(LogKind::LogError, FlashWriteMismatchText(at, erasedBefore));
          };
        }
        return verified;
      },
      std::move(done), kStoppedWriteText);
  if (started) app.flashErased = false;
  return started;
}

}  // namespace bq
