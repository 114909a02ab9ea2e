// Starting and ending the desktop application, against the simulated programmer.

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

TEST(StartupTest, WithoutAPartListTheProgramEndsWithCodeOneBeforeAnyWindow) {
  AppHarness h("");
  EXPECT_EQ(h.Start(), kExitStartFailed);
  // The box names the file that was looked for.
  const std::string partList = (h.dir() / "PartList.cfg").string();
  EXPECT_EQ(h.view.boxes,
            (std::vector<ShownBox>{{"error", "PartList Load ERROR !!!\r\n\r\n" + partList +
                                                 ": the file cannot be read or holds no part"}}));
  EXPECT_TRUE(h.view.visible.empty());
  EXPECT_FALSE(h.state().jobs.IsStarted());
  EXPECT_FALSE(h.app().running());
  h.app().Command(kIdIdentify);  // nothing runs after a failed start
  EXPECT_EQ(h.state().log.NextSerial(), 0u);
}

TEST(StartupTest, APartListWithoutPartsCountsAsMissing) {
  AppHarness h("<!-- nothing here -->\n");
  EXPECT_EQ(h.Start(), kExitStartFailed);
  ASSERT_EQ(h.view.boxes.size(), 1u);
  EXPECT_EQ(h.view.boxes[0].text.rfind("PartList Load ERROR !!!\r\n\r\n", 0), 0u);
}

TEST(StartupTest, WithoutAPartListInAnyPlaceTheBoxNamesThePlacesLookedAt) {
  AppHarness h("");
  StartOptions options;
  FindStartPartList(options, h.dir() / "current", h.dir() / "bin");
  EXPECT_EQ(h.StartAsGiven(options), kExitStartFailed);
  ASSERT_EQ(h.view.boxes.size(), 1u);
  const std::string& text = h.view.boxes[0].text;
  EXPECT_EQ(text.rfind("PartList Load ERROR !!!\r\n\r\nno PartList.cfg found; looked for ", 0), 0u)
      << text;
  for (const char* place : {"current", "bin", "share"}) {
    EXPECT_NE(text.find(place), std::string::npos) << text;
  }
}

TEST(StartupTest, SimulateSelectsTheSimulatedPartInTheChipSelector) {
  for (const char* given : {"ATtiny85", "attiny85", "t85"}) {
    AppHarness h;
    StartOptions options;
    options.simulate = true;
    options.simulatePart = given;
    ASSERT_EQ(h.Start(options), kExitOk);
    EXPECT_EQ(h.app().selection().ChipSelectorText(), "ATtiny85") << given;
    EXPECT_EQ(h.app().selection().chip().name, "ATtiny85") << given;
  }
}

TEST(StartupTest, FirstStartSavesDefaultsAndRunsOnTheSimulator) {
  AppHarness h;
  ASSERT_EQ(h.Start(), kExitOk);
  EXPECT_TRUE(h.view.boxes.empty());
  // The platform's first port is what was saved; the simulator is only this run's port.
  const std::string saved = ReadFile(h.SettingsPath());
  EXPECT_NE(saved.find(std::string("COMPort=") + kDefaultComPort), std::string::npos) << saved;
  EXPECT_NE(saved.find("ISPSpeed=0"), std::string::npos) << saved;
  EXPECT_EQ(h.state().settings.COMPort, kDefaultComPort);
  EXPECT_EQ(h.state().PortName(), "sim");
  EXPECT_TRUE(h.state().port.IsOpen());
  EXPECT_EQ(h.NewestLog(), "Simulated programmer (sim) for this run");
  EXPECT_EQ(h.state().log.Row(0).kind, LogKind::LogWarning);

  // The main window as it first appears.
  EXPECT_EQ(h.app().tab(), MainTab::Flash);
  EXPECT_EQ(h.view.VisibleControls(), std::vector<int>{kIdFlashHexView});
  for (int t = 1; t < kTabCount; ++t) {  // every other page was hidden explicitly
    for (int id : Application::TabControls(static_cast<MainTab>(t))) {
      ASSERT_EQ(h.view.visible.count(id), 1u) << id;
      EXPECT_FALSE(h.view.visible[id]) << id;
    }
  }
  for (int id : kBufferToolbarButtons) EXPECT_TRUE(h.view.toolbarEnabled[id]) << id;
  for (int id : kBufferMenuItems) EXPECT_TRUE(h.view.menuEnabled[id]) << id;
  EXPECT_FALSE(h.view.progressVisible);
  EXPECT_EQ(h.app().selection().chipEntries(),
            (std::vector<std::string>{"ATmega8", "ATtiny13", "ATtiny85", "ISPONLY"}));
  EXPECT_EQ(h.app().selection().chipIndex(), 0);
  EXPECT_EQ(h.app().selection().modeEntries(), (std::vector<std::string>{"HVPP", "ISP"}));
  EXPECT_EQ(h.app().selection().SelectedProgMode(), 1);
  EXPECT_EQ(h.view.chipInfo.name, "ATmega8");
  EXPECT_EQ(h.view.chipInfo.signature, "0x1E 0x93 0x07");
  EXPECT_EQ(h.view.chipInfo.flash, "8 KB");
  EXPECT_EQ(h.view.chipInfo.eeprom, "512 Bytes");
  EXPECT_EQ(h.app().hexView(MEMORY_FLASH).RowCount(), 20480u);
  EXPECT_EQ(h.app().hexView(MEMORY_EEPROM).RowCount(), 512u);
  EXPECT_EQ(h.state().fuseEditor.byteRows().size(), 2u);  // LOW and HIGH
  EXPECT_EQ(h.state().lockEditor.ByteValue(kTargetLockBit), 0xFF);

  // The simulated chip answers at once.
  h.Do(kIdIdentify);
  EXPECT_EQ(h.NewestLog(), "Name: ATmega8, Signature: 0x1E9307, Connected to: Socket");
}

