#pragma once
// The chip of a sim: port lives on between runs of brindlequartz-cli, as a real chip in a
// socket does: `write flash x.hex` then `verify flash x.hex` find the same bytes. It is kept
// in the user's cache folder ($XDG_CACHE_HOME/brindlequartz, else ~/.cache/brindlequartz;
// %LOCALAPPDATA%\brindlequartz on Windows), one file a part, replaced whole after each run
// and locked while a run uses it; --sim-fresh starts from an erased chip.

#include <memory>
#include <string>

#include "app/cli/cli_output.h"
#include "platform/durable_file.h"
#include "sim/sim_port_driver.h"
#include "sim/updi/updi_chip.h"

namespace bq::cli {

// The folder the kept chips are in; "" when the system gives none.
std::string SimChipFolder();

class KeptSimChip {
 public:
  KeptSimChip() = default;
  // Saves the chip (Save) when it was kept.
  ~KeptSimChip();
  KeptSimChip(const KeptSimChip&) = delete;
  KeptSimChip& operator=(const KeptSimChip&) = delete;

  // Puts the kept chip of port (a sim port name) into the driver's chip, or leaves it
  // erased when fresh or when there is none yet; says on out which it is. Another run
  // that holds the chip's file, or a file that cannot be used, leaves this run a chip of
  // its own that is not kept.
  void Keep(std::shared_ptr<SimPortDriver> driver, const std::string& port, bool fresh,
            Printer& out);
  // Writes the chip to its file (through a temporary file and a rename).
  void Save();

 private:
  std::shared_ptr<SimPortDriver> driver_;  // owns the chip
  SimPortDriver::ChipAccess chip_;
  std::shared_ptr<UpdiChip> updi_;  // a UPDI part's chip, kept instead of chip_
  std::string path_;
  FileLock lock_;
  Printer* out_ = nullptr;
};

}  // namespace bq::cli
