#include "ui/operation_sequencing.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "link/protocol.h"
#include "link/transfer_limits.h"
#include "session/fuse_write_risks.h"
#include "session/image_device.h"
#include "session/named_fuses.h"

namespace bq {

namespace {

std::string Hex2(std::uint32_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
  return buf;
}

void Log(AppState& app, LogKind kind, const std::string& text) {
  app.log.AppendLogEntry(kind, text);
}

bool RefusedAsBusy(AppState& app) {
  if (app.jobs.IsStarted() && !app.jobs.IsBusy()) return false;
  Log(app, LogKind::LogError, kBusyText);
  return true;
}

// Asked before anything is sent. High voltage can always undo these fuses: no question there.
bool ConfirmIspFuseWrite(AppState& app, QuestionView& question) {
  if (app.selection.SelectedProgMode() != kProgModeIsp || app.jobs.IsBusy()) return true;
  const FuseEditor& editor = app.fuseEditor;
  const std::vector<FuseWriteRisk> risks =
      IspFuseWriteRisks(editor.fieldRows(), editor.ChipBytesOrDefaults(), editor.bytes());
  if (risks.empty()) return true;
  for (const FuseWriteRisk& risk : risks) Log(app, LogKind::LogWarning, FuseRiskText(risk));
  return question.AskYesNoDefaultNo(IspFuseWriteQuestion(risks), kWarningCaption);
}

// A UPDI part's pin can only be given back to UPDI by high-voltage activation, whatever the
// programming mode: asked before anything is sent.
bool ConfirmUpdiFuseWrite(AppState& app, QuestionView& question) {
  const FuseEditor& editor = app.fuseEditor;
  const UpdiLayout* layout = editor.NamedLayout();
  if (layout == nullptr || app.jobs.IsBusy()) return true;
  const std::vector<FuseWriteRisk> risks = UpdiFuseWriteRisks(*layout, editor.NamedValues());
  if (risks.empty()) return true;
  for (const FuseWriteRisk& risk : risks) Log(app, LogKind::LogWarning, FuseRiskText(risk));
  return question.AskYesNoDefaultNo(UpdiFuseWriteQuestion(risks), kWarningCaption);
}

// A UPDI part locked by its lock byte answers nothing but the chip erase with its key, which
// clears flash and EEPROM too: asked before anything is sent.
bool ConfirmUpdiLockWrite(AppState& app, QuestionView& question) {
  const PartRecord* part = app.parts.Find(app.selection.chip().name);
  const ByteSlot& lock = app.lockEditor.bytes().lock;
  if (part == nullptr || !part->IsUpdi() || !lock.present || app.jobs.IsBusy() ||
      lock.value == part->updi.lockOpenValue) {
    return true;
  }
  const std::string text = "LOCKBIT " + Hex2(lock.value) + " locks the " +
                           app.selection.chip().name +
                           ": it then answers nothing until a chip erase with the erase key "
                           "(Chip > Erase), which clears flash and EEPROM "
                           "too. Only " +
                           Hex2(part->updi.lockOpenValue) + " leaves it open.";
  Log(app, LogKind::LogWarning, text);
  if (question.AskYesNoDefaultNo(text + "\r\n\r\nWrite it anyway ?", kWarningCaption)) {
    return true;
  }
  Log(app, LogKind::LogError, kNothingWrittenText);
  return false;
}

NamedFuseLog JobLog(JobRunner::Context& job) {
  return [&job](LogKind kind, const std::string& text) { job.Log(kind, text); };
}

enum class ImageUse { None, Written, Verified };

// A memory command the wire cannot carry, or an image that does not fit the chip, is refused
// with an error before anything is sent. A busy engine is left to the posting to report
// (the image may be changing under a read then).
bool MemoryCommandRefused(AppState& app, ImageUse use) {
  if (!app.jobs.IsStarted() || app.jobs.IsBusy()) return false;
  const SelectedChip& chip = app.selection.chip();
  const bool eeprom = app.tab == BufferTab::Eeprom;
  const std::uint32_t pageSize = eeprom ? chip.eepromPageSize : chip.flashPageSizeW;
  const std::uint32_t pageCount = eeprom ? chip.eepromPageCount : chip.flashPageCount;
  const MemoryBuffer& image = eeprom ? app.eeprom : app.flash;
  if (pageSize == 0 || pageCount == 0) return false;  // no such memory: the preparation stops
  const std::string limit = TransferLimitProblem(chip.name, eeprom ? MEMORY_EEPROM : MEMORY_FLASH,
                                                 pageSize, pageCount, image.capacity());
  if (!limit.empty()) {
    Log(app, LogKind::LogError, limit);
    return true;
  }
  if (use == ImageUse::None) return false;
  const std::uint32_t chipBytes = eeprom ? chip.ChipEepromBytes : chip.ChipFlashBytes;
  const auto beyond = FirstProgrammedByteFrom(image, chipBytes);
  if (!beyond) return false;
  Log(app, LogKind::LogError,
      ImageBeyondChipText(eeprom ? "EEPROM" : "FLASH", *beyond, chipBytes, chip.name,
                          use == ImageUse::Written ? "written" : "verified",
                          "clear the buffer or choose the right chip"));
  return true;
}

}  // namespace

bool ImageWriteRefused(AppState& app) {
  return MemoryCommandRefused(app, ImageUse::Written);
}

std::vector<std::uint8_t> ImageOf(const AppState& app, const MemoryGeometry& memory) {
  const MemoryBuffer& buffer = memory.kind == MEMORY_EEPROM ? app.eeprom : app.flash;
  const std::uint32_t bytes = std::min(memory.Bytes(), buffer.capacity());
  return std::vector<std::uint8_t>(buffer.data(), buffer.data() + bytes);
}

std::string StoppedReadText(BufferTab memory) {
  return std::string("Stopped: the ") + (memory == BufferTab::Eeprom ? "EEPROM" : "FLASH") +
         " buffer keeps its old contents.";
}

namespace {

// A command's whole job on the engine thread: its preparation and its operations.
using CommandJob =
    std::function<CommandResult(JobRunner::Context& job, std::function<void()>& effect)>;

bool TabMemoryPresent(const AppState& app) {
  const MemoryGeometry memory = TabGeometry(app, app.tab);
  return memory.pageSize != 0 && memory.pageCount != 0;
}

bool PostCommandJob(AppState& app, CommandJob run, CommandDone done, std::string stopped) {
  if (RefusedAsBusy(app)) return false;
  return app.jobs.Post([&app, run = std::move(run), done = std::move(done),
                        stopped = std::move(stopped)](JobRunner::Context& job) {
    std::function<void()> effect;
    const CommandResult result = run(job, effect);
    // A stop that came after the last exchange changed nothing: the command is done.
    const bool wasStopped = job.session().IsCancelled() && !result.ok();
    job.then = [&app, result, effect = std::move(effect), done, wasStopped, stopped] {
      if (effect) effect();
      if (wasStopped) Log(app, LogKind::LogWarning, stopped);
      if (done) done(result);
    };
  });
}

}  // namespace

bool PostChipJob(AppState& app, ChipOperation operation, CommandDone done, std::string stopped) {
  return PostCommandJob(
      app,
      [target = app.Target(), memoryPresent = TabMemoryPresent(app),
       operation = std::move(operation)](JobRunner::Context& job, std::function<void()>& effect) {
        CommandResult result;
        result.prepare = PrepareChip(job, target, memoryPresent);
        if (result.prepare == PrepareOutcome::Ready) result.result = operation(job, effect);
        return result;
      },
      std::move(done), std::move(stopped));
}

std::string PortOpenErrorText(const std::string& name) {
  return "Error Open Serial Port (" + name + ") !!!";
}

MemoryGeometry TabGeometry(const AppState& app, BufferTab tab) {
  const SelectedChip& chip = app.selection.chip();
  MemoryGeometry g;
  if (tab == BufferTab::Eeprom) {
    g.kind = MEMORY_EEPROM;
    g.pageSize = chip.eepromPageSize;
    g.pageCount = chip.eepromPageCount;
  } else {
    g.kind = MEMORY_FLASH;
    g.pageSize = chip.flashPageSizeW;
    g.pageCount = chip.flashPageCount;
  }
  return g;
}

bool PrepareOperation(AppState& app, QuestionView&, CommandDone done) {
  return PostChipJob(
      app, [](JobRunner::Context&, std::function<void()>&) { return SessionResult{}; },
      std::move(done));
}

bool IdentifyCommand(AppState& app, std::function<void(IdentifyOutcome)> done) {
  if (RefusedAsBusy(app)) return false;
  return app.jobs.Post(
      [&app, target = app.Target(), done = std::move(done)](JobRunner::Context& job) {
        if (!OpenTargetPort(job.session(), target)) {
          job.then = [done] {
            if (done) done(IdentifyOutcome::NotRun);
          };
          return;
        }
        IdentifiedChip chip;
        const SessionResult r = job.session().Identify(chip);
        // The session logged what it found; the selection changes on the user-interface thread.
        job.then = [&app, ok = r.ok(), chip, done] {
          IdentifyOutcome outcome = IdentifyOutcome::NoChip;
          if (ok) {
            outcome = IdentifyOutcome::UnknownChip;
            if (app.parts.SelectPartBySignature(chip.signature)) {
              app.selection.SelectDetectedChip(chip.socket);
              outcome = IdentifyOutcome::Detected;
            }
          }
          if (done) done(outcome);
        };
      });
}

bool ReadCalibrationCommand(AppState& app, QuestionView&, CommandDone done) {
  std::vector<std::pair<std::uint32_t, std::uint8_t>> entries;  // sequence, address
  for (const auto& [sequence, entry] : app.calibration.entries()) {
    entries.emplace_back(sequence, entry.address);
  }
  return PostChipJob(
      app,
      [&app, entries](JobRunner::Context& job, std::function<void()>& effect) {
        if (entries.empty()) return SessionResult{};
        std::vector<std::pair<std::uint32_t, std::uint8_t>> values;
        SessionResult last;
        for (const auto& [sequence, address] : entries) {
          std::uint8_t value = 0;
          const SessionResult r = job.session().ReadCalibration(address, value);
          if (r.ok()) {
            values.emplace_back(sequence, value);
          } else {
            last = r;  // this byte keeps its old text
          }
        }
        effect = [&app, values] {
          for (const auto& [sequence, value] : values) {
            app.calibration.SetValueText(sequence, Hex2(value));
          }
          Log(app, LogKind::LogSuccess, "Read Calibration Bytes");
          app.calibration.ShowCalibrationValues();
        };
        return last;
      },
      std::move(done));
}

bool WriteMemoryCommand(AppState& app, QuestionView&, CommandDone done) {
  if (MemoryCommandRefused(app, ImageUse::Written)) return false;
  const MemoryGeometry memory = TabGeometry(app, app.tab);
  return PostChipJob(
      app,
      [memory, image = ImageOf(app, memory)](JobRunner::Context& job, std::function<void()>&) {
        return job.session().WriteMemory(memory, 0, image);
      },
      std::move(done), kStoppedWriteText);
}

bool ReadMemoryCommand(AppState& app, QuestionView&, CommandDone done) {
  if (MemoryCommandRefused(app, ImageUse::None)) return false;
  const MemoryGeometry memory = TabGeometry(app, app.tab);
  return PostChipJob(
      app,
      [memory](JobRunner::Context& job, std::function<void()>&) {
        std::vector<std::uint8_t> image;
        const SessionResult r = job.session().ReadMemory(memory, 0, image);
        // The image changes only when the whole memory arrived.
        if (r.ok()) job.Deliver(MemoryRead{memory.kind, std::move(image)});
        return r;
      },
      std::move(done), StoppedReadText(app.tab));
}

bool VerifyMemoryCommand(AppState& app, QuestionView&, CommandDone done) {
  if (MemoryCommandRefused(app, ImageUse::Verified)) return false;
  const MemoryGeometry memory = TabGeometry(app, app.tab);
  return PostChipJob(
      app,
      [memory, image = ImageOf(app, memory)](JobRunner::Context& job, std::function<void()>&) {
        std::optional<std::uint32_t> difference;
        return job.session().VerifyMemory(memory, 0, image, difference);
      },
      std::move(done), kStoppedVerifyText);
}

bool BlankCheckCommand(AppState& app, QuestionView&, CommandDone done) {
  if (MemoryCommandRefused(app, ImageUse::None)) return false;
  const MemoryGeometry memory = TabGeometry(app, app.tab);
  return PostChipJob(
      app,
      [memory](JobRunner::Context& job, std::function<void()>&) {
        return job.session().BlankCheck(memory);
      },
      std::move(done), kStoppedBlankCheckText);
}

bool EraseCommand(AppState& app, QuestionView&, CommandDone done) {
  return PostCommandJob(
      app,
      [&app, target = app.Target(), memoryPresent = TabMemoryPresent(app)](
          JobRunner::Context& job, std::function<void()>& effect) {
        CommandResult result;
        if (LockedChipFound(job.session(), target)) {
          // Its signature cannot be read: the erase with the chip-erase key is asked for instead.
          if (!job.Ask(kLockedEraseQuestion, kWarningCaption, true)) {
            job.Log(LogKind::LogError, kNothingErasedText);
            result.prepare = PrepareOutcome::EraseDeclined;
            return result;
          }
          result.result = job.session().EraseLocked();
        } else {
          result.prepare = PrepareChip(job, target, memoryPresent);
          if (result.prepare != PrepareOutcome::Ready) return result;
          result.result = job.session().Erase();
        }
        if (result.result.ok()) effect = [&app] { app.flashErased = true; };
        return result;
      },
      std::move(done), kStoppedText);
}

bool ConfirmImageWrite(AppState& app, QuestionView& question, BufferTab memory) {
  const bool eeprom = memory == BufferTab::Eeprom;
  const MemoryBuffer& image = eeprom ? app.eeprom : app.flash;
  const std::string name = StoredFileName(image);
  const std::string buffer = eeprom ? "EEPROM" : "FLASH";
  const std::string chip = app.selection.chip().name;
  if (!ImageDeviceFits(image.device(), chip)) {
    const std::string text = "The " + buffer + " buffer holds " + name + ", built for " +
                             image.device() + ", not for the selected " + chip + ".";
    Log(app, LogKind::LogWarning, text);
    if (!question.AskYesNoDefaultNo(text + kWriteAnywayQuestion, kWarningCaption)) {
      Log(app, LogKind::LogError, kNothingWrittenText);
      return false;
    }
  }
  if (image.incomplete()) {
    const std::string text = "The " + buffer + " buffer holds " + name +
                             ", an Intel HEX file without its end-of-file record: the file "
                             "may be cut short.";
    Log(app, LogKind::LogWarning, text);
    if (!question.AskYesNoDefaultNo(text + kWriteAnywayQuestion, kWarningCaption)) {
      Log(app, LogKind::LogError, kNothingWrittenText);
      return false;
    }
  }
  return true;
}
namespace {

// The fields whose bits a read-back compares (all bits without a part).
const BitFieldMap* FieldsOf(const AppState& app, bool lock) {
  const PartRecord* part = app.parts.Find(app.selection.chip().name);
  if (part == nullptr) return nullptr;
  return lock ? &part->lockBits : &part->fuseBits;
}

FuseByteSlots FuseSlotsOf(const AppState& app) {
  FuseByteSlots bytes = app.fuseEditor.bytes();
  bytes.lock.present = false;
  return bytes;
}

}  // namespace

bool WriteFusesCommand(AppState& app, QuestionView& question, CommandDone done) {
  if (const UpdiLayout* layout = app.fuseEditor.NamedLayout()) {
    if (!ConfirmUpdiFuseWrite(app, question)) return false;
    return PostChipJob(
        app,
        [layout = *layout, values = app.fuseEditor.NamedValues()](JobRunner::Context& job,
                                                                  std::function<void()>&) {
          return WriteNamedFuseBytes(job.session(), layout, values, JobLog(job));
        },
        std::move(done));
  }
  if (!ConfirmIspFuseWrite(app, question)) return false;
  return PostChipJob(
      app,
      [bytes = FuseSlotsOf(app), fields = FieldsOf(app, false)](JobRunner::Context& job,
                                                                std::function<void()>&) {
        return job.session().WriteFuses(bytes, fields);
      },
      std::move(done));
}

bool VerifyFusesCommand(AppState& app, QuestionView&, CommandDone done) {
  if (const UpdiLayout* layout = app.fuseEditor.NamedLayout()) {
    return PostChipJob(
        app,
        [layout = *layout, values = app.fuseEditor.NamedValues()](JobRunner::Context& job,
                                                                  std::function<void()>&) {
          return VerifyNamedFuseBytes(job.session(), layout, values, JobLog(job));
        },
        std::move(done));
  }
  return PostChipJob(
      app,
      [bytes = FuseSlotsOf(app)](JobRunner::Context& job, std::function<void()>&) {
        int differing = 0;
        return job.session().VerifyFuses(bytes, differing);
      },
      std::move(done));
}

bool ReadFusesCommand(AppState& app, QuestionView&, CommandDone done) {
  if (const UpdiLayout* layout = app.fuseEditor.NamedLayout()) {
    return PostChipJob(
        app,
        [layout = *layout](JobRunner::Context& job, std::function<void()>&) {
          FusesRead read;
          const SessionResult r =
              ReadNamedFuseBytes(job.session(), layout, read.named, JobLog(job));
          if (r.ok()) job.Deliver(std::move(read));
          return r;
        },
        std::move(done));
  }
  return PostChipJob(
      app,
      [bytes = FuseSlotsOf(app)](JobRunner::Context& job, std::function<void()>&) mutable {
        const SessionResult r = job.session().ReadFuses(bytes);
        if (r.ok()) job.Deliver(FusesRead{FuseEditorKind::Fuses, true, bytes});
        return r;
      },
      std::move(done));
}

bool WriteLockBitsCommand(AppState& app, QuestionView& question, CommandDone done) {
  if (!ConfirmUpdiLockWrite(app, question)) return false;
  return PostChipJob(
      app,
      [lock = app.lockEditor.bytes().lock, fields = FieldsOf(app, true)](JobRunner::Context& job,
                                                                         std::function<void()>&) {
        return job.session().WriteLock(lock, fields);
      },
      std::move(done));
}

bool VerifyLockBitsCommand(AppState& app, QuestionView&, CommandDone done) {
  return PostChipJob(
      app,
      [lock = app.lockEditor.bytes().lock](JobRunner::Context& job, std::function<void()>&) {
        bool differs = false;
        return job.session().VerifyLock(lock, differs);
      },
      std::move(done));
}

bool ReadLockBitsCommand(AppState& app, QuestionView&, CommandDone done) {
  return PostChipJob(
      app,
      [lock = app.lockEditor.bytes().lock](JobRunner::Context& job,
                                           std::function<void()>&) mutable {
        const SessionResult r = job.session().ReadLock(lock);
        if (r.ok()) {
          FusesRead read{FuseEditorKind::LockBits, true, {}};
          read.bytes.lock = lock;
          job.Deliver(std::move(read));
        }
        return r;
      },
      std::move(done));
}

void SetDefaultFusesCommand(AppState& app) {
  app.fuseEditor.ResetEditor();
  Log(app, LogKind::LogInfo, "Set Default Fuses");
}

void SetDefaultLockBitsCommand(AppState& app) {
  app.lockEditor.ResetEditor();
  Log(app, LogKind::LogInfo, "Set Default Lock Bits");
}

bool ReopenSerialPort(AppState& app) {
  bool opened = false;
  app.jobs.WaitIdle();
  app.jobs.RunHere([&opened, target = app.Target()](JobRunner::Context& job) {
    job.session().Close();
    opened = OpenTargetPort(job.session(), target);
  });
  return opened;
}

}  // namespace bq
