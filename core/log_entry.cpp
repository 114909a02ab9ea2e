#include "core/log_entry.h"

namespace bq {

const char* LogKindWord(LogKind kind) {
  switch (kind) {
    case LogKind::LogInfo: return "info";
    case LogKind::LogSuccess: return "success";
    case LogKind::LogWarning: return "warning";
    case LogKind::LogError: return "error";
  }
  return "info";
}

}  // namespace bq
