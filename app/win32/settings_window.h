#pragma once
// The settings dialog (resource 116) over SettingsDialog: the port and clock lists, the
// version fields, "Connection Test", "Save" and "Cancel".

#include <windows.h>

#include "ui/settings_dialog.h"

namespace bq::win32 {

class DialogHost;

// Runs dialog 116 modally (DialogBoxParamA); returns when Save or Cancel closed it.
void RunSettingsWindow(HWND owner, HINSTANCE instance, SettingsDialog& dialog, DialogHost& host);

// Shows the dialog's model in an open dialog window: lists, selections, version fields.
void ShowSettingsModel(HWND dialogWindow, const SettingsDialogModel& model);

}  // namespace bq::win32
