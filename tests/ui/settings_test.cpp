#include "ui/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "ui/ini_settings_store.h"

namespace bq {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TempDir {
 public:
  TempDir() {
    path = fs::temp_directory_path() /
           ("bq_settings_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
};

TEST(Settings, FirstLoadWritesTheDefaultsInQtLayout) {
  TempDir dir;
  IniSettingsStore store((dir.path / "Varno" / "Brindlequartz.conf").string());
  Settings s;
  EXPECT_EQ(LoadSettings(store, s), SettingsLoadResult::Created);
  EXPECT_EQ(s.COMPort, kDefaultComPort);
  EXPECT_EQ(s.ISPSpeed, 0u);
  EXPECT_EQ(ReadFile(dir.path / "Varno" / "Brindlequartz.conf"),
            std::string("[General]\nCOMPort=") + kDefaultComPort +
                "\nISPSpeed=0\nProgrammer=brindlequartz\n");
}

// A store written before the programmer could be chosen means our own protocol; a saved
// choice comes back as it was.
TEST(Settings, TheProgrammerIsOursUnlessOneWasSaved) {
  TempDir dir;
  const fs::path file = dir.path / "old.conf";
  std::ofstream(file) << "[General]\nCOMPort=ttyACM0\nISPSpeed=3\n";
  IniSettingsStore store(file.string());
  Settings s;
  s.Programmer = "stk500v1";
  EXPECT_EQ(LoadSettings(store, s), SettingsLoadResult::Loaded);
  EXPECT_EQ(s.Programmer, kDefaultProgrammer);
  s.Programmer = "stk500v2";
  ASSERT_TRUE(StoreSettings(store, s));
  Settings again;
  EXPECT_EQ(LoadSettings(store, again), SettingsLoadResult::Loaded);
  EXPECT_EQ(again.Programmer, "stk500v2");
  EXPECT_EQ(again.COMPort, "ttyACM0");
}

TEST(Settings, RoundTripKeepsPortNameExactlyAndOtherKeys) {
  TempDir dir;
  const fs::path file = dir.path / "b.conf";
  {
    std::ofstream out(file);
    out << "[General]\nGeometry=@ByteArray(x)\n\n[Recent]\nfile=a.hex\n";
  }
  IniSettingsStore store(file.string());
  Settings s;
  s.COMPort = "/dev/serial/by-id/usb-FTDI_a,b;c=\"d\"\\e";
  s.ISPSpeed = 5;
  ASSERT_TRUE(StoreSettings(store, s));
  Settings back;
  EXPECT_EQ(LoadSettings(store, back), SettingsLoadResult::Loaded);
  EXPECT_EQ(back.COMPort, s.COMPort);
  EXPECT_EQ(back.ISPSpeed, 5u);
  const std::string text = ReadFile(file);
  EXPECT_NE(text.find("Geometry=@ByteArray(x)\nCOMPort="), std::string::npos) << text;
  EXPECT_NE(text.find("[Recent]\nfile=a.hex"), std::string::npos) << text;
}

TEST(Settings, IspSpeedIsClampedAndAMissingOneIsRewritten) {
  TempDir dir;
  const fs::path file = dir.path / "b.conf";
  struct Case {
    const char* content;
    SettingsLoadResult result;
    const char* port;
    std::uint32_t speed;
  } cases[] = {
      {"[General]\nCOMPort=ttyUSB0\nISPSpeed=9\n", SettingsLoadResult::Loaded, "ttyUSB0", 7},
      {"[General]\nCOMPort=ttyUSB0\nISPSpeed=4294967295\n", SettingsLoadResult::Loaded, "ttyUSB0",
       7},
      {"[General]\nCOMPort=ttyUSB1\n", SettingsLoadResult::IspSpeedRewritten, "ttyUSB1", 0},
      {"[General]\nCOMPort=ttyUSB1\nISPSpeed=fast\n", SettingsLoadResult::IspSpeedRewritten,
       "ttyUSB1", 0},
      {"[General]\nISPSpeed=3\n", SettingsLoadResult::ComPortUnreadable, "keep", 2},
      {"[Other]\nCOMPort=ttyS0\n", SettingsLoadResult::ComPortUnreadable, "keep", 2},
  };
  for (const Case& c : cases) {
    {
      std::ofstream out(file);
      out << c.content;
    }
    IniSettingsStore store(file.string());
    Settings s{"keep", 2};
    EXPECT_EQ(LoadSettings(store, s), c.result) << c.content;
    EXPECT_EQ(s.COMPort, c.port) << c.content;
    EXPECT_EQ(s.ISPSpeed, c.speed) << c.content;
    if (c.result == SettingsLoadResult::IspSpeedRewritten) {
      EXPECT_NE(ReadFile(file).find("ISPSpeed=0"), std::string::npos);
    }
    if (c.result == SettingsLoadResult::ComPortUnreadable) {
      EXPECT_EQ(ReadFile(file), c.content);
    }
  }
}

#ifndef _WIN32  // the XDG folders are where POSIX desktops keep settings
TEST(Settings, DefaultPathFollowsXdgConfigHome) {
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = oldXdg ? oldXdg : "";
  setenv("XDG_CONFIG_HOME", "/tmp/xdgtest", 1);
  EXPECT_EQ(DefaultSettingsPath(), "/tmp/xdgtest/Varno/Brindlequartz.conf");
  setenv("XDG_CONFIG_HOME", "", 1);
  const char* home = std::getenv("HOME");
  if (home != nullptr) {
    EXPECT_EQ(DefaultSettingsPath(), std::string(home) + "/.config/Varno/Brindlequartz.conf");
  }
  if (oldXdg != nullptr) {
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
}
#endif

TEST(Settings, UnwritableStoreFailsQuietly) {
  IniSettingsStore none("");
  Settings s;
  EXPECT_EQ(LoadSettings(none, s), SettingsLoadResult::StoreUnavailable);
  EXPECT_FALSE(StoreSettings(none, s));
  TempDir dir;
  const fs::path blocker = dir.path / "file";
  std::ofstream(blocker) << "x";
  IniSettingsStore under((blocker / "Varno" / "b.conf").string());
  EXPECT_FALSE(StoreSettings(under, s));
}

TEST(Settings, ClockListTexts) {
  EXPECT_STREQ(IspClockListText(0), "Auto");
  EXPECT_STREQ(IspClockListText(1), "3.686 MHz");
  EXPECT_STREQ(IspClockListText(7), "57.60 kHz");
  EXPECT_STREQ(IspClockListText(8), "");
}

}  // namespace
}  // namespace bq
