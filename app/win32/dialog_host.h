#pragma once
// Every modal question the Windows program asks: message boxes, the open and save dialogs
// and the settings dialog. The program shows the system's dialogs; tests substitute answers.

#include <windows.h>

#include <optional>
#include <string>

#include "ui/main_view.h"
#include "ui/settings_dialog.h"

namespace bq::win32 {

enum class BoxIcon { None, Error, Warning, Question, Information };

class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // An OK box (MessageBoxA).
  virtual void Message(HWND owner, BoxIcon icon, const std::string& caption,
                       const std::string& text);
  // Yes and No; true for Yes.
  virtual bool AskYesNo(HWND owner, BoxIcon icon, const std::string& caption,
                        const std::string& text);
  // Yes and No with No as the default button (MB_DEFBUTTON2); true for Yes.
  virtual bool AskYesNoDefaultNo(HWND owner, BoxIcon icon, const std::string& caption,
                                 const std::string& text);
  // GetOpenFileNameW / GetSaveFileNameW; the chosen name as UTF-8.
  virtual std::optional<std::string> OpenFile(HWND owner, const FileDialogRequest& request);
  virtual std::optional<std::string> SaveFile(HWND owner, const FileDialogRequest& request);
  // Dialog 116 (DialogBoxParamA) over the dialog's logic; returns when Save or Cancel
  // closed it.
  virtual void RunSettingsDialog(HWND owner, HINSTANCE instance, SettingsDialog& dialog);
};

// The filter text of the common file dialogs: "description\0patterns\0...\0\0".
std::string CommonDialogFilter(const FileDialogRequest& request);

}  // namespace bq::win32
