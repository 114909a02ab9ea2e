#include "ui/operation_sequencing.h"

#include <cstdio>
#include <vector>

#include "link/protocol.h"
#include "link/transfer_limits.h"
#include "session/fuse_write_risks.h"
#include "session/image_device.h"

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

// An error report releases a waiting request before the worker has finished (it still
// exchanges CMD_RECOVER). Waiting for the rest keeps the next step of a flow from being
// refused as busy; the worker's events never wait for this thread, so this cannot block it.
void SettleWorker(AppState& app) {
  app.programmer.WaitIdle();
}

// Asked before anything is sent. High voltage can always undo these fuses: no question there.
bool ConfirmIspFuseWrite(AppState& app, QuestionView& question) {
  if (app.selection.SelectedProgMode() != kProgModeIsp || app.programmer.IsBusy()) return true;
  const FuseEditor& editor = app.fuseEditor;
  const std::vector<FuseWriteRisk> risks =
      IspFuseWriteRisks(editor.fieldRows(), editor.ChipBytesOrDefaults(), editor.bytes());
  if (risks.empty()) return true;
  for (const FuseWriteRisk& risk : risks) Log(app, LogKind::LogWarning, FuseRiskText(risk));
  return question.AskYesNoDefaultNo(IspFuseWriteQuestion(risks), kWarningCaption);
}

bool OpenConfiguredPort(AppState& app) {
  if (app.port.IsOpen()) return true;
  return app.port.OpenPort(app.PortName());
}

enum class ImageUse { None, Written, Verified };

