#pragma once
// brindlequartz-cli rescue: the engine's rescue with its questions on the terminal.

#include <string>

#include "app/cli/cli_output.h"
#include "parts/part_record.h"
#include "session/chip_session.h"
#include "sim/sim_port_driver.h"

namespace bq::cli {

struct RescueCommand {
  ChipSession& session;
  std::string partName;
  const PartRecord& part;
  std::string port;
  // The simulated programmer when port is a sim: port; the rescue moves its chip itself.
  SimPortDriver* sim = nullptr;
  bool yes = false;       // --yes: go on without asking
  bool defaults = false;  // --defaults: the part's default fuses instead of the culprit only
};

// Runs the rescue; returns the exit status.
int RunRescueCommand(const RescueCommand& command, Printer& out);

// What rescue --help prints after the options: the steps and the table of what it rescues.
std::string RescueHelpFooter();

}  // namespace bq::cli
