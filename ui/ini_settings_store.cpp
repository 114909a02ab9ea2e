#include "ui/ini_settings_store.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/text.h"
#include "core/utf8_path.h"

namespace bq {

namespace {

constexpr const char* kGeneral = "[General]";

bool IsSectionLine(const std::string& line) {
  const std::string t = TrimBlanks(line);
  return !t.empty() && t.front() == '[';
}

}  // namespace

std::string DefaultSettingsPath() {
  std::filesystem::path base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg != '\0') {
    base = PathFromUtf8(xdg);
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return "";
    base = PathFromUtf8(home) / ".config";
  }
  return Utf8FromPath(base / "Varno" / "Brindlequartz.conf");
}

std::string EncodeIniValue(const std::string& value) {
  bool quote = value.empty() ? false : (value.front() == ' ' || value.back() == ' ');
  for (char c : value) {
    if (c == ';' || c == ',' || c == '=' || c == '"' || c == '\\' || c == '#' ||
        static_cast<unsigned char>(c) < 0x20) {
      quote = true;
    }
  }
  if (!quote) return value;
  std::string out = "\"";
  for (char c : value) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  out += '"';
  return out;
}

std::string DecodeIniValue(const std::string& text) {
  const std::string t = TrimBlanks(text);
  std::string out;
  bool inQuotes = false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '"') {
      inQuotes = !inQuotes;
    } else if (c == '\\' && i + 1 < t.size()) {
      const char n = t[++i];
      switch (n) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        default:
          out += n;
      }
    } else {
      out += c;
    }
  }
  return out;
}

SettingsStore::OpenResult IniSettingsStore::Open() {
  lines_.clear();
  dirty_ = false;
  open_ = false;
  if (path_.empty()) return OpenResult::Failed;
  std::error_code ec;
  const std::filesystem::path file = PathFromUtf8(path_);
  if (!std::filesystem::exists(file, ec)) {
    if (ec) return OpenResult::Failed;
    open_ = true;
    return OpenResult::Created;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return OpenResult::Failed;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(line);
  }
  open_ = true;
  return OpenResult::Existing;
}

int IniSettingsStore::FindKey(const std::string& name) const {
  bool inGeneral = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const std::string t = TrimBlanks(lines_[i]);
    if (IsSectionLine(t)) {
      inGeneral = (t == kGeneral);
      continue;
    }
    if (!inGeneral) continue;
    const auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    if (TrimBlanks(t.substr(0, eq)) == name) return static_cast<int>(i);
  }
  return -1;
}

bool IniSettingsStore::ReadString(const std::string& name, std::string& value) {
  if (!open_) return false;
  const int i = FindKey(name);
  if (i < 0) return false;
  const std::string& line = lines_[static_cast<std::size_t>(i)];
  value = DecodeIniValue(line.substr(line.find('=') + 1));
  return true;
}

bool IniSettingsStore::ReadNumber(const std::string& name, std::uint32_t& value) {
  std::string text;
  if (!ReadString(name, text)) return false;
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFFull) return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

bool IniSettingsStore::SetValue(const std::string& name, const std::string& encoded) {
  if (!open_) return false;
  const std::string line = name + "=" + encoded;
  const int i = FindKey(name);
  if (i >= 0) {
    lines_[static_cast<std::size_t>(i)] = line;
  } else {
    // Append to the [General] section, creating it at the top when absent.
    std::size_t at = lines_.size();
    bool found = false;
    for (std::size_t k = 0; k < lines_.size(); ++k) {
      if (TrimBlanks(lines_[k]) == kGeneral) {
        found = true;
        at = k + 1;
        while (at < lines_.size() && !IsSectionLine(lines_[at])) ++at;
        // Keep a blank line that separates sections after the new key.
        while (at > k + 1 && TrimBlanks(lines_[at - 1]).empty()) --at;
        break;
      }
    }
    if (!found) {
      lines_.insert(lines_.begin(), {kGeneral, line});
      if (lines_.size() > 2) lines_.insert(lines_.begin() + 2, "");
    } else {
      lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
    }
  }
  dirty_ = true;
  return true;
}

bool IniSettingsStore::WriteString(const std::string& name, const std::string& value) {
  return SetValue(name, EncodeIniValue(value));
}

bool IniSettingsStore::WriteNumber(const std::string& name, std::uint32_t value) {
  return SetValue(name, std::to_string(value));
}

bool IniSettingsStore::Close() {
  if (!open_) return false;
  open_ = false;
  if (!dirty_) return true;
  dirty_ = false;
  const std::filesystem::path target = PathFromUtf8(path_);
  std::error_code ec;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
  // Written beside the target and renamed over it, so a crash never leaves half a file.
  const std::filesystem::path temp = PathFromUtf8(path_ + ".tmp");
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const std::string& line : lines_) out << line << '\n';
    out.flush();
    if (!out) {
      out.close();
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace bq
