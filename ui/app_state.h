#pragma once
// The one application state every front-end works on: part database, images, message log,
// editors, calibration list, chip selection, settings, and the engine thread with its port.
//
// Member order is release order reversed: the engine thread goes first (with its port),
// then the event queue, the editors, the images, the calibration list, the log and last the
// part database.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/buffer_commands.h"
#include "image/memory_buffer.h"
#include "link/serial_connection.h"
#include "link/serial_port.h"
#include "link/worker_events.h"
#include "parts/part_database.h"
#include "session/chip_prepare.h"
#include "session/job_runner.h"
#include "ui/calibration_view.h"
#include "ui/cell_editors.h"
#include "ui/chip_selection.h"
#include "ui/fuse_editor.h"
#include "ui/message_log.h"
#include "ui/question_view.h"
#include "ui/settings.h"
#include "ui/ui_event_queue.h"

namespace bq {

class AppState;

// Where the engine thread's events go: log lines straight into the message log (which
// serialises them), everything else into the queue the user-interface thread drains.
class AppEvents : public WorkerEvents {
 public:
  explicit AppEvents(AppState& app) : app_(app) {}
  void Deliver(WorkerEvent event) override;

 private:
  AppState& app_;
};

class AppState {
 public:
  // Drivers are asked in order which one opens a port name; more can be added to port later
  // (the simulator driver needs `parts`, so it is usually added after construction).
  explicit AppState(std::vector<std::shared_ptr<PortDriver>> drivers = {});
  ~AppState();  // stops the engine thread before anything it uses is released
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // Starts the engine thread. False when it cannot start.
  bool StartProgrammer();
  // What an event from the engine thread changes in the models, on the user-interface
  // thread: a memory read into its image, bytes read into an editor, a question asked with
  // question and its answer handed to the waiting job, a job's end. Log lines and progress
  // change nothing here.
  void Apply(WorkerEvent& event, QuestionView& question);
  // For callers without a message loop: waits for the engine thread and applies every event
  // until no job runs and nothing is queued.
  void Settle(QuestionView& question);
  // The chip the commands are for: the selected part and mode, the port, the programmer and
  // the ISP clock of the settings.
  ChipTarget Target() const;
  // The kind of programmer the chip commands use: programmerOverride, else the one of the
  // settings (our own for a name no driver has).
  ProgrammerKind ProgrammerChoice() const;

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
  // A kind of programmer used for this run instead of settings.Programmer: a simulated run of
  // a UPDI part is served by a simulated SerialUPDI adapter, one of a classic part by our own
  // programmer when SerialUPDI is saved. Saving the settings dialog clears it.
  std::optional<ProgrammerKind> programmerOverride;
  // The port chip commands open: portOverride, or settings.COMPort.
  const std::string& PortName() const {
    return portOverride.empty() ? settings.COMPort : portOverride;
  }
  // The flash was erased (Chip > Erase, or Program's erase) and nothing has been written into
  // it since: flash bits only clear with an erase, so a write over anything else leaves the
  // AND of the old and new bytes. Another chip chosen in the chip selector is not known to be
  // erased.
  bool flashErased = false;
  UiEventQueue queue;
  AppEvents events{*this};
  JobRunner jobs;
  // The engine's port: drivers are added here; it is open between commands.
  SerialPort& port = jobs.session().Port();
};

}  // namespace bq
