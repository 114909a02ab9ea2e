#pragma once
// The message log: every report of the program, one line each, newest first.
//
// Both the user-interface thread and the engine thread (and a programmer worker below it)
// append. Appends are serialised:
// every entry gets the next serial number, none is lost, and the entries of one thread keep
// the order in which that thread appended them. A view asks for row i when it paints it, so
// appending costs the same however long the log has grown.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "core/log_entry.h"

namespace bq {

// Told of every new entry, in serial order, on the thread that appended it. A listener may
// read rows of the log; it may append as well (the append then nests on the same thread).
class MessageLogListener {
 public:
  virtual ~MessageLogListener() = default;
  virtual void OnLogEntryAppended(std::uint32_t serial, const LogEntry& entry) = 0;
};

class MessageLog {
 public:
  MessageLog() = default;
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  // Stores the entry under NextSerial(), then tells the listener.
  void AppendLogEntry(LogKind kind, std::string text);

  // Serial number the next entry gets; equals the number of entries.
  std::uint32_t NextSerial() const;
  std::size_t RowCount() const { return NextSerial(); }
  // Row 0 is the newest entry, the last row the oldest. An empty entry beyond the end.
  LogEntry Row(std::size_t row) const;
  // The entry with this serial number (0 is the oldest). An empty entry beyond the end.
  LogEntry EntryBySerial(std::uint32_t serial) const;
  // All entries, oldest first.
  LogEntries Entries() const;

  // Empties the log and restarts the serial numbers at 0.
  void Clear();

  // One listener at most; null removes it. Set it before other threads append.
  void SetListener(MessageLogListener* listener);

 private:
  mutable std::mutex entriesMutex_;
  // Held across storing and notifying, so listeners hear entries in serial order. Recursive so
  // that a listener may append on the same thread.
  std::recursive_mutex notifyMutex_;
  std::deque<LogEntry> entries_;
  MessageLogListener* listener_ = nullptr;
};

}  // namespace bq
