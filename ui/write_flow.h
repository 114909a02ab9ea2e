#pragma once
// Chip > "Write buffer into chip" of the desktop programs: the image of the tab in front goes
// into the chip; a flash image is then read back and compared in the same job, because flash
// bits only clear with an erase and a write over a programmed chip leaves the AND of old and
// new bytes. A difference is logged as an error that says whether the chip was erased first.

#include <cstdint>
#include <string>

#include "ui/app_state.h"
#include "ui/operation_sequencing.h"

namespace bq {

class WriteFlow {
 public:
  // Asks what ConfirmImageWrite asks, then starts the job; false (with the reason in the
  // log) when nothing was started.
  bool Start(AppState& app, QuestionView& question, CommandDone done = {});
};

// The error logged when the flash differs from the buffer after a write, with the offset of
// the first byte that differs.
std::string FlashWriteMismatchText(std::uint32_t firstDifference, bool erasedBefore);

}  // namespace bq