TEST(StartupTest, ASavedPortThatDoesNotOpenIsReportedAndTheProgramRunsOn) {
  AppHarness h;
  h.SaveSettings("ttyGONE", 0);
  ASSERT_EQ(h.Start(), kExitOk);
  EXPECT_EQ(h.view.boxes,
            (std::vector<ShownBox>{{"error", "Error Open Serial Port (ttyGONE) !!!"}}));
  EXPECT_TRUE(h.app().running());
  EXPECT_FALSE(h.state().port.IsOpen());
  // A chip command tries the port again and ends silently.
  const std::uint32_t mark = h.LogMark();
  h.Do(kIdReadChip);
  EXPECT_TRUE(h.LogSince(mark).empty());
  EXPECT_EQ(h.view.boxes.size(), 1u);
}

TEST(StartupTest, SimulateUsesTheSimulatorWithoutTouchingTheSavedPort) {
  AppHarness h;
  h.SaveSettings("ttyGONE", 2);
  const std::string before = ReadFile(h.SettingsPath());
  StartOptions options;
  options.simulate = true;
  options.simulatePart = "ATtiny13";
  ASSERT_EQ(h.Start(options), kExitOk);
  EXPECT_TRUE(h.view.boxes.empty());
  EXPECT_EQ(h.state().PortName(), "sim:ATtiny13");
  EXPECT_EQ(h.state().settings.COMPort, "ttyGONE");
  EXPECT_EQ(h.state().settings.ISPSpeed, 2u);
  h.Do(kIdIdentify);
  EXPECT_EQ(h.app().selection().ChipSelectorText(), "ATtiny13");
  EXPECT_EQ(h.app().selection().ModeSelectorText(), "HVSP");
  EXPECT_EQ(ReadFile(h.SettingsPath()), before);
}

TEST(StartupTest, AnUnreadablePortSettingIsShownAndNothingIsWritten) {
  AppHarness h;
  const std::string content = "[General]\nISPSpeed=3\n";
  std::filesystem::create_directories(std::filesystem::path(h.SettingsPath()).parent_path());
  std::ofstream(h.SettingsPath(), std::ios::binary) << content;
  ASSERT_EQ(h.Start(), kExitOk);
  ASSERT_GE(h.view.boxes.size(), 1u);
  EXPECT_EQ(h.view.boxes[0], (ShownBox{"notice", "Error Open Reg Val COMPort"}));
  EXPECT_EQ(h.state().settings.COMPort, kDefaultComPort);
  EXPECT_EQ(h.state().settings.ISPSpeed, 0u);
  EXPECT_EQ(ReadFile(h.SettingsPath()), content);
}

