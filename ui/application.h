#pragma once
// The application without a window system: start-up, the main window's commands, the
// models every list paints from, the engine thread's events carried to the user-interface thread,
// and shut-down. A front-end creates one Application with its MainView, calls Start, shows
// its window when Start returned 0, forwards every user action, and calls Drain on its
// user-interface thread whenever the wake callback fired.
//
// Every function is for the user-interface thread (the thread that called Start), except
// the wake callback, which runs on the engine thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_connection.h"
#include "parts/part_database.h"
#include "session/rescue.h"
#include "ui/app_state.h"
#include "ui/command_ids.h"
#include "ui/hex_view.h"
#include "ui/main_view.h"
#include "ui/program_flow.h"
#include "ui/program_watch.h"
#include "ui/settings.h"
#include "ui/ui_event_queue.h"
#include "ui/write_flow.h"

namespace bq {

inline constexpr int kExitOk = 0;
inline constexpr int kExitStartFailed = 1;

inline constexpr const char* kPartListFile = "PartList.cfg";
inline constexpr const char* kPartListLoadError = "PartList Load ERROR !!!";
inline constexpr const char* kFlashBufferError = "ERROR: Creating FLASH Buffer !!!";
inline constexpr const char* kEepromBufferError = "ERROR: Creating EEPROM Buffer !!!";
inline constexpr const char* kThreadStartError = "Programmer Thread not found !!!";
inline constexpr const char* kExitQuestion = "Are you sure you want to exit ?";
// Title bar: the product's name and its version.
inline constexpr const char* kMainWindowTitle = "Brindlequartz v1.00";

struct StartOptions {
  std::string partListPath = kPartListFile;  // relative to the current directory
  // Why no part list was found where the programs look for one (PartListNotFoundText); ""
  // when one was found there or the user named one. Shown under kPartListLoadError.
  std::string partListNotFound;
  // --simulate [PART]: this run uses the in-process simulated programmer ("sim", or
  // "sim:PART", with PART selected in the chip selector; a UPDI part on a simulated SerialUPDI
  // adapter); the saved COMPort and Programmer are not changed.
  bool simulate = false;
  std::string simulatePart;
  bool partListNamed = false;  // --partlist FILE gave partListPath
  bool help = false;           // -h, --help: print DesktopHelpText and leave
  std::string screenshotDir;   // --screenshot-dir DIR: pictures of the window, then leave
};

// Reads the desktop program's arguments (without the program name): "--simulate",
// "--simulate PART", "--simulate=PART", "--partlist FILE", "--partlist=FILE",
// "--screenshot-dir DIR", "--screenshot-dir=DIR", "-h" and "--help". False with an error
// text for anything else. Needs no window system, so a front-end calls it first.
bool ParseStartOptions(const std::vector<std::string>& args, StartOptions& options,
                       std::string& error);
// Usage line of the desktop programs, and the whole help text (ends with a newline).
inline constexpr const char* kDesktopUsage =
    "usage: brindlequartz [--simulate [PART]] [--partlist FILE] [--screenshot-dir DIR] [--help]";
std::string DesktopHelpText();
// Without --partlist: PartList.cfg from the places the programs look in (FindPartList); when
// none has it, partListNotFound says where it was looked for.
void FindStartPartList(StartOptions& options, const std::filesystem::path& currentFolder,
                       const std::filesystem::path& executableFolder);

// The port drivers of a program (serial devices of the platform, the simulator). Called
// once with the part database, which outlives the drivers.
using PortDriverFactory =
    std::function<std::vector<std::shared_ptr<PortDriver>>(const PartDatabase& parts)>;

class Application {
 public:
  // view and store must outlive the Application.
  Application(MainView& view, SettingsStore& store, PortDriverFactory drivers = {});
  ~Application();  // Shutdown, then releases everything in order
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The start-up: part list, images, settings, chip selector and first chip, views,
  // editors, calibration list, engine thread, port. kExitOk when the main window is to be shown;
  // kExitStartFailed after the error was shown (the program then ends with this code).
  int Start(const StartOptions& options = {});
  // Stops and joins the engine thread (a waiting question is answered No), then closes the port. Commands do nothing afterwards.
  // Called by a confirmed exit and by the destructor.
  void Shutdown();
  bool running() const { return running_; }

  // Engine events: wake is called on the engine thread when events wait (it must only post
  // a wake-up to the user-interface thread); Drain delivers them on the calling thread, and
  // asks the questions of a waiting job.
  void SetWakeCallback(std::function<void()> wake);
  std::size_t Drain();
  // For front-ends without a message loop: wait for the engine thread and Drain until no
  // job runs and nothing waits.
  void WaitIdleAndDrain();

