#pragma once
// The commands that talk to the programmer, over one chip session.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/cli_output.h"
#include "image/image_file.h"

namespace bq::cli {

struct ChipOptions {
  // Options of every chip command.
  std::optional<std::string> port;
  std::string part = "auto";
  std::optional<std::string> mode;  // "hv" or "isp"
  std::optional<std::uint32_t> ispClock;  // 0 automatic, 1..7
  bool yes = false;
  std::string partlist;  // the part list file to read

  // The command and its operands.
  std::string command;  // ports version identify read write verify erase blank-check
                        // fuses lock calibration
  std::string memory = "flash";
  std::string file;
  std::string action;              // fuses / lock: read, write or verify
  std::vector<std::string> words;  // FIELD=VALUE words (and the lock byte's VALUE)
  std::optional<std::string> low, high, extended;
  bool defaults = false;
  bool force = false;
  bool noErase = false;
  bool full = false;
  bool noVerify = false;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> range;
  std::optional<ImageFormat> format;
};

// Runs one chip command; returns the exit status.
int RunChipCommand(const ChipOptions& options, Printer& out);

}  // namespace bq::cli
