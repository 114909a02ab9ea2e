#pragma once
// Settings kept in an INI file in the layout Qt's QSettings uses on Linux: a [General]
// section with one "name=value" line per value. Other sections and keys in the file are kept
// as they are when values are written.

#include <cstdint>
#include <string>
#include <vector>

#include "ui/settings.h"

namespace bq {

// $XDG_CONFIG_HOME/Varno/Brindlequartz.conf, or $HOME/.config/Varno/Brindlequartz.conf when
// XDG_CONFIG_HOME is unset or empty; "" when neither variable is set.
std::string DefaultSettingsPath();

class IniSettingsStore : public SettingsStore {
 public:
  explicit IniSettingsStore(std::string path) : path_(std::move(path)) {}

  // Reads the file. A missing file counts as created (it is written by Close); a file that
  // exists but cannot be read, or an empty path, fails.
  OpenResult Open() override;
  bool ReadString(const std::string& name, std::string& value) override;
  bool ReadNumber(const std::string& name, std::uint32_t& value) override;
  bool WriteString(const std::string& name, const std::string& value) override;
  bool WriteNumber(const std::string& name, std::uint32_t value) override;
  // Writes the file when values changed (creating its folder, replacing the file as a whole).
  bool Close() override;

  const std::string& path() const { return path_; }

 private:
  // Index of the line "name=..." in [General], or -1.
  int FindKey(const std::string& name) const;
  bool SetValue(const std::string& name, const std::string& encoded);

  std::string path_;
  std::vector<std::string> lines_;
  bool open_ = false;
  bool dirty_ = false;
};

// The value text as Qt writes it: plain, or in double quotes with backslash escapes when it
// holds characters the INI syntax would misread.
std::string EncodeIniValue(const std::string& value);
// The inverse: strips quotes, resolves escapes, trims blanks outside quotes.
std::string DecodeIniValue(const std::string& text);

}  // namespace bq
