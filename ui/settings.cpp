#include "ui/settings.h"

#include <algorithm>

#include "link/protocol.h"

namespace bq {

namespace {
constexpr const char* kComPortName = "COMPort";
constexpr const char* kIspSpeedName = "ISPSpeed";
constexpr const char* kProgrammerName = "Programmer";
}  // namespace

SettingsLoadResult LoadSettings(SettingsStore& store, Settings& settings) {
  const SettingsStore::OpenResult opened = store.Open();
  if (opened == SettingsStore::OpenResult::Failed) return SettingsLoadResult::StoreUnavailable;
  if (opened == SettingsStore::OpenResult::Created) {
    store.Close();
    StoreSettings(store, settings);
    return SettingsLoadResult::Created;
  }
  std::string port;
  if (!store.ReadString(kComPortName, port)) {
    store.Close();
    return SettingsLoadResult::ComPortUnreadable;
  }
  settings.COMPort = port;
  std::uint32_t speed = 0;
  const bool haveSpeed = store.ReadNumber(kIspSpeedName, speed);
  std::string programmer;
  settings.Programmer = store.ReadString(kProgrammerName, programmer) && !programmer.empty()
                            ? programmer
                            : kDefaultProgrammer;
  store.Close();
  if (!haveSpeed) {
    settings.ISPSpeed = kDefaultIspSpeed;
    StoreSettings(store, settings);
    return SettingsLoadResult::IspSpeedRewritten;
  }
  // A value beyond the clock list would leave the settings dialog without a selection.
  settings.ISPSpeed = std::min(speed, kMaxIspSpeed);
  return SettingsLoadResult::Loaded;
}

bool StoreSettings(SettingsStore& store, const Settings& settings) {
  if (store.Open() == SettingsStore::OpenResult::Failed) return false;
  bool ok = store.WriteString(kComPortName, settings.COMPort);
  ok = store.WriteNumber(kIspSpeedName, settings.ISPSpeed) && ok;
  ok = store.WriteString(kProgrammerName, settings.Programmer) && ok;
  return store.Close() && ok;
}

const char* IspClockListText(std::uint32_t index) {
  if (index == 0) return "Auto";
  if (index > kMaxIspSpeed) return "";
  return IspClockText(static_cast<std::uint8_t>(index));
}

}  // namespace bq
