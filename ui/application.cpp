#include "ui/application.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "core/utf8_path.h"
#include "image/buffer_commands.h"
#include "image/elf_image.h"
#include "image/image_file.h"
#include "link/fuse_bytes.h"
#include "parts/part_list_location.h"
#include "parts/part_names.h"
#include "ui/command_availability.h"
#include "ui/operation_sequencing.h"
#include "ui/rescue_flow.h"
#include "ui/settings_dialog.h"

namespace bq {

bool ParseStartOptions(const std::vector<std::string>& args, StartOptions& options,
                       std::string& error) {
  // "--name VALUE" or "--name=VALUE"; false when name is not the argument at i.
  auto valued = [&](std::size_t& i, const std::string& name, std::string& value) {
    const std::string& a = args[i];
    if (a.rfind(name + "=", 0) == 0) {
      value = a.substr(name.size() + 1);
    } else if (a == name) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return true;
      }
      value = args[++i];
    } else {
      return false;
    }
    if (value.empty() && error.empty()) error = name + " needs a value";
    return true;
  };
  for (std::size_t i = 0; i < args.size() && error.empty(); ++i) {
    const std::string& a = args[i];
    if (a == "--simulate") {
      options.simulate = true;
      if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
        options.simulatePart = args[++i];
      }
    } else if (a.rfind("--simulate=", 0) == 0) {
      options.simulate = true;
      options.simulatePart = a.substr(11);
    } else if (a == "-h" || a == "--help") {
      options.help = true;
    } else if (valued(i, "--partlist", options.partListPath)) {
      options.partListNamed = true;
    } else if (valued(i, "--screenshot-dir", options.screenshotDir)) {
    } else {
      error = "unknown argument " + a;
    }
  }
  return error.empty();
}

std::string DesktopHelpText() {
  return std::string(kDesktopUsage) +
         "\n\n"
         "The desktop program of Brindlequartz, the AVR programmer.\n\n"
         "  --simulate [PART]     use the simulated programmer for this run, with PART in it\n"
         "                        (selected in the chip selector; a UPDI part sits on a\n"
         "                        simulated SerialUPDI adapter); the saved port and\n"
         "                        programmer stay\n"
         "  --partlist FILE       read the part list from FILE; without it PartList.cfg is\n"
         "                        looked for in the current folder, beside the program and\n"
         "                        in ../share/brindlequartz/\n"
         "  --screenshot-dir DIR  save a picture of the window on each tab into DIR, then end\n"
         "  -h, --help            show this help and end\n";
}

void FindStartPartList(StartOptions& options, const std::filesystem::path& currentFolder,
                       const std::filesystem::path& executableFolder) {
  if (options.partListNamed) return;
  const PartListSearch search = FindPartList(currentFolder, executableFolder);
  if (!search.found.empty()) {
    options.partListPath = Utf8FromPath(search.found);
  } else {
    // The first place looked at, which does not have it: nothing else is loaded.
    options.partListPath = search.tried.empty() ? "" : Utf8FromPath(search.tried.front());
    options.partListNotFound = PartListNotFoundText(search);
  }
}

