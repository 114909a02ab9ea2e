#pragma once
// The settings that persist between runs: the programmer's port, the ISP clock and the kind
// of programmer.
//
// The logic of reading and writing them works over an abstract store (a registry key, an
// INI file, a test double); IniSettingsStore is the file the POSIX programs use.

#include <cstdint>
#include <string>

#include "core/settings_store.h"

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

// The kind of programmer when none is stored: our own protocol.
inline constexpr const char* kDefaultProgrammer = "brindlequartz";

struct Settings {
  std::string COMPort = kDefaultComPort;
  std::uint32_t ISPSpeed = kDefaultIspSpeed;  // IspClockIndex, 0 = automatic
  std::string Programmer = kDefaultProgrammer;  // a ProgrammerInfo name
};

enum class SettingsLoadResult {
  Loaded,             // the values read (ISPSpeed possibly clamped; Programmer may be absent)
  Created,            // nothing was stored: the defaults were written
  StoreUnavailable,   // the store could not be opened: defaults, silently
  ComPortUnreadable,  // the front-end shows kComPortReadError; defaults kept, nothing written
  IspSpeedRewritten,  // ISPSpeed was missing: 0 used and both values written
};

// Reads the values into settings. ISPSpeed above 7 is limited to 7; a store without
// Programmer means our own protocol.
SettingsLoadResult LoadSettings(SettingsStore& store, Settings& settings);
// Writes the values; false when the store could not be opened or written.
bool StoreSettings(SettingsStore& store, const Settings& settings);

// The entry of the settings dialog's clock list for an ISPSpeed value: "Auto" for 0,
// "3.686 MHz" .. "57.60 kHz" for 1..7, "" otherwise.
const char* IspClockListText(std::uint32_t index);

}  // namespace bq
