#pragma once
// One line of the message log: the four kinds and their text.

#include <cstdint>
#include <string>
#include <vector>

namespace bq {

enum class LogKind : std::uint8_t {
  LogInfo = 0,
  LogSuccess = 1,
  LogWarning = 2,
  LogError = 3,
};

struct LogEntry {
  LogKind kind = LogKind::LogInfo;
  std::string text;

  bool operator==(const LogEntry&) const = default;
};

using LogEntries = std::vector<LogEntry>;

// "info", "success", "warning" or "error": the word the CLI prints before a line.
const char* LogKindWord(LogKind kind);

}  // namespace bq