// The Application's answers to its models and to the worker, forwarded to the view.
class Application::Adapters : public MessageLogListener,
                              public ChipSelectionView,
                              public CalibrationViewListener,
                              public QuestionView {
 public:
  explicit Adapters(Application& a)
      : app_(a), fuses_(a, FuseEditorKind::Fuses), locks_(a, FuseEditorKind::LockBits) {}

  class EditorView : public FuseEditorView {
   public:
    EditorView(Application& a, FuseEditorKind which) : app_(a), which_(which) {}
    void OnFieldsChanged() override { app_.view_.RefreshFieldList(which_); }
    void OnBytesChanged() override { app_.view_.RefreshByteList(which_); }

   private:
    Application& app_;
    FuseEditorKind which_;
  };

  // Message log: shown at once on the user-interface thread; from the worker, a wake-up.
  void OnLogEntryAppended(std::uint32_t, const LogEntry&) override {
    if (app_.OnUiThread()) {
      app_.view_.RefreshLog();
    } else {
      app_.state_->queue.PostLogChanged();
    }
  }

  // Chip selection.
  void OnChipSelectorChanged() override { app_.view_.RefreshChipSelector(); }
  void OnModeSelectorChanged() override {
    app_.view_.RefreshModeSelector();
    if (app_.running_) app_.RefreshCommandStates();
  }
  void OnChipInfoChanged(const ChipInfoTexts& texts) override { app_.view_.ShowChipInfo(texts); }
  void OnChipMemorySizeChanged(std::uint8_t memoryKind) override {
    app_.view_.RedrawHexViewColours(static_cast<MemoryKind>(memoryKind));
  }
  void CloseCellEditors() override { app_.view_.CloseCellEditor(); }
  void ShowPartNotFound() override { app_.view_.ShowError(kPartNotFoundText); }

  // Calibration list.
  void OnCalibrationRefilled() override { app_.view_.RefreshCalibration(); }
  void OnCalibrationValuesShown() override { app_.view_.RefreshCalibration(); }

  // The Continue question of the signature check; the fuse write question over ISP.
  bool AskYesNo(const std::string& text, const std::string&) override {
    return app_.view_.AskWarningYesNo(text);
  }
  bool AskYesNoDefaultNo(const std::string& text, const std::string&) override {
    return app_.view_.AskWarningYesNoDefaultNo(text);
  }

  // An engine event, delivered by Drain on the user-interface thread: the models first,
  // then what the view shows of it.
  void Handle(WorkerEvent& event) {
    app_.state_->Apply(event, *this);
    if (std::holds_alternative<Finished>(event)) {
      // The engine thread is idle a moment after it delivered the end; nothing it does
      // then waits for this thread.
      app_.state_->jobs.WaitIdle();
      app_.RefreshStop();
    }
    if (const auto* p = std::get_if<ProgressEvent>(&event)) {
      Progress(*p);
    } else if (const auto* read = std::get_if<MemoryRead>(&event)) {
      HexView& view = read->kind == MEMORY_EEPROM ? *app_.eepromView_ : *app_.flashView_;
      view.RefillHexView();
      app_.view_.RefillHexView(read->kind);
    } else if (const auto* line = std::get_if<LogLine>(&event)) {
      app_.state_->log.AppendLogEntry(line->kind, line->text);
    }
  }

  void Progress(const ProgressEvent& p) {
    MainView& v = app_.view_;
    switch (p.step) {
      case ProgressStep::Smooth:
        return v.ProgressSmooth();
      case ProgressStep::Marquee:
        return v.ProgressMarquee();
      case ProgressStep::Range:
        return v.ProgressRange(static_cast<std::uint16_t>(p.value));
      case ProgressStep::Position:
        return v.ProgressPosition(p.value);
      case ProgressStep::MarqueeStart:
        return v.ProgressMarqueeStart();
      case ProgressStep::MarqueeStop:
        return v.ProgressMarqueeStop();
      case ProgressStep::Show:
        return v.ProgressShow();
      case ProgressStep::Hide:
        return v.ProgressHide();
    }
  }

  EditorView& editorView(FuseEditorKind which) {
    return which == FuseEditorKind::Fuses ? fuses_ : locks_;
  }

 private:
  Application& app_;
  EditorView fuses_;
  EditorView locks_;
};

Application::Application(MainView& view, SettingsStore& store, PortDriverFactory drivers)
    : view_(view),
      store_(store),
      driverFactory_(std::move(drivers)),
      uiThread_(std::this_thread::get_id()),
      state_(std::make_unique<AppState>()),
      flashView_(std::make_unique<HexView>(state_->flash)),
      eepromView_(std::make_unique<HexView>(state_->eeprom)),
      adapters_(std::make_unique<Adapters>(*this)) {
  AppState& app = *state_;
  app.log.SetListener(adapters_.get());
  app.selection.SetView(adapters_.get());
  app.calibration.SetListener(adapters_.get());
  app.fuseEditor.SetView(&adapters_->editorView(FuseEditorKind::Fuses));
  app.lockEditor.SetView(&adapters_->editorView(FuseEditorKind::LockBits));
}

Application::~Application() {
  Shutdown();
  // Worker and port are gone; the rest goes in the order of AppState's members (editors,
  // images, calibration list, log, part database), the hex views before the images.
  AppState& app = *state_;
  app.log.SetListener(nullptr);
  app.selection.SetView(nullptr);
  app.calibration.SetListener(nullptr);
  app.fuseEditor.SetView(nullptr);
  app.lockEditor.SetView(nullptr);
  flashView_.reset();
  eepromView_.reset();
  state_.reset();
}

