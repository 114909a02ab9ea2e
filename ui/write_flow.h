#pragma once
// Chip > "Write buffer into chip" of the desktop programs: the image of the tab in front goes
// into the chip; a flash image is then read back and compared, because flash bits only clear
// with an erase and a write over a programmed chip leaves the AND of old and new bytes. The
// verify starts when the worker reports the write done (RequestFinished, delivered on the
// user-interface thread); a difference is logged as an error that says whether the chip was
// erased first.

#include <cstdint>

#include "ui/app_state.h"
#include "ui/operation_sequencing.h"

namespace bq {

class WriteFlow {
 public:
  // Asks what ConfirmImageWrite asks, then starts the write; false (with the reason in the
  // log) when nothing was started.
  bool Start(AppState& app, QuestionView& question);
  // The worker ended a request: verify a flash write that succeeded, or judge the verify.
  void OnRequestFinished(AppState& app, std::uint8_t command, std::uint8_t status);
  bool running() const { return step_ != Step::Idle; }

 private:
  enum class Step { Idle, Write, Verify };
  Step step_ = Step::Idle;
  bool erasedBefore_ = false;
};

// The error logged when the flash differs from the buffer after a write, with the offset of
// the first byte that differs.
std::string FlashWriteMismatchText(std::uint32_t firstDifference, bool erasedBefore);

}  // namespace bq
