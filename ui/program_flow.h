#pragma once
// Chip > "Program" of the desktop programs: erase, write and verify the flash image, then
// write and verify the EEPROM image when it holds data. Each step starts when the worker
// reports the previous one done (RequestFinished, delivered on the user-interface thread),
// so that thread never waits for a transfer. The log ends with one summary line:
// "PASS <port> <part> <seconds>s" or "FAIL <port> <part> <step>: <reason>".

#include <chrono>
#include <cstdint>

#include "ui/app_state.h"
#include "ui/operation_sequencing.h"

namespace bq {

class ProgramFlow {
 public:
  // Starts the job; false (with the reason in the log) when it could not start.
  bool Start(AppState& app, QuestionView& question);
  // The worker ended a request: go on with the next step, or end the job.
  void OnRequestFinished(AppState& app, QuestionView& question, std::uint8_t command,
                         std::uint8_t status);
  bool running() const { return step_ != Step::Idle; }

 private:
  enum class Step { Idle, FlashWrite, FlashVerify, EepromWrite, EepromVerify };
  bool Begin(AppState& app, QuestionView& question, BufferTab memory, bool verify, Step step);
  void Finish(AppState& app, const char* step, const std::string& reason);

  Step step_ = Step::Idle;
  bool eeprom_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace bq