int Application::Start(const StartOptions& options) {
  if (running_) return kExitOk;  // once per run
  uiThread_ = std::this_thread::get_id();
  AppState& app = *state_;
  app.settings = Settings{};
  app.portOverride.clear();
  app.programmerOverride.reset();

  if (LoadPartList(app.parts, options.partListPath) <= 0) {
    // Where the list was looked for, so the user knows what to put where.
    const std::string where =
        !options.partListNotFound.empty()
            ? options.partListNotFound
            : options.partListPath + ": the file cannot be read or holds no part";
    view_.ShowError(std::string(kPartListLoadError) + "\r\n\r\n" + where);
    return kExitStartFailed;
  }
  if (app.flash.data() == nullptr) {
    view_.ShowError(kFlashBufferError);
    return kExitStartFailed;
  }
  if (app.eeprom.data() == nullptr) {
    view_.ShowError(kEepromBufferError);
    return kExitStartFailed;
  }
  const SettingsLoadResult loaded = LoadSettings(store_, app.settings);
  if (loaded == SettingsLoadResult::ComPortUnreadable) view_.ShowNotice(kComPortReadError);
  if (driverFactory_) {
    for (auto& driver : driverFactory_(app.parts)) app.port.AddDriver(std::move(driver));
  }
  // Someone who starts the program for the first time (nothing saved yet) works with the
  // simulated programmer until a port is saved in the settings dialog.
  if (options.simulate) {
    app.portOverride = options.simulatePart.empty() ? "sim" : "sim:" + options.simulatePart;
  } else if (loaded == SettingsLoadResult::Created) {
    app.portOverride = "sim";
  }

  // The main window's children, in the order they are built.
  view_.ProgressHide();
  app.selection.FillChipSelector();
  if (options.simulate && !options.simulatePart.empty()) {
    // The simulated chip is the one selected, so the first command does not ask about a
    // signature that belongs to another part.
    std::string name;
    if (const PartRecord* part = FindPartByAnyName(app.parts, options.simulatePart, &name)) {
      app.selection.PickChipByName(name);
      // The simulator serves the part through a programmer that reaches it: a SerialUPDI
      // adapter for a UPDI part, our own programmer for a classic part when SerialUPDI is saved.
      const bool updi = InfoFor(app.ProgrammerChoice()).can.updi;
      if (part->IsUpdi() && !updi) app.programmerOverride = ProgrammerKind::SerialUpdi;
      if (!part->IsUpdi() && updi) app.programmerOverride = ProgrammerKind::Brindlequartz;
    }
  }
  app.selection.ApplyChipSelection();
  tab_ = MainTab::Flash;
  SwitchTab(MainTab::Flash);
  view_.RefreshLog();
  flashView_->RefillHexView();
  view_.RefillHexView(MEMORY_FLASH);
  eepromView_->RefillHexView();
  view_.RefillHexView(MEMORY_EEPROM);
  app.fuseEditor.ResetEditor();
  app.lockEditor.ResetEditor();
  app.calibration.RefillCalibrationView();

  if (!app.StartProgrammer()) {
    view_.ShowError(kThreadStartError);
    return kExitStartFailed;
  }
  running_ = true;
  RefreshCommandStates();
  if (!app.portOverride.empty()) {
    // A simulated chip must never be mistaken for a real one.
    const bool adapter = InfoFor(app.ProgrammerChoice()).can.updi;
    app.log.AppendLogEntry(LogKind::LogWarning,
                           std::string("Simulated ") +
                               (adapter ? "SerialUPDI adapter" : "programmer") + " (" +
                               app.portOverride + ") for this run");
  }
  if (!ReopenSerialPort(app)) view_.ShowError(PortOpenErrorText(app.PortName()));
  return kExitOk;
}

void Application::Shutdown() {
  if (!state_) return;
  running_ = false;
  state_->jobs.Stop();
}

void Application::SetWakeCallback(std::function<void()> wake) {
  state_->queue.SetWakeCallback(std::move(wake));
}

