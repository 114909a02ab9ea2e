#pragma once
// The two settings that persist between runs: the programmer's port and the ISP clock.
//
// The logic of reading and writing them works over an abstract store (a registry key, an
// INI file, a test double); IniSettingsStore is the file the POSIX programs use.

#include <cstdint>
#include <string>

namespace bq {

// The defaults when nothing is stored: the first serial port of the platform (never the
// simulator, so that a production script without a configured port fails instead of
// "programming" a simulated chip), and automatic ISP clock detection.
#ifdef _WIN32
inline constexpr const char* kDefaultComPort = "COM1";
#else
inline constexpr const char* kDefaultComPort = "ttyUSB0";
#endif
inline constexpr std::uint32_t kDefaultIspSpeed = 0;
inline constexpr std::uint32_t kMaxIspSpeed = 7;

inline constexpr const char* kComPortReadError = "Error Open Reg Val COMPort";

struct Settings {
  std::string COMPort = kDefaultComPort;
  std::uint32_t ISPSpeed = kDefaultIspSpeed;  // IspClockIndex, 0 = automatic
};

// A place that holds named values, opened for one load or one store.
class SettingsStore {
 public:
  enum class OpenResult { Failed, Created, Existing };

  virtual ~SettingsStore() = default;
  // Opens the settings, creating them when absent.
  virtual OpenResult Open() = 0;
  virtual bool ReadString(const std::string& name, std::string& value) = 0;
  virtual bool ReadNumber(const std::string& name, std::uint32_t& value) = 0;
  virtual bool WriteString(const std::string& name, const std::string& value) = 0;
  virtual bool WriteNumber(const std::string& name, std::uint32_t value) = 0;
  // Ends the open; a store that buffers writes makes them permanent here. False when that failed.
  virtual bool Close() = 0;
};

enum class SettingsLoadResult {
  Loaded,             // both values read (ISPSpeed possibly clamped)
  Created,            // nothing was stored: the defaults were written
  StoreUnavailable,   // the store could not be opened: defaults, silently
  ComPortUnreadable,  // the front-end shows kComPortReadError; defaults kept, nothing written
  IspSpeedRewritten,  // ISPSpeed was missing: 0 used and both values written
};

// Reads both values into settings. ISPSpeed above 7 is limited to 7.
SettingsLoadResult LoadSettings(SettingsStore& store, Settings& settings);
// Writes both values; false when the store could not be opened or written.
bool StoreSettings(SettingsStore& store, const Settings& settings);

// The entry of the settings dialog's clock list for an ISPSpeed value: "Auto" for 0,
// "3.686 MHz" .. "57.60 kHz" for 1..7, "" otherwise.
const char* IspClockListText(std::uint32_t index);

}  // namespace bq
