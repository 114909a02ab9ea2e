#include "ui/settings_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "sim/sim_port_driver.h"
#include "tests/ui/test_parts.h"
#include "ui/ini_settings_store.h"

namespace bq {
namespace {

class RecordingView : public SettingsDialogView {
 public:
  void ShowConnectionOk() override { ++ok; }
  void ShowPortOpenError(const std::string& name) override { errors.push_back(name); }
  int ok = 0;
  std::vector<std::string> errors;
};

class SettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::FillTestParts(app.parts);
    app.port.AddDriver(std::make_shared<SimPortDriver>(&app.parts));
    app.selection.FillChipSelector();
    app.selection.ApplyChipSelection();
    ASSERT_TRUE(app.StartProgrammer());
  }
  AppState app;
  SettingsDialogModel model;
  RecordingView view;
};

TEST_F(SettingsDialogTest, ListsSelectTheConfiguredPortOrTheFirst) {
  app.settings.COMPort = "sim";
  app.settings.ISPSpeed = 3;
  FillSettingsLists(app, model);
  EXPECT_EQ(model.ports, (std::vector<std::string>{"sim"}));
  EXPECT_EQ(model.portIndex, 0);
  ASSERT_EQ(model.clocks.size(), 8u);
  EXPECT_EQ(model.clocks[0], "Auto");
  EXPECT_EQ(model.clocks[7], "57.60 kHz");
  EXPECT_EQ(model.clockIndex, 3);
  app.settings.COMPort = "ttyGone";
  FillSettingsLists(app, model);
  EXPECT_EQ(model.portIndex, 0);
}

TEST_F(SettingsDialogTest, ConnectionTestShowsVersionsAndLeavesThePortClosed) {
  EXPECT_TRUE(RunConnectionTest(app, model, "sim:TINYHV", true, view));
  EXPECT_EQ(model.hardwareVersion, "02.01");
  EXPECT_EQ(model.firmwareVersion, "01.07");
  EXPECT_EQ(view.ok, 1);
  EXPECT_FALSE(app.port.IsOpen());

  EXPECT_FALSE(RunConnectionTest(app, model, "sim:NOPART", false, view));
  EXPECT_TRUE(view.errors.empty());  // the quiet test at the dialog's opening
  EXPECT_EQ(model.hardwareVersion, "");
  EXPECT_FALSE(RunConnectionTest(app, model, "sim:NOPART", true, view));
  EXPECT_EQ(view.errors, (std::vector<std::string>{"sim:NOPART"}));
}

TEST_F(SettingsDialogTest, SaveStoresBothValuesLogsAndReopens) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bq_dialog_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  IniSettingsStore store((dir / "b.conf").string());
  app.settings.COMPort = "sim:TINYHV";
  OpenSettingsDialog(app, model, view);
  EXPECT_EQ(model.hardwareVersion, "02.01");
  model.clockIndex = 5;
  SaveSettingsDialog(app, model, store, view);
  EXPECT_EQ(app.settings.COMPort, "sim");
  EXPECT_EQ(app.settings.ISPSpeed, 5u);
  EXPECT_EQ(app.log.Row(0), (LogEntry{LogKind::LogSuccess, "Save Configuration."}));
  EXPECT_TRUE(app.port.IsOpen());
  Settings back;
  EXPECT_EQ(LoadSettings(store, back), SettingsLoadResult::Loaded);
  EXPECT_EQ(back.COMPort, "sim");
  EXPECT_EQ(back.ISPSpeed, 5u);

  // Without ports the old COMPort stays; a port that does not open is shown.
  model.ports.clear();
  model.portIndex = -1;
  app.settings.COMPort = "sim:NOPART";
  SaveSettingsDialog(app, model, store, view);
  EXPECT_EQ(app.settings.COMPort, "sim:NOPART");
  EXPECT_EQ(view.errors, (std::vector<std::string>{"sim:NOPART"}));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace bq