TEST(StartupTest, TheShippedPartListStarts) {
  std::ifstream in(std::string(BQ_SOURCE_DIR) + "/PartList.cfg", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  AppHarness h(s.str());
  ASSERT_EQ(h.Start(), kExitOk);
  EXPECT_GT(h.app().selection().chipEntries().size(), 50u);
  EXPECT_FALSE(h.view.chipInfo.name.empty());
}

TEST(StartupTest, StartOptions) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    bool simulate;
    std::string part;
    bool help = false;
    std::string partList = kPartListFile;
    std::string screenshots = "";
  };
  const Case cases[] = {
      {{}, true, false, ""},
      {{"--simulate"}, true, true, ""},
      {{"--simulate", "ATtiny13"}, true, true, "ATtiny13"},
      {{"--simulate=ATmega8"}, true, true, "ATmega8"},
      {{"--simulate", "--other"}, false, true, ""},
      {{"ATtiny13"}, false, false, ""},
      {{"--help"}, true, false, "", true},
      {{"-h", "--simulate"}, true, true, "", true},
      {{"--partlist", "/x/parts.cfg"}, true, false, "", false, "/x/parts.cfg"},
      {{"--partlist=parts.cfg", "--simulate"}, true, true, "", false, "parts.cfg"},
      {{"--partlist"}, false, false, ""},
      {{"--partlist="}, false, false, "", false, ""},
      {{"--screenshot-dir", "shots"}, true, false, "", false, kPartListFile, "shots"},
  };
  for (const Case& c : cases) {
    StartOptions options;
    std::string error;
    EXPECT_EQ(ParseStartOptions(c.args, options, error), c.ok) << error;
    EXPECT_EQ(options.simulate, c.simulate);
    EXPECT_EQ(options.simulatePart, c.part);
    EXPECT_EQ(options.help, c.help);
    EXPECT_EQ(options.partListPath, c.partList);
    EXPECT_EQ(options.screenshotDir, c.screenshots);
    EXPECT_EQ(error.empty(), c.ok);
  }
  // A named part list is used as given, never looked for elsewhere.
  StartOptions named;
  std::string error;
  ASSERT_TRUE(ParseStartOptions({"--partlist", "/x/parts.cfg"}, named, error));
  FindStartPartList(named, "/nowhere", "/nowhere/bin");
  EXPECT_EQ(named.partListPath, "/x/parts.cfg");
  EXPECT_EQ(named.partListNotFound, "");
  EXPECT_NE(DesktopHelpText().find("--partlist FILE"), std::string::npos);
}

TEST(StartupTest, ExitIsAskedOnlyWhileTheWorkerIsIdle) {
  AppHarness h;
  ASSERT_EQ(h.Start(), kExitOk);
  h.sim().LineFor("sim:ATmega8")->With([](SimProgrammer& p) {
    p.options().blankCheckTime = std::chrono::milliseconds(400);
  });
  h.app().Command(kIdBlankCheck);
  ASSERT_TRUE(h.state().jobs.IsBusy());
  EXPECT_FALSE(h.app().ConfirmExit());
  h.app().Command(kMenuExit);
  EXPECT_TRUE(std::none_of(h.view.boxes.begin(), h.view.boxes.end(),
                           [](const ShownBox& b) { return b.kind == "exit"; }));
  h.app().WaitIdleAndDrain();

  h.view.exitAnswers = {false, true};
  EXPECT_FALSE(h.app().ConfirmExit());
  EXPECT_EQ(h.view.boxes.back(), (ShownBox{"exit", "Are you sure you want to exit ?"}));
  EXPECT_FALSE(h.view.closed);
  EXPECT_TRUE(h.app().running());

  h.app().Command(kMenuExit);
  EXPECT_TRUE(h.view.closed);
  EXPECT_FALSE(h.app().running());
  // The worker is stopped and joined and the port closed before anything else goes.
  EXPECT_FALSE(h.state().jobs.IsStarted());
  EXPECT_FALSE(h.state().port.IsOpen());
  const std::uint32_t mark = h.LogMark();
  h.app().Command(kIdClearBuffer);
  EXPECT_EQ(h.LogMark(), mark);
  EXPECT_EQ(h.app().Drain(), 0u);  // the window is gone: nothing more is shown
}

TEST(StartupTest, EndingWhileTheWorkerRunsStopsItBeforeReleasingAnything) {
  AppHarness h;
  ASSERT_EQ(h.Start(), kExitOk);
  h.sim().LineFor("sim:ATmega8")->With([](SimProgrammer& p) {
    p.options().blankCheckTime = std::chrono::milliseconds(300);
  });
  const std::uint32_t started = h.LogMark();
  h.app().Command(kIdBlankCheck);
  ASSERT_TRUE(h.WaitForLog(started, "Read Signature"));  // the job's own lines are in
  const std::uint32_t mark = h.LogMark();
  h.app().Command(kIdWriteChip);  // refused: the blank check runs
  ASSERT_TRUE(h.state().jobs.IsBusy());
  h.app().Shutdown();
  EXPECT_FALSE(h.state().jobs.IsStarted());
  EXPECT_FALSE(h.state().port.IsOpen());
  // The worker may have reported the blank check it gave up; the refusal came first.
  EXPECT_EQ(h.LogSince(mark).at(0), "Programmer is BUSY !!!");
  // The harness then destroys the Application: images, editors and log go after the worker.
}

}  // namespace
}  // namespace bq::test
