#pragma once
// The one way the programmer worker touches the user interface: log lines, the progress
// bar, refilled hex views and redrawn fuse editors.
//
// Threads: EVERY call may come from the worker thread (and log lines also from the
// user-interface thread through other code). An implementation delivers them to its
// user interface without waiting for the user-interface thread: the user-interface
// thread may itself be blocked waiting for the worker (a waited request), so a call
// that blocks until the user-interface thread handles it can deadlock. Calls from the
// worker arrive in order and must be shown in that order.
// The worker never holds a lock of its own while it calls these.

#include <cstdint>
#include <string>

#include "core/log_entry.h"
#include "link/fuse_bytes.h"
#include "link/protocol.h"

namespace bq {

class WorkerEvents {
 public:
  virtual ~WorkerEvents() = default;

  // One line of the message log, shown at once (newest first).
  virtual void AppendLogEntry(LogKind kind, const std::string& text) = 0;

  // Progress bar. Determinate progress (memory read, verify, write, counted in pages):
  //   ProgressSmooth, ProgressRange(pages), ProgressPosition(0), ProgressShow,
  //   ProgressPosition(pages done) once per packet, ProgressHide when the loop ends.
  // Busy display (blank check): ProgressMarquee, ProgressMarqueeStart, ProgressShow,
  //   and when the answer arrives ProgressMarqueeStop, ProgressHide.
  // A failure of the first exchange of a transfer leaves the bar shown until the next
  // operation that uses it.
  virtual void ProgressSmooth() = 0;                      // determinate style
  virtual void ProgressMarquee() = 0;                     // busy (marquee) style
  virtual void ProgressRange(std::uint16_t maximum) = 0;  // range 0 .. maximum
  virtual void ProgressPosition(std::uint32_t position) = 0;
  virtual void ProgressMarqueeStart() = 0;  // animate, 15 ms per step
  virtual void ProgressMarqueeStop() = 0;
  virtual void ProgressShow() = 0;
  virtual void ProgressHide() = 0;

  // The image of this memory kind (MEMORY_FLASH or MEMORY_EEPROM) was read from the chip:
  // rebuild its hex view from the buffer.
  virtual void RefillHexView(MemoryKind kind) = 0;

  // Bytes were read from the chip into this editor's slots: redraw its field list and
  // rebuild its byte list.
  virtual void RedrawFuseEditor(FuseEditorKind editor) = 0;

  // A request ended and the worker is idle again: its command code and LinkStatus. Flows of
  // several steps start their next step from here instead of waiting for the worker.
  virtual void RequestFinished(std::uint8_t /*command*/, std::uint8_t /*status*/) {}
};

// For callers that only want the log lines (benchmarks, fuzzing, tests): every progress,
// view and editor event is ignored.
class LogOnlyWorkerEvents : public WorkerEvents {
 public:
  void ProgressSmooth() override {}
  void ProgressMarquee() override {}
  void ProgressRange(std::uint16_t) override {}
  void ProgressPosition(std::uint32_t) override {}
  void ProgressMarqueeStart() override {}
  void ProgressMarqueeStop() override {}
  void ProgressShow() override {}
  void ProgressHide() override {}
  void RefillHexView(MemoryKind) override {}
  void RedrawFuseEditor(FuseEditorKind) override {}
};

}  // namespace bq
