#pragma once
// The settings dialog without a window: the programmer list, the port list and the clock
// list with their selections, the connection test with the programmer's versions, and Save.

#include <cstdint>
#include <string>
#include <vector>

#include "ui/app_state.h"
#include "ui/settings.h"

namespace bq {

inline constexpr const char* kConnectionOkText = "Connection successfully...";
inline constexpr const char* kInfoCaption = "Info";

// Message boxes of the dialog.
class SettingsDialogView {
 public:
  virtual ~SettingsDialogView() = default;
  // kConnectionOkText with the caption kInfoCaption.
  virtual void ShowConnectionOk() {}
  // PortOpenErrorText(name) with the caption "Error".
  virtual void ShowPortOpenError(const std::string& /*name*/) {}
  // The lists, their selections or the version fields changed: show the model again.
  virtual void OnSettingsModelChanged() {}
};

struct SettingsDialogModel {
  std::vector<std::string> ports;   // in the order found
  int portIndex = -1;               // -1: no selection (no ports)
  std::vector<std::string> clocks;  // "Auto", "3.686 MHz", ... "57.60 kHz"
  int clockIndex = -1;
  // The kinds of programmer by title ("STK500 version 1"), in the order of
  // ProgrammerTable(); the one of the settings selected. programmerNote says what the
  // selected one is ("Arduino as ISP"), from the rest of its title.
  std::vector<std::string> programmers;
  int programmerIndex = 0;
  std::string programmerNote;
  std::string hardwareVersion;  // "02.01" once a test succeeded
  std::string firmwareVersion;
  // What the last "Connection Test" found, shown in the dialog: kConnectionOkText, the port
  // open error, or that nothing answered; "" before the first one (the quiet test when the
  // dialog opens leaves it).
  std::string testResult;
};

// The dialog's result line when the port opened but no programmer answered on it.
std::string NoProgrammerAnswerText(const std::string& port);

// Fills the lists: the ports present (the one equal to COMPort selected, else entry 0), the
// clock choices (entry ISPSpeed selected) and the kinds of programmer (Programmer selected).
void FillSettingsLists(AppState& app, SettingsDialogModel& model);
// The kind of programmer selected in the model; fallback without a selection.
ProgrammerKind ModelProgrammer(const SettingsDialogModel& model, ProgrammerKind fallback);

// Closes the port, opens `port` with the programmer selected in the model, asks for both
// versions, closes the port again. With confirm, success and a port that does not open are
// shown. A running job is waited for first, so the port is never taken from under it.
bool RunConnectionTest(AppState& app, SettingsDialogModel& model, const std::string& port,
                       bool confirm, SettingsDialogView& view);

// What the dialog does when it opens: the lists, then a quiet test of COMPort.
void OpenSettingsDialog(AppState& app, SettingsDialogModel& model, SettingsDialogView& view);

// "Connection Test": a confirmed test of the selected port; nothing without ports.
void ConnectionTestCommand(AppState& app, SettingsDialogModel& model, SettingsDialogView& view);

// "Save": COMPort := the selected port (kept without ports), ISPSpeed := the selected clock,
// Programmer := the selected kind of programmer, all stored, "Save Configuration." logged, and the
// port reopened (its failure shown).
void SaveSettingsDialog(AppState& app, const SettingsDialogModel& model, SettingsStore& store,
                        SettingsDialogView& view);

// Result of the dialog: still open, saved ("Save", 1006) or cancelled (IDCANCEL, 2).
enum class SettingsDialogResult { Open = 0, Saved = 1006, Cancelled = 2 };

// One showing of the settings dialog, driven by a front-end: Open when it appears, then
// the user's picks and buttons. Messages go to the view given (owned by the dialog window).
class SettingsDialog {
 public:
  SettingsDialog(AppState& app, SettingsStore& store) : app_(app), store_(store) {}
  void SetView(SettingsDialogView* view) { view_ = view != nullptr ? view : &noView_; }

  // The lists, then a quiet connection test of COMPort.
  void Open();
  // The user picked an entry of the port list (1001), the clock list (1005) or the
  // programmer list.
  void PickPort(int index);
  void PickProgrammer(int index);
  void PickClock(int index);
  // The user typed a port name into the port box (a pseudo-terminal, /dev/serial/by-id/...):
  // it becomes the selected entry, added to the list when it is not there. Blank text changes
  // nothing. Front-ends pass the box's text before "Connection Test" and "Save".
  void EnterPortName(const std::string& name);
  // "Connection Test" (1002); the dialog stays open.
  void ConnectionTest();
  // "Save" (1006): stores both values, logs, reopens the port; the dialog closes.
  void Save();
  // "Cancel", Esc or the close box: nothing is stored; the dialog closes.
  void Cancel();

  const SettingsDialogModel& model() const { return model_; }
  SettingsDialogResult result() const { return result_; }

 private:
  AppState& app_;
  SettingsStore& store_;
  SettingsDialogView noView_;
  SettingsDialogView* view_ = &noView_;
  SettingsDialogModel model_;
  SettingsDialogResult result_ = SettingsDialogResult::Open;
};

}  // namespace bq
