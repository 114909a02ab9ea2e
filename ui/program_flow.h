#pragma once
// Chip > "Program" of the desktop programs: erase, write and verify the flash image, then
// write and verify the EEPROM image when it holds data, as one job on the engine thread
// (the whole-chip flow of session/program_job.h, after the ISP clock). The log ends with
// one summary line: "PASS <port> <part> <seconds>s" or "FAIL <port> <part> <step>: <reason>",
// the reason taken from the result of the step that failed.

#include <chrono>
#include <string>

#include "ui/app_state.h"
#include "ui/operation_sequencing.h"

namespace bq {

class ProgramFlow {
 public:
  // Asks what ConfirmImageWrite asks, then starts the job; false (with the reason in the
  // log) when it could not start.
  bool Start(AppState& app, QuestionView& question);
};

}  // namespace bq
