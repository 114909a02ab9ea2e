#include "ui/settings_dialog.h"

#include <cstdio>
#include <utility>

#include "ui/operation_sequencing.h"

namespace bq {

namespace {

std::string VersionText(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X.%02X", (value >> 8) & 0xFFu, value & 0xFFu);
  return buf;
}

// "STK500 version 1 (Arduino as ISP)": the name for the list and the note in brackets.
std::pair<std::string, std::string> TitleParts(const ProgrammerInfo& info) {
  const std::string title = info.title;
  const std::size_t open = title.find(" (");
  if (open == std::string::npos || title.back() != ')') return {title, ""};
  return {title.substr(0, open), title.substr(open + 2, title.size() - open - 3)};
}

}  // namespace

std::string NoProgrammerAnswerText(const std::string& port) {
  return "No programmer answered on " + port + ": check the cable and its power.";
}

void FillSettingsLists(AppState& app, SettingsDialogModel& model) {
  app.port.EnumeratePorts();
  model.ports.clear();
  model.portIndex = -1;
  for (const auto& [key, name] : app.port.Ports()) {
    if (name == app.settings.COMPort && model.portIndex < 0) {
      model.portIndex = static_cast<int>(model.ports.size());
    }
    model.ports.push_back(name);
  }
  if (model.portIndex < 0 && !model.ports.empty()) model.portIndex = 0;
  model.clocks.clear();
  for (std::uint32_t i = 0; i <= kMaxIspSpeed; ++i) model.clocks.push_back(IspClockListText(i));
  model.clockIndex =
      app.settings.ISPSpeed <= kMaxIspSpeed ? static_cast<int>(app.settings.ISPSpeed) : -1;
  model.programmers.clear();
  model.programmerIndex = 0;
  const ProgrammerKind chosen = app.ProgrammerChoice();
  for (const ProgrammerInfo& info : ProgrammerTable()) {
    if (info.kind == chosen) model.programmerIndex = static_cast<int>(model.programmers.size());
    model.programmers.push_back(TitleParts(info).first);
  }
  model.programmerNote = TitleParts(InfoFor(chosen)).second;
}

ProgrammerKind ModelProgrammer(const SettingsDialogModel& model, ProgrammerKind fallback) {
  const auto& table = ProgrammerTable();
  if (model.programmerIndex < 0 ||
      static_cast<std::size_t>(model.programmerIndex) >= table.size()) {
    return fallback;
  }
  return table[static_cast<std::size_t>(model.programmerIndex)].kind;
}

bool RunConnectionTest(AppState& app, SettingsDialogModel& model, const std::string& port,
                       bool confirm, SettingsDialogView& view) {
  model.hardwareVersion.clear();
  model.firmwareVersion.clear();
  // A running job ends first, so the port is never taken from under it.
  app.jobs.WaitIdle();
  ChipTarget target = app.Target();
  target.port = port;
  target.programmer = ModelProgrammer(model, target.programmer);
  bool opened = false;
  bool ok = false;
  ProgrammerVersions versions;
  app.jobs.RunHere([&](JobRunner::Context& job) {
    job.session().Close();
    opened = OpenTargetPort(job.session(), target);
    if (opened) ok = job.session().Versions(versions).ok();
    job.session().Close();
  });
  // The quiet test when the dialog opens leaves the result line as it was.
  if (!opened) {
    if (confirm) {
      model.testResult = PortOpenErrorText(port);
      view.ShowPortOpenError(port);
    }
    return false;
  }
  if (confirm) model.testResult = NoProgrammerAnswerText(port);
  if (ok) {
    model.hardwareVersion = VersionText(versions.hardware);
    model.firmwareVersion = VersionText(versions.firmware);
    if (confirm) {
      model.testResult = kConnectionOkText;
      view.ShowConnectionOk();
    }
  }
  return ok;
}

void OpenSettingsDialog(AppState& app, SettingsDialogModel& model, SettingsDialogView& view) {
  FillSettingsLists(app, model);
  RunConnectionTest(app, model, app.settings.COMPort, false, view);
}

void ConnectionTestCommand(AppState& app, SettingsDialogModel& model, SettingsDialogView& view) {
  if (model.ports.empty() || model.portIndex < 0) return;
  RunConnectionTest(app, model, model.ports[static_cast<std::size_t>(model.portIndex)], true, view);
}

void SaveSettingsDialog(AppState& app, const SettingsDialogModel& model, SettingsStore& store,
                        SettingsDialogView& view) {
  if (!model.ports.empty() && model.portIndex >= 0) {
    app.settings.COMPort = model.ports[static_cast<std::size_t>(model.portIndex)];
  }
  // The clock list always has a selection here (ISPSpeed is limited to the list when read).
  if (model.clockIndex >= 0) app.settings.ISPSpeed = static_cast<std::uint32_t>(model.clockIndex);
  app.settings.Programmer = InfoFor(ModelProgrammer(model, app.ProgrammerChoice())).name;
  StoreSettings(store, app.settings);
  app.log.AppendLogEntry(LogKind::LogSuccess, "Save Configuration.");
  // The port the user saved is the one used from now on, also in a simulated run.
  app.portOverride.clear();
  app.programmerOverride.reset();
  if (!ReopenSerialPort(app)) view.ShowPortOpenError(app.settings.COMPort);
}

void SettingsDialog::Open() {
  result_ = SettingsDialogResult::Open;
  OpenSettingsDialog(app_, model_, *view_);
  view_->OnSettingsModelChanged();
}

void SettingsDialog::PickPort(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= model_.ports.size()) return;
  model_.portIndex = index;
  view_->OnSettingsModelChanged();
}

void SettingsDialog::PickProgrammer(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= model_.programmers.size()) return;
  model_.programmerIndex = index;
  model_.programmerNote =
      TitleParts(InfoFor(ModelProgrammer(model_, ProgrammerKind::Brindlequartz))).second;
  view_->OnSettingsModelChanged();
}

void SettingsDialog::PickClock(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= model_.clocks.size()) return;
  model_.clockIndex = index;
  view_->OnSettingsModelChanged();
}

void SettingsDialog::EnterPortName(const std::string& name) {
  if (name.find_first_not_of(" \t") == std::string::npos) return;
  for (std::size_t i = 0; i < model_.ports.size(); ++i) {
    if (model_.ports[i] == name) {
      model_.portIndex = static_cast<int>(i);
      return;
    }
  }
  model_.ports.push_back(name);
  model_.portIndex = static_cast<int>(model_.ports.size() - 1);
}

void SettingsDialog::ConnectionTest() {
  ConnectionTestCommand(app_, model_, *view_);
  view_->OnSettingsModelChanged();
}

void SettingsDialog::Save() {
  SaveSettingsDialog(app_, model_, store_, *view_);
  result_ = SettingsDialogResult::Saved;
}

void SettingsDialog::Cancel() {
  result_ = SettingsDialogResult::Cancelled;
}

}  // namespace bq
