#pragma once
// A front-end without windows: it keeps what a real one would show (message boxes, lists,
// enabled and visible controls, progress bar, open cell editor) and answers questions and
// file dialogs from a script. Tests drive the Application through it against the
// in-process simulated programmer, with settings in a private folder.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_port_driver.h"
#include "ui/application.h"
#include "ui/ini_settings_store.h"
#include "ui/main_view.h"
#include "ui/operation_sequencing.h"
#include "ui/settings_dialog.h"

namespace bq::test {

struct ShownBox {
  std::string kind;  // "error", "notice", "warning", "warning-default-no", "exit", "info",
                     // "dialog-info", "dialog-error"
  std::string text;
  bool operator==(const ShownBox&) const = default;
};

class ScriptedFrontEnd : public MainView, public SettingsDialogView {
 public:
  // Answers, taken front first; when a queue is empty the default answer is used.
  std::deque<bool> warningAnswers;
  bool defaultWarningAnswer = false;
  std::deque<bool> exitAnswers;
  bool defaultExitAnswer = true;
  std::deque<std::optional<std::string>> openAnswers;
  std::deque<std::optional<std::string>> saveAnswers;
  // What the settings dialog does once it is open (default: Cancel).
  std::function<void(SettingsDialog&)> settingsScript;

  // What was shown.
  std::vector<ShownBox> boxes;
  std::vector<FileDialogRequest> openRequests, saveRequests;
  std::map<int, bool> visible;
  std::map<int, bool> toolbarEnabled;
  std::map<int, bool> menuEnabled;
  std::map<int, bool> controlEnabled;
  std::map<int, std::string> controlTooltips;
  ChipInfoTexts chipInfo;
  int logRefreshes = 0;
  std::map<MemoryKind, int> hexRefills, hexRecolours;
  std::map<FuseEditorKind, int> fieldRefreshes, byteRefreshes;
  int calibrationRefreshes = 0;
  std::vector<std::string> progressOps;
  bool progressVisible = true;  // a control is visible until hidden
  std::uint32_t progressPosition = 0;
  std::uint16_t progressMaximum = 0;
  struct Cell {
    CellKind kind = CellKind::None;
    FuseEditorKind editor = FuseEditorKind::Fuses;
    std::uint32_t row = 0;
    std::vector<std::string> choices;
    std::size_t selected = 0;
    std::string text;
  } cell;
  int settingsDialogs = 0;
  SettingsDialogModel lastDialogModel;
  SettingsDialogResult lastDialogResult = SettingsDialogResult::Open;
  bool closed = false;

  void ShowError(const std::string& text) override { boxes.push_back({"error", text}); }
  void ShowNotice(const std::string& text) override { boxes.push_back({"notice", text}); }
  bool AskWarningYesNo(const std::string& text) override {
    boxes.push_back({"warning", text});
    return Take(warningAnswers, defaultWarningAnswer);
  }
  // Shares the warning answers; the kind tells that No was the default button.
  bool AskWarningYesNoDefaultNo(const std::string& text) override {
    boxes.push_back({"warning-default-no", text});
    return Take(warningAnswers, defaultWarningAnswer);
  }
  bool AskExitYesNo(const std::string& text) override {
    boxes.push_back({"exit", text});
    return Take(exitAnswers, defaultExitAnswer);
  }
  void ShowInfo(const std::string& text) override { boxes.push_back({"info", text}); }

  void RefreshChipSelector() override {}
  void RefreshModeSelector() override {}
  void ShowChipInfo(const ChipInfoTexts& texts) override { chipInfo = texts; }
  void RefreshLog() override { ++logRefreshes; }
  void RefillHexView(MemoryKind kind) override { ++hexRefills[kind]; }
  void RedrawHexViewColours(MemoryKind kind) override { ++hexRecolours[kind]; }
  void RefreshFieldList(FuseEditorKind e) override { ++fieldRefreshes[e]; }
  void RefreshByteList(FuseEditorKind e) override { ++byteRefreshes[e]; }
  void RefreshCalibration() override { ++calibrationRefreshes; }

  void OpenChoiceCell(FuseEditorKind e, std::uint32_t row, const std::vector<std::string>& choices,
                      std::size_t selected) override {
    cell = Cell{CellKind::Choice, e, row, choices, selected, ""};
  }
  void OpenByteCell(FuseEditorKind e, std::uint32_t row, const std::string& text) override {
    cell = Cell{CellKind::Byte, e, row, {}, 0, text};
  }
  void CloseCellEditor() override { cell = Cell{}; }

