#pragma once
// A place that holds named values (a registry key, an INI file, a test double), opened for
// one load or one store. The settings logic works over it; the platforms implement it.

#include <cstdint>
#include <string>

namespace bq {

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

}  // namespace bq
