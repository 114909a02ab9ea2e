#include "platform/win32/registry_settings_store.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

namespace bq {
namespace {

// The text buffer a value is read into; a longer value is not read.
constexpr DWORD kStringBufferBytes = 256;

}  // namespace

RegistrySettingsStore::RegistrySettingsStore(std::string subKey) : subKey_(std::move(subKey)) {}

RegistrySettingsStore::~RegistrySettingsStore() {
  Close();
}

SettingsStore::OpenResult RegistrySettingsStore::Open() {
  Close();
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return OpenResult::Failed;
  }
  key_ = key;
  return disposition == REG_CREATED_NEW_KEY ? OpenResult::Created : OpenResult::Existing;
}

bool RegistrySettingsStore::ReadString(const std::string& name, std::string& value) {
  if (key_ == nullptr) return false;
  char buffer[kStringBufferBytes] = {};
  DWORD type = 0;
  DWORD size = sizeof buffer;
  if (::RegQueryValueExA(static_cast<HKEY>(key_), name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
    return false;
  }
  // Another type's bytes read as text would name a port nobody configured.
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  value.assign(buffer, ::strnlen(buffer, size));
  return true;
}

bool RegistrySettingsStore::ReadNumber(const std::string& name, std::uint32_t& value) {
  if (key_ == nullptr) return false;
  DWORD number = 0;
  DWORD type = 0;
  DWORD size = sizeof number;
  if (::RegQueryValueExA(static_cast<HKEY>(key_), name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(&number), &size) != ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_DWORD || size != sizeof number) return false;
  value = number;
  return true;
}

bool RegistrySettingsStore::WriteString(const std::string& name, const std::string& value) {
  if (key_ == nullptr || value.size() >= MAXDWORD) return false;
  return ::RegSetValueExA(static_cast<HKEY>(key_), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool RegistrySettingsStore::WriteNumber(const std::string& name, std::uint32_t value) {
  if (key_ == nullptr) return false;
  const DWORD number = value;
  return ::RegSetValueExA(static_cast<HKEY>(key_), name.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&number), sizeof number) == ERROR_SUCCESS;
}

bool RegistrySettingsStore::Close() {
  if (key_ == nullptr) return false;
  const LONG result = ::RegCloseKey(static_cast<HKEY>(key_));
  key_ = nullptr;
  return result == ERROR_SUCCESS;
}

bool RegistrySettingsStore::DeleteKey(const std::string& subKey) {
  const LONG result = ::RegDeleteKeyA(HKEY_CURRENT_USER, subKey.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace bq
