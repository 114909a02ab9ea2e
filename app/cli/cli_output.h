#pragma once
// How brindlequartz-cli prints log lines: "KIND: TEXT", one entry a line, in append order.

#include <cstdio>

#include "core/log_entry.h"

namespace bq::cli {

inline void PrintLogEntry(const LogEntry& entry) {
  std::printf("%s: %s\n", LogKindWord(entry.kind), entry.text.c_str());
  std::fflush(stdout);
}

inline void PrintLog(const LogEntries& entries) {
  for (const LogEntry& e : entries) PrintLogEntry(e);
}

}  // namespace bq::cli
