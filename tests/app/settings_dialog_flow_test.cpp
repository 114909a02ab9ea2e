// The settings dialog as the user sees it: lists, connection test, save and cancel.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/app/scripted_front_end.h"

namespace bq::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(SettingsDialogFlowTest, ListsTestAndSave) {
  AppHarness h;
  ASSERT_EQ(h.Start(), kExitOk);  // first start: saved port is the platform default
  h.view.settingsScript = [&](SettingsDialog& d) {
    const SettingsDialogModel& m = d.model();
    EXPECT_EQ(m.ports, std::vector<std::string>{"sim"});
    EXPECT_EQ(m.portIndex, 0);  // the saved port is not present: entry 0
    ASSERT_EQ(m.clocks.size(), 8u);
    EXPECT_EQ(m.clocks[0], "Auto");
    EXPECT_EQ(m.clocks[3], "921.60 kHz");
    EXPECT_EQ(m.clocks[7], "57.60 kHz");
    EXPECT_EQ(m.clockIndex, 0);
    EXPECT_EQ(m.hardwareVersion, "");  // the quiet test of the saved port found nothing
    EXPECT_TRUE(h.view.boxes.empty());
    d.ConnectionTest();
    EXPECT_EQ(d.model().hardwareVersion, "02.01");
    EXPECT_EQ(d.model().firmwareVersion, "01.07");
    d.PickClock(3);
    d.Save();
  };
  h.Do(kIdSettings);
  EXPECT_EQ(h.view.settingsDialogs, 1);
  EXPECT_EQ(h.view.boxes, (std::vector<ShownBox>{{"dialog-info", "Connection successfully..."}}));
  EXPECT_EQ(h.view.lastDialogResult, SettingsDialogResult::Saved);
  EXPECT_EQ(h.NewestLog(), "Save Configuration.");
  EXPECT_EQ(h.state().log.Row(0).kind, LogKind::LogSuccess);
  const std::string saved = ReadFile(h.SettingsPath());
  EXPECT_NE(saved.find("COMPort=sim"), std::string::npos) << saved;
  EXPECT_NE(saved.find("ISPSpeed=3"), std::string::npos) << saved;
  EXPECT_EQ(h.state().portOverride, "");  // the saved port is used from now on
  EXPECT_TRUE(h.state().port.IsOpen());

  // The next start finds what was saved, and the dialog shows it.
  h.view.settingsScript = [](SettingsDialog& d) {
    EXPECT_EQ(d.model().clockIndex, 3);
    EXPECT_EQ(d.model().hardwareVersion, "02.01");  // quiet test of the saved port
    d.Cancel();
  };
  h.Do(kMenuSettings);
  EXPECT_EQ(h.view.boxes.size(), 1u);
}

TEST(SettingsDialogFlowTest, CancelStoresNothing) {
  AppHarness h;
  h.SaveSettings("sim:ATtiny13", 1);
  ASSERT_EQ(h.Start(), kExitOk);
  const std::string before = ReadFile(h.SettingsPath());
  const std::uint32_t mark = h.LogMark();
  h.view.settingsScript = [](SettingsDialog& d) {
    d.PickPort(0);
    d.PickClock(6);
    d.Cancel();
  };
  h.Do(kIdSettings);
  EXPECT_EQ(h.view.lastDialogResult, SettingsDialogResult::Cancelled);
  EXPECT_EQ(ReadFile(h.SettingsPath()), before);
  EXPECT_EQ(h.state().settings.COMPort, "sim:ATtiny13");
  EXPECT_EQ(h.state().settings.ISPSpeed, 1u);
  EXPECT_EQ(h.LogMark(), mark);
}

TEST(SettingsDialogFlowTest, SaveAlwaysWritesAndLogsAndPicksOutOfRangeAreIgnored) {
  AppHarness h;
  h.SaveSettings("sim", 2);
  ASSERT_EQ(h.Start(), kExitOk);
  std::filesystem::remove(h.SettingsPath());
  h.view.settingsScript = [](SettingsDialog& d) {
    d.PickClock(8);
    d.PickPort(5);
    d.Save();
  };
  h.Do(kIdSettings);
  EXPECT_EQ(h.NewestLog(), "Save Configuration.");
  const std::string saved = ReadFile(h.SettingsPath());
  EXPECT_NE(saved.find("COMPort=sim"), std::string::npos) << saved;
  EXPECT_NE(saved.find("ISPSpeed=2"), std::string::npos) << saved;
}

}  // namespace
}  // namespace bq::test
