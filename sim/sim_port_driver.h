#pragma once
// Port names "sim", "sim:PART", "sim:PART:isp", "sim:PART:socket": the simulated
// programmer in-process, with the chip of a part from the part database. PART is any name
// the part answers to (FindPartByAnyName: "ATtiny85", "attiny85", "t85"); every name of a part
// leads to the same chip. Without PART the selected part is
// used (the first part by name when none is selected); without a connection the chip
// sits in the socket when the part has a high-voltage mode, on the ISP cable otherwise.
// Each part's chip keeps its memories for the driver's lifetime, so closing and
// reopening a port (or moving the chip between socket and cable) keeps the data; ChipFor
// lets a program keep them longer (the CLI keeps them in a file).

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/serial_connection.h"
#include "parts/part_database.h"
#include "sim/sim_connection.h"
#include "sim/sim_programmer.h"
#include "sim/updi/updi_chip.h"

namespace bq {

struct SimPortName {
  std::string part;                   // empty: the selected part
  std::optional<SimConnect> connect;  // empty: the part's default
};

// Splits a "sim..." port name; nullopt when the name is not a simulator name.
std::optional<SimPortName> ParseSimPortName(const std::string& name);

class SimPortDriver : public PortDriver {
 public:
  // parts must outlive the driver; it is read when a port is opened. defaults are the
  // options of every simulator the driver creates (their connect field is ignored).
  explicit SimPortDriver(const PartDatabase* parts, SimOptions defaults = {});

  bool Handles(const std::string& name) const override;
  std::unique_ptr<SerialConnection> Open(const std::string& name) override;
  // With line.protocol "stk500v1" or "stk500v2" a simulated programmer of that kind serves
  // the same chip; the line's rate does not matter here. With "serialupdi" a UPDI part's
  // simulated chip answers on its one-wire line, at the line's rate.
  std::unique_ptr<SerialConnection> OpenAt(const std::string& name,
                                           const LineSettings& line) override;
  std::vector<std::string> Enumerate() override { return {"sim"}; }
  // For an unknown part: its name and the nearest part names.
  std::string LastOpenError() const override;
  std::string Describe(const std::string& name) const override;

  // Options for simulators created from now on.
  void SetDefaults(const SimOptions& defaults);
  // The line a port name leads to now (created if new), or null for an unknown part.
  // For tests that inject faults or look at the chip.
  std::shared_ptr<SimLine> LineFor(const std::string& name);

  // The chip a port name leads to (created if new) and the mutex that guards it while a
  // line may use it; chip null for an unknown part. For keeping the chip between runs.
  struct ChipAccess {
    std::shared_ptr<SimChip> chip;
    std::shared_ptr<std::mutex> mutex;
  };
  ChipAccess ChipFor(const std::string& name);
  // The UPDI chip a port name leads to (created if new), null for an unknown or a classic
  // part. For tests that inject faults or look at the chip.
  std::shared_ptr<UpdiChip> UpdiChipFor(const std::string& name);
  // Moves the chip a port name leads to between the socket and the ISP cable, as a user
  // moves a real one (a rescue asks for it); false for an unknown part.
  bool MoveChip(const std::string& name, SimConnect where);

 private:
  struct Bench {
    std::shared_ptr<SimChip> chip;
    std::shared_ptr<std::mutex> chipMutex;
    std::shared_ptr<SimLine> socket, isp;
    std::shared_ptr<UpdiChip> updi;  // UPDI parts, on the serialupdi line
  };

  // The part a parsed port name means; null when unknown.
  const PartRecord* PartFor(const SimPortName& parsed, std::string& partName) const;

  const PartDatabase* parts_;
  SimOptions defaults_;
  mutable std::mutex mutex_;
  std::map<std::string, Bench> benches_;  // by part name
  std::string lastOpenError_;
};

}  // namespace bq
