#pragma once
// What a worker (the programmer worker, an engine job) tells the user interface, as one
// value: a log line, a step of the progress bar, a memory read from the chip, fuse or lock
// bytes read from the chip, a question for the user, or the end of a request or job.
//
// Threads: Deliver may be called from any worker thread. An implementation hands the event
// on without waiting for the user-interface thread (which may itself be waiting for the
// worker). Events from one worker arrive in order and must be shown in that order. A
// worker never holds a lock of its own while it delivers.

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "core/log_entry.h"
#include "link/fuse_bytes.h"
#include "link/protocol.h"

namespace bq {

// One line of the message log, shown at once (newest first).
struct LogLine {
  LogKind kind = LogKind::LogInfo;
  std::string text;
};

// Progress bar. Determinate progress (memory read, verify, write, counted in pages):
//   Smooth, Range(pages), Position(0), Show, Position(pages done) once per packet, Hide.
// Busy display (blank check): Marquee, MarqueeStart, Show, and when the answer arrives
//   MarqueeStop, Hide.
// A failure of the first exchange of a transfer leaves the bar shown until the next
// operation that uses it.
enum class ProgressStep : std::uint8_t {
  Smooth,        // determinate style
  Marquee,       // busy (marquee) style
  Range,         // range 0 .. value
  Position,      // value
  MarqueeStart,  // animate, 15 ms per step
  MarqueeStop,
  Show,
  Hide,
};
struct ProgressEvent {
  ProgressStep step = ProgressStep::Hide;
  std::uint32_t value = 0;
};

// A memory (MEMORY_FLASH or MEMORY_EEPROM) was read from the chip. With image empty the
// worker already put it into the program's image; otherwise image holds the chip's bytes
// from address 0 and the receiver puts them into the image (0xFF beyond them). Either way
// the hex view of the memory is rebuilt.
struct MemoryRead {
  MemoryKind kind = MEMORY_FLASH;
  std::vector<std::uint8_t> image;
};

// Bytes were read from the chip for this editor. With bytes absent the worker already put
// them into the editor's slots; otherwise the slots marked present take their values. The
// editor's field and byte lists are rebuilt. A UPDI part's named fuse bytes come in named
// (by offset from its fuse base; withBytes false): the editor's named bytes take them.
struct FusesRead {
  FuseEditorKind editor = FuseEditorKind::Fuses;
  bool withBytes = false;
  FuseByteSlots bytes;
  std::vector<std::uint8_t> named{};
};

// A Yes/No question from a job that waits for the answer (see JobRunner::Answer).
struct Question {
  std::string text;
  std::string caption;
  bool defaultNo = false;  // Yes can cost the user the chip: No is the default button
};

// A request or job ended and the worker is idle again. command: the worker's request code
// (0 for an engine job); status: its LinkStatus. then, when set, runs on the receiving
// user-interface thread: the job's effect on the models (a selection, values shown).
struct Finished {
  std::uint8_t command = 0;
  std::uint8_t status = 0;
  std::function<void()> then;
};

using WorkerEvent = std::variant<LogLine, ProgressEvent, MemoryRead, FusesRead, Question, Finished>;

class WorkerEvents {
 public:
  virtual ~WorkerEvents() = default;
  virtual void Deliver(WorkerEvent event) = 0;

  // For producers.
  void Log(LogKind kind, const std::string& text) { Deliver(LogLine{kind, text}); }
  void Progress(ProgressStep step, std::uint32_t value = 0) { Deliver(ProgressEvent{step, value}); }
};

// For callers that only want the log lines (benchmarks, fuzzing, tests): every other event
// is ignored.
class LogOnlyWorkerEvents : public WorkerEvents {
 public:
  virtual void AppendLogEntry(LogKind kind, const std::string& text) = 0;
  void Deliver(WorkerEvent event) override {
    if (const auto* line = std::get_if<LogLine>(&event)) AppendLogEntry(line->kind, line->text);
  }
};

}  // namespace bq