  void ProgressSmooth() override { progressOps.push_back("smooth"); }
  void ProgressMarquee() override { progressOps.push_back("marquee"); }
  void ProgressRange(std::uint16_t maximum) override {
    progressMaximum = maximum;
    progressOps.push_back("range " + std::to_string(maximum));
  }
  void ProgressPosition(std::uint32_t position) override { progressPosition = position; }
  void ProgressMarqueeStart() override { progressOps.push_back("marquee on"); }
  void ProgressMarqueeStop() override { progressOps.push_back("marquee off"); }
  void ProgressShow() override {
    progressVisible = true;
    progressOps.push_back("show");
  }
  void ProgressHide() override {
    progressVisible = false;
    progressOps.push_back("hide");
  }

  void SetControlVisible(int id, bool v) override { visible[id] = v; }
  void EnableToolbarButton(int id, bool e) override { toolbarEnabled[id] = e; }
  void EnableMenuItem(int id, bool e) override { menuEnabled[id] = e; }
  void EnableControl(int id, bool e, const std::string& tip) override {
    controlEnabled[id] = e;
    controlTooltips[id] = tip;
  }

  std::optional<std::string> AskOpenFileName(const FileDialogRequest& r) override {
    openRequests.push_back(r);
    return Take(openAnswers, std::optional<std::string>{});
  }
  std::optional<std::string> AskSaveFileName(const FileDialogRequest& r) override {
    saveRequests.push_back(r);
    return Take(saveAnswers, std::optional<std::string>{});
  }

  void RunSettingsDialog(SettingsDialog& dialog) override {
    ++settingsDialogs;
    dialog.SetView(this);
    dialog.Open();
    if (settingsScript) {
      settingsScript(dialog);
    } else {
      dialog.Cancel();
    }
    lastDialogModel = dialog.model();
    lastDialogResult = dialog.result();
  }
  void ShowConnectionOk() override { boxes.push_back({"dialog-info", kConnectionOkText}); }
  void ShowPortOpenError(const std::string& name) override {
    boxes.push_back({"dialog-error", PortOpenErrorText(name)});
  }

  void CloseMainWindow() override { closed = true; }

  // The controls of the tab pages that are visible now.
  std::vector<int> VisibleControls() const {
    std::vector<int> out;
    for (const auto& [id, v] : visible) {
      if (v) out.push_back(id);
    }
    return out;
  }

 private:
  template <typename T>
  static T Take(std::deque<T>& answers, T fallback) {
    if (answers.empty()) return fallback;
    T a = answers.front();
    answers.pop_front();
    return a;
  }
};

// A private settings folder, a small part list and an Application on the scripted front-end
// with the simulator as its only port driver (plus "tty..." names that never open).
class AppHarness {
 public:
  explicit AppHarness(const std::string& partList = SmallPartList()) {
    static int counter = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("bq-app-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
#ifdef _WIN32
    ::_putenv_s("XDG_CONFIG_HOME", dir_.string().c_str());
#else
    ::setenv("XDG_CONFIG_HOME", dir_.string().c_str(), 1);
#endif
    partListPath_ = (dir_ / "PartList.cfg").string();
    if (!partList.empty()) std::ofstream(partListPath_, std::ios::binary) << partList;
    store_ = std::make_unique<IniSettingsStore>(DefaultSettingsPath());
  }
  ~AppHarness() {
    app_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Writes saved settings before the start, as a previous run would have.
  void SaveSettings(const std::string& port, std::uint32_t ispSpeed) {
    IniSettingsStore store(DefaultSettingsPath());
    StoreSettings(store, Settings{port, ispSpeed});
  }

  int Start(StartOptions options = {}) {
    options.partListPath = partListPath_;
    return StartAsGiven(std::move(options));
  }
  // The same with the part list the options name.
  int StartAsGiven(StartOptions options) {
    app_ = std::make_unique<Application>(view, *store_, [this](const PartDatabase& parts) {
      sim_ = std::make_shared<SimPortDriver>(&parts);
      return std::vector<std::shared_ptr<PortDriver>>{sim_};
    });
    return app_->Start(options);
  }

  Application& app() { return *app_; }
  AppState& state() { return app_->state(); }
  SimPortDriver& sim() { return *sim_; }
  std::filesystem::path dir() const { return dir_; }
  std::string SettingsPath() const { return DefaultSettingsPath(); }
  IniSettingsStore& store() { return *store_; }

  // Runs a command and lets the worker finish what it started.
  void Do(int id) {
    app_->Command(id);
    app_->WaitIdleAndDrain();
  }
  std::vector<std::string> LogSince(std::uint32_t mark) const {
    std::vector<std::string> out;
    for (std::uint32_t s = mark; s < app_->state().log.NextSerial(); ++s) {
      out.push_back(app_->state().log.EntryBySerial(s).text);
    }
    return out;
  }
  std::uint32_t LogMark() const { return app_->state().log.NextSerial(); }
  // A job logs from the engine thread: waits (up to 2 s) until a line since mark starts
  // with prefix, so that a test's own lines can be told from the job's.
  bool WaitForLog(std::uint32_t mark, const std::string& prefix) const {
    for (int i = 0; i < 200; ++i) {
      for (const std::string& line : LogSince(mark)) {
        if (line.rfind(prefix, 0) == 0) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::string NewestLog() const { return app_->state().log.Row(0).text; }
  // Selects a chip by name through the chip selector.
  void PickChip(const std::string& name) {
    const auto& entries = app_->selection().chipEntries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] == name) app_->ChipSelectorChanged(static_cast<int>(i));
    }
  }
  void PickMode(const std::string& mode) {
    const auto& entries = app_->selection().modeEntries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] == mode) app_->ModeSelectorChanged(static_cast<int>(i));
    }
  }
  // The simulated chip of a part.
  SimChip& Chip(const std::string& part) {
    return *sim_->LineFor("sim:" + part)->With([](SimProgrammer& p) { return &p.chip(); });
  }