std::size_t Application::Drain() {
  // After the exit the window is gone: what the worker reported last is not shown.
  if (!state_ || !running_) return 0;
  return state_->queue.Drain([this](WorkerEvent& e) { adapters_->Handle(e); },
                             [this] { view_.RefreshLog(); });
}

void Application::WaitIdleAndDrain() {
  // A job that asks waits for the answer Drain gives it.
  for (;;) {
    const bool idle = state_->jobs.WaitIdle();
    Drain();
    if (!running_ || (idle && !state_->jobs.IsBusy() && state_->queue.Pending() == 0)) return;
  }
}

BufferTab Application::bufferTab() const {
  switch (tab_) {
    case MainTab::Flash:
      return BufferTab::Flash;
    case MainTab::Eeprom:
      return BufferTab::Eeprom;
    default:
      return BufferTab::Other;
  }
}

MemoryKind Application::bufferKind() const {
  return tab_ == MainTab::Eeprom ? MEMORY_EEPROM : MEMORY_FLASH;
}

void Application::RunBufferResult(const BufferCommandResult& result, MemoryKind kind) {
  if (result.refillView) {
    (kind == MEMORY_EEPROM ? *eepromView_ : *flashView_).RefillHexView();
    view_.RefillHexView(kind);
  }
  for (const LogEntry& entry : result.log) state_->log.AppendLogEntry(entry.kind, entry.text);
}

void Application::ClearCommand() {
  AppState& app = *state_;
  RunBufferResult(bq::ClearCommand(bufferTab(), app.flash, app.eeprom, app.jobs.IsBusy()),
                  bufferKind());
}

void Application::LoadCommand() {
  AppState& app = *state_;
  if (bufferTab() == BufferTab::Other) return;
  // Refused before the dialog: the worker may be reading into this very image.
  if (app.jobs.IsBusy()) {
    RunBufferResult(bq::LoadCommand(bufferTab(), app.flash, app.eeprom, "", true), bufferKind());
    return;
  }
  FileDialogRequest request;
  request.filters = {{kOpenFilterImages, kOpenPatternImages}, {kOpenFilterAll, kOpenPatternAll}};
  request.fileMustExist = true;
  request.maxPathChars = kFileNameChars;
  const std::optional<std::string> path = view_.AskOpenFileName(request);
  if (!path) return;
  LoadFile(*path);
}

namespace {

// The program an ELF file holds, when path names one (by content, as loading decides: a name
// that chooses a format is read in that format); nullopt for any other file and for an ELF
// file that does not parse (the load of the tab's buffer then says why).
constexpr std::uintmax_t kMaxElfFileBytes = 64u << 20;

std::optional<ElfImage> ElfImageAt(const std::string& path) {
  if (ImageFormatForPath(path) != ImageFormat::Auto) return std::nullopt;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(PathFromUtf8(path), ec)) return std::nullopt;
  std::string bytes;
  if (!ReadFileBytes(path, bytes, 4) || !LooksLikeElf(bytes)) return std::nullopt;
  bytes.clear();
  if (!ReadFileBytes(path, bytes, kMaxElfFileBytes) || bytes.size() > kMaxElfFileBytes) {
    return std::nullopt;
  }
  return ParseElfImage(bytes, nullptr);
}

std::string ByteList(const std::vector<std::pair<const char*, std::uint8_t>>& bytes) {
  std::string text;
  for (const auto& [label, value] : bytes) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", value);
    text += (text.empty() ? "" : ", ") + std::string(label) + " " + hex;
  }
  return text;
}

}  // namespace

