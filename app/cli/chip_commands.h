#pragma once
// The commands that talk to the programmer, over one chip session.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/cli_output.h"
#include "drivers/programmer_driver.h"
#include "image/image_file.h"
#include "parts/part_database.h"

namespace bq::cli {

struct ChipOptions {
  // Options of every chip command.
  std::optional<std::string> port;
  std::vector<std::string> ports;  // -P given several times: every programmer at once
  std::string part = "auto";
  std::optional<std::string> mode;  // "hv" or "isp"
  std::optional<std::uint32_t> ispClock;  // 0 automatic, 1..7
  // -c and --baud as given: once for every port, or once for each port in the order of -P.
  std::vector<ProgrammerKind> programmers;
  std::vector<std::uint32_t> bauds;
  // The programmer and line rate of one port (RunChipCommand sets them from the above).
  ProgrammerKind programmer = ProgrammerKind::Brindlequartz;
  std::uint32_t baud = 0;  // 0: the programmer's own
  // --eeprom-word-address: an STK500 version 1 programmer counts EEPROM addresses in words.
  bool eepromWordAddress = false;
  bool yes = false;
  std::optional<std::string> partlist;  // --partlist; otherwise the list is searched for
  bool targetClock = false;  // --target-clock: the programmer's clock on XTAL1 while it runs
  bool simFresh = false;     // --sim-fresh: a sim: port's chip starts erased, not as last kept

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
  bool unlock = false;  // erase --unlock: the erase of a locked UPDI chip
  bool full = false;
  bool noVerify = false;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> range;
  std::optional<ImageFormat> format;

  // program: the images and bytes of a whole chip.
  std::optional<std::string> elfFile, flashFile, eepromFile, lockByte;
  std::vector<std::string> fuseWords, lockWords;

  // program --watch: again each time an image file changes, until Ctrl+C.
  bool watch = false;

  // program: production runs.
  bool repeat = false;                 // chip after chip on each programmer
  std::optional<std::uint32_t> count;  // stop when this many chips passed (all programmers)
  std::optional<std::string> serial;   // MEMORY:ADDRESS[:BYTES[:le|be]]
  std::optional<std::uint64_t> serialStart;
  std::optional<std::string> serialFile;  // keeps the next serial number across runs
  std::optional<std::string> logFile;     // one JSON line a chip
};

// Runs one chip command; returns the exit status.
int RunChipCommand(const ChipOptions& options, Printer& out);

// Loads the part list named by --partlist, or the one found in the usual places (current
// folder, next to the program, ../share/brindlequartz/). On failure prints why and returns
// false. source names the file for messages.
bool LoadCliPartList(const std::optional<std::string>& given, PartDatabase& db,
                     std::string& source);

// The part of a name in any letter case or its short id (t85); null with a message and
// suggestions when there is none.
const PartRecord* FindCliPart(const PartDatabase& db, const std::string& given,
                              const std::string& source, std::string& canonical);

}  // namespace bq::cli