// A memory command the wire cannot carry, or an image that does not fit the chip, is refused
// with an error before anything is sent. A busy worker is left to PrepareOperation to report
// (the image may be changing under a read then).
bool MemoryCommandRefused(AppState& app, ImageUse use) {
  if (!app.programmer.IsStarted() || app.programmer.IsBusy()) return false;
  const SelectedChip& chip = app.selection.chip();
  const bool eeprom = app.tab == BufferTab::Eeprom;
  const std::uint32_t pageSize = eeprom ? chip.eepromPageSize : chip.flashPageSizeW;
  const std::uint32_t pageCount = eeprom ? chip.eepromPageCount : chip.flashPageCount;
  const MemoryBuffer& image = eeprom ? app.eeprom : app.flash;
  if (pageSize == 0 || pageCount == 0) return false;  // no such memory: PrepareOperation stops
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

std::string PortOpenErrorText(const std::string& name) {
  return "Error Open Serial Port (" + name + ") !!!";
}

bool SelectIspClock(AppState& app) {
  const std::uint32_t setting = app.settings.ISPSpeed;
  std::uint8_t clock = 0;
  if (setting == 0) {
    Log(app, LogKind::LogInfo, kIspAutodetectText);
    app.programmer.DetectIspClockRequest(clock);
  } else {
    app.programmer.SetIspClockRequest(static_cast<std::uint8_t>(setting), clock);
  }
  SettleWorker(app);
  if (clock != 0) {
    Log(app, LogKind::LogInfo, IspFrequencyText(clock));
    return true;
  }
  Log(app, LogKind::LogError, kIspClockErrorText);
  return false;
}

bool CheckSignature(AppState& app, QuestionView& question) {
  std::uint32_t signature = 0;
  if (!app.programmer.IsBusy()) {
    app.programmer.ReadSignatureRequest(signature);
    SettleWorker(app);
  }
  Log(app, LogKind::LogInfo,
      ReadSignatureText(signature, app.parts.PartNameForSignature(signature)));
  if (signature == app.selection.chip().signature) return true;
  Log(app, LogKind::LogWarning, kSignatureMismatchText);
  // Yes here erases and writes a chip that is not the one selected: No is the default.
  return question.AskYesNoDefaultNo(std::string(kSignatureMismatchText) + kContinueQuestion,
                                    kWarningCaption);
}

PrepareOutcome PrepareOperationOutcome(AppState& app, QuestionView& question) {
  if (!app.programmer.IsStarted() || app.programmer.IsBusy()) {
    Log(app, LogKind::LogError, kBusyText);
    return PrepareOutcome::Busy;
  }
  if (!OpenConfiguredPort(app)) return PrepareOutcome::PortNotOpened;
  const std::uint8_t mode = app.selection.SelectedProgMode();
  app.programmer.SetProgrammingMode(mode);
  if (mode == kProgModeIsp && !SelectIspClock(app)) return PrepareOutcome::IspClockFailed;
  if (!CheckSignature(app, question)) return PrepareOutcome::SignatureDeclined;
  const SelectedChip& chip = app.selection.chip();
  if (app.tab == BufferTab::Eeprom) {
    if (chip.eepromPageSize == 0 || chip.eepromPageCount == 0) return PrepareOutcome::NoSuchMemory;
    app.programmer.SetTransferParams(MEMORY_EEPROM, chip.eepromPageSize, chip.eepromPageCount);
  } else {
    if (chip.flashPageSizeW == 0 || chip.flashPageCount == 0) return PrepareOutcome::NoSuchMemory;
    app.programmer.SetTransferParams(MEMORY_FLASH, chip.flashPageSizeW, chip.flashPageCount);
  }
  return PrepareOutcome::Ready;
}

bool PrepareOperation(AppState& app, QuestionView& question) {
  return PrepareOperationOutcome(app, question) == PrepareOutcome::Ready;
}

IdentifyOutcome IdentifyCommand(AppState& app) {
  if (!OpenConfiguredPort(app)) return IdentifyOutcome::NotRun;
  if (!app.programmer.IsStarted()) return IdentifyOutcome::NotRun;
  std::uint32_t signature = 0;
  bool socket = false;
  const bool found = app.programmer.IdentifyRequest(signature, socket);
  SettleWorker(app);
  if (!found) {
    Log(app, LogKind::LogError, kNoChipText);
    return IdentifyOutcome::NoChip;
  }
  if (app.parts.SelectPartBySignature(signature)) {
    app.selection.SelectDetectedChip(socket);
    Log(app, LogKind::LogSuccess, "Chip detect successfully.");
    Log(app, LogKind::LogInfo,
        "Name: " + app.parts.selectedName() + ", Signature: " + SignatureText(signature) +
            ", Connected to: " + (socket ? "Socket" : "ISP"));
    return IdentifyOutcome::Detected;
  }
  Log(app, LogKind::LogWarning, "Detect unknown chip.");
  Log(app, LogKind::LogInfo, "Signature: " + SignatureText(signature));
  return IdentifyOutcome::UnknownChip;
}

bool ReadCalibrationCommand(AppState& app, QuestionView& question) {
  if (!PrepareOperation(app, question)) return false;
  if (app.calibration.entries().empty()) return false;
  for (const auto& [sequence, entry] : app.calibration.entries()) {
    if (app.programmer.IsBusy()) continue;
    std::uint32_t value = 0;
    if (app.programmer.ReadCalibrationRequest(entry.address, value)) {
      app.calibration.SetValueText(sequence, Hex2(value));
    }
    SettleWorker(app);
  }
  Log(app, LogKind::LogSuccess, "Read Calibration Bytes");
  app.calibration.ShowCalibrationValues();
  return true;
}

bool WriteMemoryCommand(AppState& app, QuestionView& question) {
  return !MemoryCommandRefused(app, ImageUse::Written) && PrepareOperation(app, question) &&
         app.programmer.StartWriteMemory();
}
bool ReadMemoryCommand(AppState& app, QuestionView& question) {
  return !MemoryCommandRefused(app, ImageUse::None) && PrepareOperation(app, question) &&
         app.programmer.StartReadMemory();
}
bool VerifyMemoryCommand(AppState& app, QuestionView& question) {
  return !MemoryCommandRefused(app, ImageUse::Verified) && PrepareOperation(app, question) &&
         app.programmer.StartVerifyMemory();
}
bool BlankCheckCommand(AppState& app, QuestionView& question) {
  return !MemoryCommandRefused(app, ImageUse::None) && PrepareOperation(app, question) &&
         app.programmer.StartBlankCheck();
}
bool EraseCommand(AppState& app, QuestionView& question) {
  if (!PrepareOperation(app, question)) return false;
  const bool erased = app.programmer.EraseRequest();
  SettleWorker(app);
  if (erased) app.flashErased = true;
  return erased;
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
bool WriteFusesCommand(AppState& app, QuestionView& question) {
  return ConfirmIspFuseWrite(app, question) && PrepareOperation(app, question) &&
         app.programmer.StartWriteFuses();
}
bool VerifyFusesCommand(AppState& app, QuestionView& question) {
  return PrepareOperation(app, question) && app.programmer.StartVerifyFuses();
}
bool ReadFusesCommand(AppState& app, QuestionView& question) {
  return PrepareOperation(app, question) && app.programmer.StartReadFuses();
}
bool WriteLockBitsCommand(AppState& app, QuestionView& question) {
  return PrepareOperation(app, question) && app.programmer.StartWriteLockBits();
}
bool VerifyLockBitsCommand(AppState& app, QuestionView& question) {
  return PrepareOperation(app, question) && app.programmer.StartVerifyLockBits();
}
bool ReadLockBitsCommand(AppState& app, QuestionView& question) {
  return PrepareOperation(app, question) && app.programmer.StartReadLockBits();
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
  app.port.ClosePort();
  return app.port.OpenPort(app.PortName());
}

}  // namespace bq
