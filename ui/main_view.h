#pragma once
// What a front-end implements for the main window. Every call is made on the
// user-interface thread and asks for one visible effect; the front-end decides nothing.
// The data behind each list (log rows, hex rows, field and byte rows, calibration rows,
// selector entries) is read from the Application's models when the front-end paints.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/fuse_bytes.h"
#include "link/protocol.h"
#include "ui/cell_editors.h"
#include "ui/chip_selection.h"
#include "ui/command_ids.h"

namespace bq {

class SettingsDialog;

// Captions of the message boxes.
inline constexpr const char* kCaptionError = "Error";
inline constexpr const char* kCaptionWarning = "Warning";
inline constexpr const char* kCaptionExit = "Exit ?";
inline constexpr const char* kCaptionInfo = "Info";

// One filter of a file dialog: the text shown and its patterns ("*.bin;*.hex").
struct FileFilter {
  std::string description;
  std::string patterns;
};

struct FileDialogRequest {
  std::vector<FileFilter> filters;  // the first one is selected
  std::string defaultExtension;     // "" for none; appended to a name typed without one
  bool fileMustExist = false;       // open dialog
  bool confirmOverwrite = false;    // save dialog
  unsigned maxPathChars = 260;
};

class MainView {
 public:
  virtual ~MainView() = default;

  // Message boxes. Modal; the front-end returns once the user answered.
  // Caption kCaptionError, error icon.
  virtual void ShowError(const std::string& text) = 0;
  // Empty caption, no icon, an OK button.
  virtual void ShowNotice(const std::string& text) = 0;
  // Caption kCaptionWarning, exclamation icon, Yes and No. True for Yes.
  virtual bool AskWarningYesNo(const std::string& text) = 0;
  // The same with No as the default button (Enter answers No). True for Yes.
  virtual bool AskWarningYesNoDefaultNo(const std::string& text) = 0;
  // Caption kCaptionExit, question icon, Yes and No. True for Yes.
  virtual bool AskExitYesNo(const std::string& text) = 0;
  // Caption kCaptionInfo, information icon.
  virtual void ShowInfo(const std::string& text) = 0;

  // The two drop-down lists of the toolbar: their entries and selected entry (-1: none)
  // are in Application::selection(); show them again.
  virtual void RefreshChipSelector() = 0;
  virtual void RefreshModeSelector() = 0;
  // The four read-only chip information fields (ids 212, 213, 215, 214).
  virtual void ShowChipInfo(const ChipInfoTexts& texts) = 0;

  // Lists whose rows are to be shown again.
  // The log has Application::state().log.RowCount() rows now, row 0 the newest.
  virtual void RefreshLog() = 0;
  // Every row of this hex view has new text (HexView::RowCount() rows).
  virtual void RefillHexView(MemoryKind kind) = 0;
  // Only the colours of this hex view's rows changed (the chip's size did).
  virtual void RedrawHexViewColours(MemoryKind kind) = 0;
  // The field list (values, or the rows themselves) and the byte list of an editor.
  virtual void RefreshFieldList(FuseEditorKind editor) = 0;
  virtual void RefreshByteList(FuseEditorKind editor) = 0;
  // The calibration rows: labels and value texts.
  virtual void RefreshCalibration() = 0;

  // The one cell editor over a fuse or lock-bit list. Open a choice list over the value
  // cell of a field row, with these entries and this entry selected, or a text field over
  // the value cell of a byte row holding text (caret at its end). Close removes either.
  virtual void OpenChoiceCell(FuseEditorKind editor, std::uint32_t row,
                              const std::vector<std::string>& choices, std::size_t selected) = 0;
  virtual void OpenByteCell(FuseEditorKind editor, std::uint32_t row, const std::string& text) = 0;
  virtual void CloseCellEditor() = 0;

  // The progress bar (id 216), in the order the worker drives it.
  virtual void ProgressSmooth() = 0;
  virtual void ProgressMarquee() = 0;
  virtual void ProgressRange(std::uint16_t maximum) = 0;
  virtual void ProgressPosition(std::uint32_t position) = 0;
  virtual void ProgressMarqueeStart() = 0;  // 15 ms per step
  virtual void ProgressMarqueeStop() = 0;
  virtual void ProgressShow() = 0;
  virtual void ProgressHide() = 0;

  // Show or hide a control by its id (hex views, editor lists, tab-page buttons,
  // calibration list).
  virtual void SetControlVisible(int controlId, bool visible) = 0;
  // Toolbar buttons (500..510) and menu items (40004..40016).
  virtual void EnableToolbarButton(int buttonId, bool enabled) = 0;
  virtual void EnableMenuItem(int itemId, bool enabled) = 0;
  // The check mark of a menu item that has one (kMenuProgramWatch).
  virtual void CheckMenuItem(int /*itemId*/, bool /*checked*/) {}
  // Tab-page buttons (511..519): enabled or not, with the tooltip that says why not ("" for
  // none).
  virtual void EnableControl(int /*controlId*/, bool /*enabled*/, const std::string& /*tooltip*/) {}

  // File dialogs; nullopt when the user cancelled.
  virtual std::optional<std::string> AskOpenFileName(const FileDialogRequest& request) = 0;
  virtual std::optional<std::string> AskSaveFileName(const FileDialogRequest& request) = 0;

  // Shows the settings dialog modally. The front-end calls dialog.Open() when it shows,
  // then ConnectionTest(), Save() or Cancel() as the user acts, and returns when Save or
  // Cancel closed it.
  virtual void RunSettingsDialog(SettingsDialog& dialog) = 0;

  // The exit was confirmed and everything is released: destroy the main window.
  virtual void CloseMainWindow() = 0;
};

}  // namespace bq