  // User actions.
  // A menu item, toolbar button or tab-page button (ids 500..520, 40004..40019).
  void Command(int id);
  // Chip > "Rescue..." moves a simulated programmer's chip through this (the front-end owns
  // the simulator); without it the user is asked to move the chip.
  void SetSimulatedChipMover(std::function<void(const std::string&, ChipPlace)> mover) {
    chipMover_ = std::move(mover);
  }
  // Esc in the main window: while a chip command runs, the same as Stop (kIdStop), and true;
  // otherwise false and nothing happens (the key then does what it did before).
  bool EscapePressed();
  // The front-end's timer, about twice a second: Chip > "Program again when the file
  // changes" looks at the file.
  void Tick();
  // Selection changes of the two toolbar lists (CBN_SELCHANGE of 204, 205).
  void ChipSelectorChanged(int index);
  void ModeSelectorChanged(int index);
  // The user picked another tab.
  void SwitchTab(MainTab tab);
  // Close box, Alt+F4 and File > Exit. True when the program is closing (the view was
  // asked to close the main window); nothing happens while a job runs.
  bool ConfirmExit();
  // A left click on a fuse or lock-bit list: the row and column under the pointer
  // (column -1 when there is no cell there). While a job runs, the editors' bytes do not
  // change (it may be writing what they held): such clicks, choices, typed bytes and
  // "Set Default" are refused with "Programmer is BUSY !!!".
  void EditorCellClicked(FuseEditorKind editor, EditorList list, std::uint32_t row, int column);
  // The open choice list reported a selection; Enter, Escape or focus loss in a byte cell.
  void ChoiceCellChosen(std::size_t choiceIndex);
  void ByteCellEntered(const std::string& text);
  void ByteCellAbandoned();
  // A file dropped onto the main window (file_drop.cpp). Accepted: ".hex", ".eep", ".ihx",
  // ".ihex", ".bin" and ".elf" in any case. The drop loads it into the buffer of the tab in front as Load does after its
  // dialog (same log lines, same refusal while the programmer works); ignored on a tab
  // without a buffer and for other files.
  static bool AcceptsDroppedFile(const std::string& path);
  bool AcceptsDropOnCurrentTab(const std::string& path) const;
  void LoadDroppedFile(const std::string& path);

  // What the front-end paints.
  MainTab tab() const { return tab_; }
  // The chosen programmer can do this chip command for the selected part in the selected mode
  // (any other command: true).
  bool CommandAvailable(int id) const { return UnavailableText(id).empty(); }
  // The tooltip of a toolbar button (or of a tab-page button): what it does, or why the
  // chosen programmer cannot do it.
  std::string ToolbarTooltip(int buttonId) const;
  AppState& state() { return *state_; }
  const AppState& state() const { return *state_; }
  const ChipSelection& selection() const { return state_->selection; }
  const HexView& hexView(MemoryKind kind) const;
  HexRowColour HexRowColourOf(MemoryKind kind, std::uint32_t row) const;
  FuseEditor& editor(FuseEditorKind which);
  // While a cell editor is open over a list, that list does not paint its cells.
  bool ListCoveredByCell(FuseEditorKind editor, EditorList list) const;
  // The controls shown on a tab.
  static std::vector<int> TabControls(MainTab tab);

 private:
  class Adapters;

  void RunBufferResult(const BufferCommandResult& result, MemoryKind kind);
  void ClearCommand();
  void LoadCommand();
  // Load and a dropped file: the file into the buffer of the tab in front; an ELF file into
  // both buffers and the fuse and lock-bit editors.
  void LoadFile(const std::string& path);
  void SaveCommand();
  void ReloadCommand();
  void SettingsCommand();
  // Stop: the running job ends after the exchange in progress; the watch of the Program
  // command ends too.
  void StopCommand();
  void ProgramWatchCommand();
  void EndProgramWatch();
  // Stop is enabled while a job runs.
  void RefreshStop();
  void ShowCellEditor(FuseEditorKind which);
  // Enables the buffer commands on a tab with a buffer and the chip commands the chosen
  // programmer can do in the selected mode.
  void RefreshCommandStates();
  std::string UnavailableText(int id) const;
  // While a job runs, logs "Programmer is BUSY !!!" and returns true.
  bool RefusedWhileBusy();
  BufferTab bufferTab() const;
  MemoryKind bufferKind() const;
  bool OnUiThread() const { return std::this_thread::get_id() == uiThread_; }

  MainView& view_;
  SettingsStore& store_;
  PortDriverFactory driverFactory_;
  std::thread::id uiThread_;
  bool running_ = false;
  MainTab tab_ = MainTab::Flash;

  std::unique_ptr<AppState> state_;
  std::unique_ptr<HexView> flashView_;
  std::unique_ptr<HexView> eepromView_;
  std::unique_ptr<Adapters> adapters_;
  ProgramFlow program_;
  ProgramWatch watch_;
  int inUserAction_ = 0;  // Command or Tick runs (perhaps in a modal box's message loop)
  WriteFlow write_;
  std::function<void(const std::string&, ChipPlace)> chipMover_;
};

}  // namespace bq