void Application::LoadFile(const std::string& path) {
  AppState& app = *state_;
  const bool busy = app.jobs.IsBusy();
  const std::optional<ElfImage> elf = busy ? std::nullopt : ElfImageAt(path);
  if (!elf || (elf->flash.empty() && elf->eeprom.empty())) {
    RunBufferResult(bq::LoadCommand(bufferTab(), app.flash, app.eeprom, path, busy), bufferKind());
    return;
  }
  // An ELF file is the whole program: its flash and EEPROM images both go into their
  // buffers, whichever tab is in front, so that Program writes both.
  if (!elf->flash.empty()) {
    RunBufferResult(bq::LoadCommand(BufferTab::Flash, app.flash, app.eeprom, path, busy),
                    MEMORY_FLASH);
  }
  if (!elf->eeprom.empty()) {
    RunBufferResult(bq::LoadCommand(BufferTab::Eeprom, app.flash, app.eeprom, path, busy),
                    MEMORY_EEPROM);
  }
  // Its fuse bytes and lock byte are shown in the editors; only their Write sends them.
  std::vector<std::pair<const char*, std::uint8_t>> fuses;
  const std::pair<const char*, std::uint8_t> slots[] = {
      {"LOW", kTargetLow}, {"HIGH", kTargetHigh}, {"EXTENDED", kTargetExtended}};
  const std::optional<std::uint8_t> values[] = {elf->low, elf->high, elf->extended};
  for (int i = 0; i < 3; ++i) {
    if (values[i] && app.fuseEditor.SetByte(slots[i].second, *values[i])) {
      fuses.emplace_back(slots[i].first, *values[i]);
    }
  }
  const bool lock = elf->lock && app.lockEditor.SetByte(kTargetLockBit, *elf->lock);
  if (!fuses.empty()) {
    app.log.AppendLogEntry(LogKind::LogInfo,
                           path + ": fuse bytes " + ByteList(fuses) +
                               " put into the Fuses tab; they are written only by its Write button");
  }
  if (lock) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", *elf->lock);
    app.log.AppendLogEntry(LogKind::LogInfo,
                           path + ": lock byte " + hex +
                               " put into the Lock Bits tab; it is written only by its Write button");
  }
}

namespace {

// The save dialog's default extension, for front-ends whose dialog does not add it.
std::string WithDefaultExtension(const std::string& path, const std::string& extension) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (path.find('.', nameStart) != std::string::npos || nameStart >= path.size()) return path;
  return path + "." + extension;
}

}  // namespace

void Application::SaveCommand() {
  AppState& app = *state_;
  if (bufferTab() == BufferTab::Other) return;
  FileDialogRequest request;
  request.filters = {{kSaveFilterBinary, kSavePatternBinary},
                     {kSaveFilterHex, kSavePatternHex},
                     {kSaveFilterEeprom, kSavePatternEeprom}};
  request.defaultExtension = kSaveDefaultExtension;
  request.confirmOverwrite = true;
  request.maxPathChars = kFileNameChars;
  const std::optional<std::string> path = view_.AskSaveFileName(request);
  if (!path) return;
  const SelectedChip& chip = app.selection.chip();
  RunBufferResult(bq::SaveCommand(bufferTab(), app.flash, app.eeprom,
                                  WithDefaultExtension(*path, kSaveDefaultExtension),
                                  chip.ChipFlashBytes, chip.ChipEepromBytes),
                  bufferKind());
}

void Application::ReloadCommand() {
  AppState& app = *state_;
  RunBufferResult(bq::ReloadCommand(bufferTab(), app.flash, app.eeprom, app.jobs.IsBusy()),
                  bufferKind());
}

void Application::SettingsCommand() {
  SettingsDialog dialog(*state_, store_);
  view_.RunSettingsDialog(dialog);
  RefreshCommandStates();  // another programmer may do less
}

namespace {

// Counts the calls in progress for as long as it lives.
class Nested {
 public:
  explicit Nested(int& depth) : depth_(depth) { ++depth_; }
  ~Nested() { --depth_; }
  Nested(const Nested&) = delete;
  Nested& operator=(const Nested&) = delete;

 private:
  int& depth_;
};

}  // namespace

