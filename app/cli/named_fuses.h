#pragma once
// `fuses read|write|verify` for a UPDI part: its fuse bytes by name (SYSCFG0=0xF6) and their
// fields (BODCFG.ACTIVE=ENABLED).

#include <functional>
#include <string>
#include <vector>

#include "app/cli/cli_output.h"
#include "parts/part_record.h"
#include "session/chip_session.h"

namespace bq::cli {

struct NamedFuseCommand {
  std::string action;              // read, write or verify
  std::vector<std::string> words;  // NAME=VALUE and BYTE.FIELD=VALUE
  bool defaults = false;
  bool force = false;
  bool classicBytes = false;  // --low, --high or --extended was given
};

// Runs the command on an open session whose chip is selected and prepared; returns the exit
// status. fail turns a failed session result into one (as the other chip commands do).
int RunNamedFuses(ChipSession& session, const PartRecord& part, const NamedFuseCommand& command,
                  Printer& out, const std::function<int(const SessionResult&)>& fail);

}  // namespace bq::cli
