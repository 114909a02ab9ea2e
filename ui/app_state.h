#pragma once
// The one application state every front-end works on: part database, images, message log,
// editors, calibration list, chip selection, settings, serial port and programmer worker.
//
// Member order is release order reversed: the worker goes first, then the serial port,
// the editors, the images, the calibration list, the log and last the part database.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/buffer_commands.h"
#include "image/memory_buffer.h"
#include "link/programmer.h"
#include "link/serial_connection.h"
#include "link/serial_port.h"
#include "link/worker_events.h"
#include "parts/part_database.h"
#include "ui/calibration_view.h"
#include "ui/cell_editors.h"
#include "ui/chip_selection.h"
#include "ui/fuse_editor.h"
#include "ui/message_log.h"
#include "ui/settings.h"

namespace bq {

class AppState;

// Delivers the worker's events: log lines go straight into the message log (which
// serialises them); everything else goes to the front-end, which shows it on its own
// thread. Without a front-end, fuse redraws are applied to the editors at once (for callers
// that only look at the models after the worker is idle).
class AppWorkerEvents : public WorkerEvents {
 public:
  explicit AppWorkerEvents(AppState& app) : app_(app) {}
  void SetFrontEnd(WorkerEvents* frontEnd) { frontEnd_ = frontEnd; }

  void AppendLogEntry(LogKind kind, const std::string& text) override;
  void ProgressSmooth() override;
  void ProgressMarquee() override;
  void ProgressRange(std::uint16_t maximum) override;
  void ProgressPosition(std::uint32_t position) override;
  void ProgressMarqueeStart() override;
  void ProgressMarqueeStop() override;
  void ProgressShow() override;
  void ProgressHide() override;
  void RefillHexView(MemoryKind kind) override;
  void RedrawFuseEditor(FuseEditorKind editor) override;
  void RequestFinished(std::uint8_t command, std::uint8_t status) override;

 private:
  AppState& app_;
  WorkerEvents* frontEnd_ = nullptr;
};

class AppState {
 public:
  // Drivers are asked in order which one opens a port name; more can be added to port later
  // (the simulator driver needs `parts`, so it is usually added after construction).
  explicit AppState(std::vector<std::shared_ptr<PortDriver>> drivers = {});
  ~AppState();  // stops the worker before anything it uses is released
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // Starts the worker on the port, images, editors and events. False when it cannot start.
  bool StartProgrammer();
  // A front-end that shows progress, hex views and editor redraws on its own thread; null
  // for none. Set it before starting the programmer.
  void SetFrontEnd(WorkerEvents* frontEnd) { events.SetFrontEnd(frontEnd); }
  // A front-end calls this on its user-interface thread for RedrawFuseEditor.
  void ApplyFuseEditorRedraw(FuseEditorKind editor);

  // The tab in front: EEPROM selects the EEPROM for chip commands, any other tab the flash.
  BufferTab tab = BufferTab::Flash;

  PartDatabase parts;
  MessageLog log;
  CalibrationView calibration{parts};
  MemoryBuffer flash{kFlashBufferBytes};
  MemoryBuffer eeprom{kEepromBufferBytes};
  FuseEditor fuseEditor{FuseEditorKind::Fuses, parts};
  FuseEditor lockEditor{FuseEditorKind::LockBits, parts};
  CellEditors cells;
  ChipSelection selection{parts, &fuseEditor, &lockEditor, &calibration};
  Settings settings;
  // A port used for this run instead of settings.COMPort ("sim" when the program was started
  // to simulate, or on a first start); "" for none. Saving the settings dialog clears it.
  std::string portOverride;
  // The port chip commands open: portOverride, or settings.COMPort.
  const std::string& PortName() const {
    return portOverride.empty() ? settings.COMPort : portOverride;
  }
  // The flash was erased (Chip > Erase, or Program's erase) and nothing has been written into
  // it since: flash bits only clear with an erase, so a write over anything else leaves the
  // AND of the old and new bytes. Another chip chosen in the chip selector is not known to be
  // erased.
  bool flashErased = false;
  SerialPort port;
  AppWorkerEvents events{*this};
  CProgrammer programmer;
};

}  // namespace bq
