#pragma once
// The persisted settings in the registry of the current user: a key holding COMPort as a
// string (REG_SZ) and ISPSpeed as a 32-bit number (REG_DWORD).

#include <cstdint>
#include <string>

#include "core/settings_store.h"

namespace bq {

// Under HKEY_CURRENT_USER.
inline constexpr const char* kRegistrySettingsKey = "Software\\Varno\\Brindlequartz";

class RegistrySettingsStore : public SettingsStore {
 public:
  // subKey is under HKEY_CURRENT_USER; tests give a key of their own.
  explicit RegistrySettingsStore(std::string subKey = kRegistrySettingsKey);
  ~RegistrySettingsStore() override;  // closes the key when still open
  RegistrySettingsStore(const RegistrySettingsStore&) = delete;
  RegistrySettingsStore& operator=(const RegistrySettingsStore&) = delete;

  // Opens the key, creating it (non-volatile, full access) when absent.
  OpenResult Open() override;
  // A string value (REG_SZ or REG_EXPAND_SZ) of at most 255 characters; false when absent,
  // of another type or longer. The text ends at its first zero.
  bool ReadString(const std::string& name, std::string& value) override;
  // A REG_DWORD value; false when absent or of another type or size.
  bool ReadNumber(const std::string& name, std::uint32_t& value) override;
  // REG_SZ holding the text with its terminating zero.
  bool WriteString(const std::string& name, const std::string& value) override;
  bool WriteNumber(const std::string& name, std::uint32_t value) override;
  // Closes the key; registry writes are permanent already. False when it was not open.
  bool Close() override;

  const std::string& subKey() const { return subKey_; }

  // Removes a key of HKEY_CURRENT_USER that has no subkeys, with its values; true when it
  // is gone (or was never there).
  static bool DeleteKey(const std::string& subKey);

 private:
  std::string subKey_;
  void* key_ = nullptr;  // the open HKEY; null while closed
};

}  // namespace bq
