#pragma once
// The desktop program's main window on Qt Widgets: menu, toolbar with the chip and mode
// selectors, chip information row with the progress bar, the five tabs, the message log and
// the status bar. It implements MainView for the Application and forwards every user action
// to it; the worker's events arrive as queued calls and are drained on this thread.

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPixmap>
#include <map>
#include <memory>
#include <string>

#include "app/qt/dialog_host.h"
#include "ui/application.h"

class QAction;
class QComboBox;
class QProgressBar;
class QTabWidget;
class QTableView;
class QListView;
class QMimeData;
class QPushButton;

namespace bq::qt {

class FunctionModel;
class ByteCellEdit;

// The serial ports of this machine, then the in-process simulated programmer ("sim").
PortDriverFactory DesktopPortDrivers();

class MainWindow : public QMainWindow, public MainView {
  Q_OBJECT

 public:
  // store and dialogs must outlive the window.
  MainWindow(SettingsStore& store, DialogHost& dialogs, PortDriverFactory drivers);
  ~MainWindow() override;

  // The start-up; kExitOk when the window is to be shown.
  int Start(const StartOptions& options);
  Application& app() { return *app_; }
  SettingsStore& store() { return store_; }

  // Controls by their ids (child controls 200-217, tab-page buttons 511-519), toolbar
  // buttons and menu items; null for an unknown id.
  QWidget* Control(int id) const;
  QAction* ToolbarAction(int id) const;
  QAction* MenuAction(int id) const;
  QComboBox* chipSelector() const { return chipSelector_; }
  QComboBox* modeSelector() const { return modeSelector_; }
  QTabWidget* tabs() const { return tabs_; }
  QProgressBar* progressBar() const { return progress_; }
  QLineEdit* chipInfoField(int id) const;
  // The cell editor open over a fuse or lock-bit list (null when none).
  QComboBox* choiceCell() const;
  QLineEdit* byteCell() const;
  // Rectangle of a cell of an editor list, in the list's viewport.
  QRect EditorCellRect(FuseEditorKind editor, EditorList list, int row, int column) const;
  bool closeConfirmed() const { return closeConfirmed_; }

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

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Esc reaches the window when the widget with the focus has no use for it.
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct EditorWidgets {
    QTableView* fields = nullptr;
    QTableView* bytes = nullptr;
    FunctionModel* fieldModel = nullptr;
    FunctionModel* byteModel = nullptr;
  };

  void BuildMenu();
  void BuildToolbar();
  QWidget* BuildInfoRow();
  void BuildTabs();
  QWidget* BuildHexPage(MemoryKind kind, int id);
  QWidget* BuildEditorPage(FuseEditorKind which, int fieldId, int byteId, int firstButton);
  QWidget* BuildCalibrationPage();
  QListView* BuildLog();
  QPushButton* PageButton(const char* text, int id);
  void RefreshTooltips();
  QWidget* DialogParent();
  EditorWidgets& editorWidgets(FuseEditorKind which);
  std::string DroppedFile(const QMimeData* mime) const;

  SettingsStore& store_;
  DialogHost& dialogs_;
  PortDriverFactory drivers_;
  bool closeConfirmed_ = false;

  std::map<int, QWidget*> controls_;
  std::map<int, QAction*> toolbarActions_;
  std::map<int, QAction*> menuActions_;
  QComboBox* chipSelector_ = nullptr;
  QComboBox* modeSelector_ = nullptr;
  std::map<int, QLineEdit*> chipInfo_;
  QProgressBar* progress_ = nullptr;
  std::uint16_t progressMaximum_ = 100;
  QTabWidget* tabs_ = nullptr;
  FunctionModel* logModel_ = nullptr;
  FunctionModel* flashModel_ = nullptr;
  FunctionModel* eepromModel_ = nullptr;
  FunctionModel* calibrationModel_ = nullptr;
  EditorWidgets fuses_;
  EditorWidgets locks_;
  QPixmap logIcons_[4];
  QPixmap checkBoxes_[4];
  QPixmap dropArrow_;
  QWidget* cellWidget_ = nullptr;

  // Last: released first, so the worker stops before any widget goes.
  std::unique_ptr<Application> app_;
};

}  // namespace bq::qt