void Application::Command(int id) {
  if (!running_) return;
  // A modal box or dialog of the command runs a message loop: the watch's ticks wait.
  const Nested nested(inUserAction_);
  AppState& app = *state_;
  QuestionView& question = *adapters_;
  switch (id) {
    case kIdClearBuffer:
    case kMenuClear:
      ClearCommand();
      break;
    case kIdLoadBuffer:
    case kMenuLoad:
      LoadCommand();
      break;
    case kIdSaveBuffer:
    case kMenuSave:
      SaveCommand();
      break;
    case kMenuReload:
      ReloadCommand();
      break;
    case kIdWriteChip:
    case kMenuWrite:
      write_.Start(app, question);
      break;
    case kMenuProgram:
      program_.Start(app, question);
      break;
    case kMenuProgramWatch:
      ProgramWatchCommand();
      break;
    case kMenuRescue:
      RescueCommand(app, chipMover_, [this](const RescueReport& report) {
        view_.ShowInfo(RescueOutcomeText(report));
      });
      break;
    case kIdStop:
      StopCommand();
      break;
    case kIdReadChip:
    case kMenuRead:
      ReadMemoryCommand(app, question);
      break;
    case kIdBlankCheck:
    case kMenuBlankCheck:
      BlankCheckCommand(app, question);
      break;
    case kIdVerifyChip:
    case kMenuVerify:
      VerifyMemoryCommand(app, question);
      break;
    case kIdEraseChip:
    case kMenuErase:
      EraseCommand(app, question);
      break;
    case kIdIdentify:
    case kMenuIdentify:
      IdentifyCommand(app);
      break;
    case kIdSettings:
    case kMenuSettings:
      SettingsCommand();
      break;
    case kIdFuseSetDefault:
      if (!RefusedWhileBusy()) SetDefaultFusesCommand(app);
      break;
    case kIdFuseWrite:
      WriteFusesCommand(app, question);
      break;
    case kIdFuseVerify:
      VerifyFusesCommand(app, question);
      break;
    case kIdFuseRead:
      ReadFusesCommand(app, question);
      break;
    case kIdLockSetDefault:
      if (!RefusedWhileBusy()) SetDefaultLockBitsCommand(app);
      break;
    case kIdLockWrite:
      WriteLockBitsCommand(app, question);
      break;
    case kIdLockVerify:
      VerifyLockBitsCommand(app, question);
      break;
    case kIdLockRead:
      ReadLockBitsCommand(app, question);
      break;
    case kIdCalibrationRead:
      ReadCalibrationCommand(app, question);
      break;
    case kMenuExit:
      ConfirmExit();
      break;
    default:
      break;
  }
  RefreshStop();
}

void Application::RefreshStop() {
  if (state_) view_.EnableControl(kIdStop, state_->jobs.IsBusy(), "Stop the running chip command (Esc)");
}

