#pragma once
// The desktop's Chip > "Rescue..." command: the engine's rescue (session/rescue.h) on the
// engine thread. Its diagnosis and plan come as one Yes/No question (No the default); its
// request to move the chip as another; what it did goes into the log and, when the job has
// ended, to `done` on the user-interface thread (the front-end shows it in a box).

#include <functional>
#include <string>

#include "session/rescue.h"
#include "ui/app_state.h"

namespace bq {

inline constexpr const char* kRescueCaption = "Rescue";

// Moves the chip of a simulated programmer's port (nobody can move it by hand); the
// front-end that owns the simulator gives it. Called on the engine thread.
using SimulatedChipMover = std::function<void(const std::string& port, ChipPlace place)>;

// False when nothing was posted (busy, the reason logged).
bool RescueCommand(AppState& app, SimulatedChipMover mover,
                   std::function<void(const RescueReport&)> done = {});

// The text of the box that ends the rescue: the diagnosis, then the outcome.
std::string RescueOutcomeText(const RescueReport& report);

}  // namespace bq
