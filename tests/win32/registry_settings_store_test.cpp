// The settings in the registry of the current user (here: Wine's), read and written through
// the same load and store logic as every front-end, in a key of the test's own.

#include "platform/win32/registry_settings_store.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/settings.h"

namespace bq {
namespace {

constexpr const char* kParentKey = "Software\\Varno\\BrindlequartzTests";

// One value as the registry holds it.
struct RawValue {
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> bytes;
  bool operator==(const RawValue&) const = default;
};

RawValue Text(const std::string& text, bool terminated = true) {
  RawValue v{REG_SZ, std::vector<std::uint8_t>(text.begin(), text.end())};
  if (terminated) v.bytes.push_back(0);
  return v;
}

RawValue Number(DWORD number, DWORD type = REG_DWORD) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&number);
  return RawValue{type, std::vector<std::uint8_t>(p, p + sizeof number)};
}

class RegistrySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = std::string(kParentKey) + "\\" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(RegistrySettingsStore::DeleteKey(key_));
  }
  void TearDown() override {
    RegistrySettingsStore::DeleteKey(key_);
    RegistrySettingsStore::DeleteKey(kParentKey);  // fails harmlessly while others remain
  }

  void Put(const char* name, const RawValue& value) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key, name, 0, value.type, value.bytes.data(),
                               static_cast<DWORD>(value.bytes.size())),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }

  // The value as stored, or nullopt when the key or the value is absent.
  std::optional<RawValue> Get(const char* name) const {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    RawValue value;
    DWORD size = 0;
    LONG r = ::RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
    if (r == ERROR_SUCCESS) {
      value.bytes.resize(size);
      r = ::RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.data(), &size);
    }
    ::RegCloseKey(key);
    if (r != ERROR_SUCCESS) return std::nullopt;
    return value;
  }

  std::string key_;
};

TEST_F(RegistrySettingsTest, FirstStartCreatesTheKeyWithTheDefaults) {
  RegistrySettingsStore store(key_);
  Settings settings;  // the Windows defaults
  EXPECT_EQ(LoadSettings(store, settings), SettingsLoadResult::Created);
  EXPECT_EQ(settings.COMPort, "COM1");
  EXPECT_EQ(settings.ISPSpeed, 0u);
  EXPECT_EQ(Get("COMPort"), Text("COM1"));
  EXPECT_EQ(Get("ISPSpeed"), Number(0));
  EXPECT_STREQ(IspClockListText(settings.ISPSpeed), "Auto");

  // The second start reads what the first one wrote.
  Settings again;
  again.COMPort = "elsewhere";
  again.ISPSpeed = 4;
  EXPECT_EQ(LoadSettings(store, again), SettingsLoadResult::Loaded);
  EXPECT_EQ(again.COMPort, "COM1");
  EXPECT_EQ(again.ISPSpeed, 0u);
}

TEST_F(RegistrySettingsTest, StoredValuesHaveTheirTypesAndReadBackExactly) {
  RegistrySettingsStore store(key_);
  for (const std::string port : {"COM12", "\\\\.\\COM3", "sim:ATmega328P:isp", "a b;c=d\"e"}) {
    SCOPED_TRACE(port);
    Settings out;
    out.COMPort = port;
    out.ISPSpeed = 6;
    out.Programmer = "stk500v1";
    ASSERT_TRUE(StoreSettings(store, out));
    EXPECT_EQ(Get("COMPort"), Text(port));  // REG_SZ with its terminating zero
    EXPECT_EQ(Get("ISPSpeed"), Number(6));  // REG_DWORD
    EXPECT_EQ(Get("Programmer"), Text("stk500v1"));
    Settings back;
    EXPECT_EQ(LoadSettings(store, back), SettingsLoadResult::Loaded);
    EXPECT_EQ(back.COMPort, port);
    EXPECT_EQ(back.ISPSpeed, 6u);
    EXPECT_EQ(back.Programmer, "stk500v1");
  }
}

