#pragma once
// The Windows program's main window: menu 101, the toolbar with the chip and mode selectors,
// the chip information row with the progress bar, the tab control with its pages, the
// message log and the status bar. It implements MainView with Win32 controls over the
// Application and forwards every window message of a user action to it; the worker's events
// arrive as a posted private message and are drained on this thread.

#include <windows.h>

#include <commctrl.h>

#include <map>
#include <memory>
#include <string>

#include "app/win32/dialog_host.h"
#include "ui/application.h"
#include "ui/main_window_layout.h"

namespace bq::win32 {

// The window class and the private messages of the main window.
inline constexpr const char* kMainWindowClass = "brindlequartz";
inline constexpr UINT kMsgDrainEvents = WM_APP + 1;  // the worker has queued events
inline constexpr UINT kMsgDestroyCell = WM_APP + 2;  // wParam: a closed cell editor window
inline constexpr UINT kMsgDestroyMain = WM_APP + 3;  // the exit was confirmed

// The COM ports of this machine, then the in-process simulated programmer ("sim").
PortDriverFactory DesktopPortDrivers();

class MainWindow : public MainView {
 public:
  // store and dialogs must outlive the window. With quitOnDestroy the window posts WM_QUIT
  // when it is destroyed (the program's message loop ends).
  MainWindow(HINSTANCE instance, SettingsStore& store, DialogHost& dialogs,
             PortDriverFactory drivers, bool quitOnDestroy = true);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Registers the class, creates the window (not shown) with its children and runs the
  // Application's start-up. kExitOk when the window is to be shown; otherwise the error was
  // shown and the window is gone again.
  int Create(const StartOptions& options);

  HWND hwnd() const { return hwnd_; }
  Application& app() { return *app_; }
  // Controls by id: children 200-217 (204 and 205 live in the toolbar), tab-page buttons
  // 511-519. Null for an unknown id.
  HWND Control(int id) const;
  HMENU menu() const { return menu_; }
  // The cell editor open over a fuse or lock-bit list (null when none).
  HWND cellWindow() const { return cell_; }
  bool destroyed() const { return destroyed_; }
  // For the message loop, before TranslateMessage: Esc pressed anywhere in the main window
  // while a chip command runs stops it; true when the message was used so.
  bool PreTranslate(const MSG& msg);

  // MainView.
  void ShowError(const std::string& text) override;
  void ShowNotice(const std::string& text) override;
  bool AskWarningYesNo(const std::string& text) override;
  bool AskWarningYesNoDefaultNo(const std::string& text) override;
  bool AskExitYesNo(const std::string& text) override;
  void ShowInfo(const std::string& text) override;
  void RefreshChipSelector() override;
  void RefreshModeSelector() override;
  void ShowChipInfo(const ChipInfoTexts& texts) override;
  void RefreshLog() override;
  void RefillHexView(MemoryKind kind) override;
  void RedrawHexViewColours(MemoryKind kind) override;
  void RefreshFieldList(FuseEditorKind editor) override;
  void RefreshByteList(FuseEditorKind editor) override;
  void RefreshCalibration() override;
  void OpenChoiceCell(FuseEditorKind editor, std::uint32_t row,
                      const std::vector<std::string>& choices, std::size_t selected) override;
  void OpenByteCell(FuseEditorKind editor, std::uint32_t row, const std::string& text) override;
  void CloseCellEditor() override;
  void ProgressSmooth() override;
  void ProgressMarquee() override;
  void ProgressRange(std::uint16_t maximum) override;
  void ProgressPosition(std::uint32_t position) override;
  void ProgressMarqueeStart() override;
  void ProgressMarqueeStop() override;
  void ProgressShow() override;
  void ProgressHide() override;
  void SetControlVisible(int controlId, bool visible) override;
  void EnableToolbarButton(int buttonId, bool enabled) override;
  void EnableMenuItem(int itemId, bool enabled) override;
  void CheckMenuItem(int itemId, bool checked) override;
  void EnableControl(int controlId, bool enabled, const std::string& tooltip) override;
  std::optional<std::string> AskOpenFileName(const FileDialogRequest& request) override;
  std::optional<std::string> AskSaveFileName(const FileDialogRequest& request) override;
  void RunSettingsDialog(SettingsDialog& dialog) override;
  void CloseMainWindow() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK CellProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                   UINT_PTR id, DWORD_PTR data);
  static LRESULT CALLBACK EditorListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR data);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void BuildChildren();
  void BuildToolbar();
  HWND MakeList(int id, DWORD style, DWORD exStyle, int x, int y, int w, int h, HFONT font);
  LRESULT OnNotify(NMHDR* header);
  LRESULT OnGetDispInfo(int id, LVITEMA& item);
  LRESULT OnCustomDraw(int id, NMLVCUSTOMDRAW* draw);
  void DrawEditorCell(FuseEditorKind which, EditorList list, NMLVCUSTOMDRAW* draw);
  void OnEditorClick(int id, POINT pt);
  void SetRowCount(int id, std::size_t rows, bool keepScroll);
  HWND DialogOwner() const;
  static bool EditorOf(int id, FuseEditorKind& which, EditorList& list);

  HINSTANCE instance_;
  SettingsStore& store_;
  DialogHost& dialogs_;
  bool quitOnDestroy_;
  HWND hwnd_ = nullptr;
  HMENU menu_ = nullptr;
  HWND toolbar_ = nullptr;
  HWND cell_ = nullptr;
  FuseEditorKind cellEditor_ = FuseEditorKind::Fuses;
  std::map<int, HWND> controls_;
  // The page the editor lists sit on, and whether each editor (fuses, lock bits) shows the
  // named bytes of a UPDI part.
  LayoutRect editorPage_;
  bool editorNamed_[2] = {false, false};
  HFONT hexFont_ = nullptr;
  HFONT listFont_ = nullptr;
  HFONT choiceFont_ = nullptr;
  HIMAGELIST logIcons_ = nullptr;
  HIMAGELIST checkBoxes_ = nullptr;
  HIMAGELIST dropArrow_ = nullptr;
  std::string textScratch_;
  std::wstring wideScratch_;
  std::uint16_t progressMaximum_ = 100;
  bool destroyed_ = false;

  // Last: released first, so the worker stops before any window goes.
  std::unique_ptr<Application> app_;
};

}  // namespace bq::win32