namespace {

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void Application::StopCommand() {
  EndProgramWatch();
  state_->jobs.Cancel();  // the job logs what it left undone when it ends
}

bool Application::EscapePressed() {
  if (!running_ || !state_->jobs.IsBusy()) return false;
  StopCommand();
  return true;
}

void Application::EndProgramWatch() {
  if (!watch_.active()) return;
  const std::string name = FileNameOf(watch_.path());
  watch_.End();
  view_.CheckMenuItem(kMenuProgramWatch, false);
  state_->log.AppendLogEntry(LogKind::LogInfo,
                             "No longer programming the chip again when " + name + " changes.");
}

void Application::ProgramWatchCommand() {
  if (watch_.active()) {
    EndProgramWatch();
    return;
  }
  AppState& app = *state_;
  const std::string path = app.flash.filePath();
  if (path.empty()) {
    view_.CheckMenuItem(kMenuProgramWatch, false);
    app.log.AppendLogEntry(LogKind::LogError,
                           "Load the image file into the FLASH buffer first: Program runs again "
                           "each time that file changes.");
    return;
  }
  watch_.Begin(path);
  view_.CheckMenuItem(kMenuProgramWatch, true);
  app.log.AppendLogEntry(LogKind::LogInfo, "Programming the chip again each time " +
                                               FileNameOf(path) + " changes.");
}

void Application::Tick() {
  if (!running_ || !watch_.active() || inUserAction_ > 0) return;
  // Program's questions are modal: no tick starts another one meanwhile.
  const Nested nested(inUserAction_);
  AppState& app = *state_;
  // Another file was loaded into the FLASH buffer: the watched one is no longer there.
  if (app.flash.filePath() != watch_.path()) {
    EndProgramWatch();
    return;
  }
  const bool idle = app.jobs.IsStarted() && !app.jobs.IsBusy() && !app.jobs.QuestionPending();
  if (!watch_.Due(idle)) return;
  // The new file into the buffers it was loaded into, then Program as the menu runs it.
  const bool eepromToo = app.eeprom.filePath() == app.flash.filePath();
  BufferCommandResult loaded = bq::ReloadCommand(BufferTab::Flash, app.flash, app.eeprom, false);
  bool failed = false;
  for (const LogEntry& entry : loaded.log) failed = failed || entry.kind == LogKind::LogError;
  RunBufferResult(loaded, MEMORY_FLASH);
  if (eepromToo && !failed) {
    RunBufferResult(bq::ReloadCommand(BufferTab::Eeprom, app.flash, app.eeprom, false),
                    MEMORY_EEPROM);
  }
  if (failed) return;  // the next change is tried again
  program_.Start(app, *adapters_);
  RefreshStop();
}

void Application::ChipSelectorChanged(int index) {
  if (!running_ || index < 0) return;
  state_->selection.PickChip(static_cast<std::size_t>(index));
  state_->flashErased = false;  // another chip, perhaps another one in the socket
  RefreshCommandStates();
}

void Application::ModeSelectorChanged(int index) {
  if (!running_ || index < 0) return;
  state_->selection.PickMode(static_cast<std::size_t>(index));
  RefreshCommandStates();
}

std::vector<int> Application::TabControls(MainTab tab) {
  switch (tab) {
    case MainTab::Flash:
      return {kIdFlashHexView};
    case MainTab::Eeprom:
      return {kIdEepromHexView};
    case MainTab::Fuses:
      return {kIdFuseFieldList, kIdFuseByteList, kIdFuseSetDefault,
              kIdFuseWrite,     kIdFuseVerify,   kIdFuseRead};
    case MainTab::LockBits:
      return {kIdLockFieldList, kIdLockByteList, kIdLockSetDefault,
              kIdLockWrite,     kIdLockVerify,   kIdLockRead};
    case MainTab::Calibration:
      return {kIdCalibrationList, kIdCalibrationRead};
  }
  return {};
}

void Application::SwitchTab(MainTab tab) {
  if (static_cast<int>(tab) >= kTabCount) return;
  if (state_->cells.CloseCellEditors()) view_.CloseCellEditor();
  tab_ = tab;
  state_->tab = bufferTab();
  for (int t = 0; t < kTabCount; ++t) {
    if (static_cast<MainTab>(t) == tab) continue;
    for (int id : TabControls(static_cast<MainTab>(t))) view_.SetControlVisible(id, false);
  }
  for (int id : TabControls(tab)) view_.SetControlVisible(id, true);
  RefreshCommandStates();
}

std::string Application::UnavailableText(int id) const {
  const std::string& part = state_->selection.chip().name;
  return CommandUnavailableText(InfoFor(state_->ProgrammerChoice()),
                                state_->selection.SelectedProgMode(), id, part,
                                state_->parts.Find(part));
}

void Application::RefreshCommandStates() {
  const bool buffers = tab_ == MainTab::Flash || tab_ == MainTab::Eeprom;
  for (int id : kBufferToolbarButtons) view_.EnableToolbarButton(id, buffers);
  for (int id : kBufferMenuItems) view_.EnableMenuItem(id, buffers);
  // What the chosen programmer cannot do in the selected mode; the tooltip says why.
  for (int id : kToolbarButtons) {
    if (IsChipCommand(id)) view_.EnableToolbarButton(id, UnavailableText(id).empty());
  }
  for (int id : {kMenuWrite, kMenuRead, kMenuBlankCheck, kMenuErase, kMenuVerify, kMenuProgram}) {
    view_.EnableMenuItem(id, UnavailableText(id).empty());
  }
  for (int id : {kIdFuseWrite, kIdFuseVerify, kIdFuseRead, kIdLockWrite, kIdLockVerify, kIdLockRead,
                 kIdCalibrationRead}) {
    const std::string why = UnavailableText(id);
    view_.EnableControl(id, why.empty(), why);
  }
  RefreshStop();
}

std::string Application::ToolbarTooltip(int buttonId) const {
  if (std::string why = UnavailableText(buttonId); !why.empty()) return why;
  const bool eeprom = tab_ == MainTab::Eeprom;
  switch (buttonId) {
    case kIdClearBuffer:
      return "Clear buffer";
    case kIdLoadBuffer:
      return "Load file into buffer";
    case kIdSaveBuffer:
      return "Save buffer to file";
    case kIdWriteChip:
      return eeprom ? "Write buffer to EEPROM" : "Write buffer to flash ROM";
    case kIdReadChip:
      return eeprom ? "Read EEPROM into buffer" : "Read flash ROM into buffer";
    case kIdBlankCheck:
      return eeprom ? "Blank check of EEPROM" : "Blank check of flash ROM";
    case kIdVerifyChip:
      return eeprom ? "Verify EEPROM against buffer" : "Verify flash ROM against buffer";
    case kIdEraseChip:
      return "Erase chip (flsh ROM and EEPROM)";
    case kIdIdentify:
      return "Identify chip";
    case kIdSettings:
      return "Settings";
    default:
      return "";
  }
}

bool Application::ConfirmExit() {
  if (!running_) return false;
  const JobRunner& jobs = state_->jobs;
  if (!jobs.IsStarted() || jobs.IsBusy()) return false;
  if (!view_.AskExitYesNo(kExitQuestion)) return false;
  Shutdown();
  view_.CloseMainWindow();
  return true;
}

FuseEditor& Application::editor(FuseEditorKind which) {
  return which == FuseEditorKind::Fuses ? state_->fuseEditor : state_->lockEditor;
}

void Application::ShowCellEditor(FuseEditorKind which) {
  const CellEditors& cells = state_->cells;
  const std::uint32_t row = cells.row();
  if (cells.open() == CellKind::Choice) {
    std::vector<std::string> texts;
    const auto& fields = editor(which).fieldRows();
    const auto it = fields.find(row);
    if (it != fields.end()) {
      for (const auto& [number, choice] : it->second.choices) texts.push_back(choice.text);
    }
    view_.OpenChoiceCell(which, row, texts, cells.InitialChoice());
  } else if (cells.open() == CellKind::Byte) {
    view_.OpenByteCell(which, row, cells.InitialByteText());
  }
}

bool Application::RefusedWhileBusy() {
  if (!state_->jobs.IsBusy()) return false;
  state_->log.AppendLogEntry(LogKind::LogError, kBusyText);
  return true;
}

void Application::EditorCellClicked(FuseEditorKind which, EditorList list, std::uint32_t row,
                                    int column) {
  if (!running_) return;
  CellEditors& cells = state_->cells;
  // The worker reads the editor's bytes while it writes or verifies them: no change, and no
  // cell that would make one, until it is done. Closing an open cell is always fine.
  const bool valueCell =
      (list == EditorList::Fields && column == 2) || (list == EditorList::Bytes && column == 1);
  if (cells.open() == CellKind::None && valueCell && RefusedWhileBusy()) return;
  if (cells.Click(editor(which), list, row, column)) {
    view_.CloseCellEditor();
    return;
  }
  ShowCellEditor(which);
}

void Application::ChoiceCellChosen(std::size_t choiceIndex) {
  CellEditors& cells = state_->cells;
  if (cells.open() != CellKind::Choice) return;
  if (RefusedWhileBusy()) {
    cells.CloseCellEditors();
  } else {
    cells.ChoiceMade(choiceIndex);
  }
  view_.CloseCellEditor();
}

void Application::ByteCellEntered(const std::string& text) {
  CellEditors& cells = state_->cells;
  if (cells.open() != CellKind::Byte) return;
  if (RefusedWhileBusy()) {
    cells.ByteCellAbandoned();
  } else {
    cells.ByteTextEntered(text);
  }
  view_.CloseCellEditor();
}

void Application::ByteCellAbandoned() {
  if (state_->cells.open() != CellKind::Byte) return;
  state_->cells.ByteCellAbandoned();
  view_.CloseCellEditor();
}

const HexView& Application::hexView(MemoryKind kind) const {
  return kind == MEMORY_EEPROM ? *eepromView_ : *flashView_;
}

HexRowColour Application::HexRowColourOf(MemoryKind kind, std::uint32_t row) const {
  const SelectedChip& chip = state_->selection.chip();
  return HexRowColourFor(row, kind == MEMORY_EEPROM ? chip.ChipEepromBytes : chip.ChipFlashBytes);
}

bool Application::ListCoveredByCell(FuseEditorKind which, EditorList list) const {
  const FuseEditor& e = which == FuseEditorKind::Fuses ? state_->fuseEditor : state_->lockEditor;
  return state_->cells.Covers(e, list);
}

}  // namespace bq