// What a start finds in the key, what it makes of it and what the key holds afterwards.
TEST_F(RegistrySettingsTest, LoadingWhatTheKeyHolds) {
  const std::string longest(255, 'P');
  struct Case {
    const char* what;
    std::optional<RawValue> port, speed;  // as found; nullopt: absent
    SettingsLoadResult result;
    std::string loadedPort;
    std::uint32_t loadedSpeed;
    std::optional<RawValue> portAfter, speedAfter;
    bool portAfterChecked = true;  // false: the registry may add the missing zero
  };
  const Settings defaults;
  const Case cases[] = {
      {"both present", Text("COM7"), Number(2), SettingsLoadResult::Loaded, "COM7", 2, Text("COM7"),
       Number(2)},
      {"speed above the clock list is limited", Text("COM7"), Number(9), SettingsLoadResult::Loaded,
       "COM7", 7, Text("COM7"), Number(9)},
      {"port stored without its terminating zero", Text("COM8", false), Number(1),
       SettingsLoadResult::Loaded, "COM8", 1, std::nullopt, Number(1), false},
      {"port of 255 characters", Text(longest), Number(1), SettingsLoadResult::Loaded, longest, 1,
       Text(longest), Number(1)},
      {"port missing: defaults, nothing written", std::nullopt, Number(3),
       SettingsLoadResult::ComPortUnreadable, defaults.COMPort, defaults.ISPSpeed, std::nullopt,
       Number(3)},
      {"port too long for its buffer", Text(longest + "Q"), Number(3),
       SettingsLoadResult::ComPortUnreadable, defaults.COMPort, defaults.ISPSpeed,
       Text(longest + "Q"), Number(3)},
      {"port stored as a number", Number(5), Number(3), SettingsLoadResult::ComPortUnreadable,
       defaults.COMPort, defaults.ISPSpeed, Number(5), Number(3)},
      {"speed missing: 0, both written", Text("COM3"), std::nullopt,
       SettingsLoadResult::IspSpeedRewritten, "COM3", 0, Text("COM3"), Number(0)},
      {"speed stored as text", Text("COM3"), Text("5"), SettingsLoadResult::IspSpeedRewritten,
       "COM3", 0, Text("COM3"), Number(0)},
      {"speed of two bytes", Text("COM3"), RawValue{REG_BINARY, {5, 0}},
       SettingsLoadResult::IspSpeedRewritten, "COM3", 0, Text("COM3"), Number(0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(RegistrySettingsStore::DeleteKey(key_));
    Put("Other", Text("kept"));
    if (c.port) Put("COMPort", *c.port);
    if (c.speed) Put("ISPSpeed", *c.speed);
    RegistrySettingsStore store(key_);
    Settings settings;
    EXPECT_EQ(LoadSettings(store, settings), c.result);
    EXPECT_EQ(settings.COMPort, c.loadedPort);
    EXPECT_EQ(settings.ISPSpeed, c.loadedSpeed);
    if (c.portAfterChecked) {
      EXPECT_EQ(Get("COMPort"), c.portAfter);
    }
    EXPECT_EQ(Get("ISPSpeed"), c.speedAfter);
    EXPECT_EQ(Get("Other"), Text("kept"));
  }
}

// A key that cannot be created (a permanent key cannot live under a volatile one): defaults
// silently, and a store reports that nothing was written.
TEST_F(RegistrySettingsTest, AKeyThatCannotBeCreatedKeepsTheDefaults) {
  HKEY volatileKey = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &volatileKey, nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(volatileKey);
  const std::string below = key_ + "\\Settings";
  RegistrySettingsStore store(below);
  Settings settings;
  settings.COMPort = "COM4";
  settings.ISPSpeed = 2;
  EXPECT_EQ(LoadSettings(store, settings), SettingsLoadResult::StoreUnavailable);
  EXPECT_EQ(settings.COMPort, "COM4");
  EXPECT_EQ(settings.ISPSpeed, 2u);
  EXPECT_FALSE(StoreSettings(store, settings));
  HKEY key = nullptr;
  EXPECT_NE(::RegOpenKeyExA(HKEY_CURRENT_USER, below.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
}

TEST_F(RegistrySettingsTest, ReadsAndWritesNeedAnOpenKey) {
  RegistrySettingsStore store(key_);
  std::string text;
  std::uint32_t number = 0;
  EXPECT_FALSE(store.WriteString("COMPort", "COM1"));
  EXPECT_FALSE(store.WriteNumber("ISPSpeed", 1));
  EXPECT_FALSE(store.ReadString("COMPort", text));
  EXPECT_FALSE(store.ReadNumber("ISPSpeed", number));
  EXPECT_FALSE(store.Close());
  EXPECT_EQ(store.Open(), SettingsStore::OpenResult::Created);
  EXPECT_EQ(store.Open(), SettingsStore::OpenResult::Existing);  // reopening closes first
  EXPECT_TRUE(store.WriteString("COMPort", "COM1"));
  EXPECT_TRUE(store.Close());
  EXPECT_FALSE(store.WriteString("COMPort", "COM2"));
  EXPECT_EQ(Get("COMPort"), Text("COM1"));
}

}  // namespace
}  // namespace bq