  // Two HVSP parts of different sizes with fuses, lock bits and calibration bytes, one
  // HVPP part, one part that programs over ISP only and has no EEPROM.
  static std::string SmallPartList() {
    return R"(<AVRPART name="ATtiny13" signature="0x1E9007">
  <MEMORY FlashPageSizeW="16" FlashNoOfPages="32" EEpromPageSize="4" EEpromNoOfPages="16">
  <HVMODE val="3">
  <OSCCAL val="0x00" text="9.6 MHz">
  <OSCCAL val="0x01" text="4.8 MHz">
  <FUSE>
    <LOW>
      <BIT mask="0x80" name="SPIEN" text="Serial programming enabled">
      <BIT mask="0x10" name="CKDIV8" text="Divide clock by 8">
      <ENUMERATOR mask="0x0F" name="CKSEL" text="Clock source">
        <ENUM val="0x02" text="Int. RC 9.6 MHz">
        <ENUM val="0x03" text="Int. RC 128 kHz">
        <ENUM val="0x0A" text="Int. RC 9.6 MHz slow start">
      </ENUMERATOR>
    </LOW>
    <HIGH>
      <BIT mask="0x01" name="RSTDISBL" text="Reset disabled">
    </HIGH>
    <DEFAULTLOW val="0x6A">
    <DEFAULTHIGH val="0xFF">
  </FUSE>
  <LOCKBIT>
    <ENUMERATOR mask="0x03" name="LB" text="Memory Lock">
      <ENUM val="0x00" text="Programming and verification disabled">
      <ENUM val="0x02" text="Programming disabled">
      <ENUM val="0x03" text="No lock">
    </ENUMERATOR>
  </LOCKBIT>
</AVRPART>
<AVRPART name="ATtiny85" signature="0x1E930B">
  <MEMORY FlashPageSizeW="32" FlashNoOfPages="128" EEpromPageSize="4" EEpromNoOfPages="128">
  <HVMODE val="3">
  <OSCCAL val="0x00" text="8.0 MHz">
  <FUSE>
    <LOW>
      <BIT mask="0x80" name="CKDIV8" text="Divide clock by 8">
    </LOW>
    <EXTENDED>
      <BIT mask="0x01" name="SELFPRGEN" text="Self programming">
    </EXTENDED>
    <DEFAULTLOW val="0x62">
    <DEFAULTHIGH val="0xDF">
    <DEFAULTEXTENDED val="0xFF">
  </FUSE>
  <LOCKBIT>
    <BIT mask="0x03" name="LB" text="Lock">
  </LOCKBIT>
</AVRPART>
<AVRPART name="ATmega8" signature="0x1E9307">
  <MEMORY FlashPageSizeW="32" FlashNoOfPages="128" EEpromPageSize="4" EEpromNoOfPages="128">
  <HVMODE val="1">
  <FUSE>
    <LOW>
      <BIT mask="0x80" name="BODLEVEL" text="Brown-out level">
    </LOW>
    <DEFAULTLOW val="0xE1">
    <DEFAULTHIGH val="0xD9">
  </FUSE>
</AVRPART>
<AVRPART name="ISPONLY" signature="0x1E9999">
  <MEMORY FlashPageSizeW="32" FlashNoOfPages="64" EEpromPageSize="0" EEpromNoOfPages="0">
</AVRPART>
)";
  }

  ScriptedFrontEnd view;

 private:
  std::filesystem::path dir_;
  std::string partListPath_;
  std::unique_ptr<IniSettingsStore> store_;
  std::shared_ptr<SimPortDriver> sim_;
  std::unique_ptr<Application> app_;
};

}  // namespace bq::test
