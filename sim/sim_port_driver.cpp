#include "sim/sim_port_driver.h"

#include "parts/part_names.h"
#include "sim/sim_peer_connection.h"
#include "sim/updi/updi_peer.h"

namespace bq {

std::optional<SimPortName> ParseSimPortName(const std::string& name) {
  if (name == "sim") return SimPortName{};
  if (name.rfind("sim:", 0) != 0) return std::nullopt;
  SimPortName out;
  std::string rest = name.substr(4);
  const auto colon = rest.rfind(':');
  if (colon != std::string::npos) {
    const std::string tail = rest.substr(colon + 1);
    if (tail == "isp") {
      out.connect = SimConnect::kIsp;
      rest.resize(colon);
    } else if (tail == "socket") {
      out.connect = SimConnect::kSocket;
      rest.resize(colon);
    }
  }
  if (rest.empty()) return std::nullopt;
  out.part = rest;
  return out;
}

SimPortDriver::SimPortDriver(const PartDatabase* parts, SimOptions defaults)
    : parts_(parts), defaults_(std::move(defaults)) {}

bool SimPortDriver::Handles(const std::string& name) const {
  return ParseSimPortName(name).has_value();
}

void SimPortDriver::SetDefaults(const SimOptions& defaults) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaults_ = defaults;
}

const PartRecord* SimPortDriver::PartFor(const SimPortName& parsed, std::string& partName) const {
  if (!parts_) return nullptr;
  partName = parsed.part;
  if (!partName.empty()) return FindPartByAnyName(*parts_, parsed.part, &partName);
  if (parts_->selected()) {
    partName = parts_->selectedName();
    return parts_->Find(partName);
  }
  if (parts_->parts().empty()) return nullptr;
  partName = parts_->parts().begin()->first;
  return &parts_->parts().begin()->second;
}

SimPortDriver::ChipAccess SimPortDriver::ChipFor(const std::string& name) {
  const auto parsed = ParseSimPortName(name);
  std::string partName;
  const PartRecord* record = parsed ? PartFor(*parsed, partName) : nullptr;
  if (!record) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  Bench& bench = benches_[partName];
  if (!bench.chip) {
    bench.chip = std::make_shared<SimChip>(SimChip::FromPart(partName, *record));
    bench.chipMutex = std::make_shared<std::mutex>();
  }
  return {bench.chip, bench.chipMutex};
}

std::shared_ptr<SimLine> SimPortDriver::LineFor(const std::string& name) {
  const auto parsed = ParseSimPortName(name);
  if (!parsed) return nullptr;
  std::string partName;
  const PartRecord* record = PartFor(*parsed, partName);
  if (!record) return nullptr;

  std::lock_guard<std::mutex> lock(mutex_);
  Bench& bench = benches_[partName];
  if (!bench.chip) {
    bench.chip = std::make_shared<SimChip>(SimChip::FromPart(partName, *record));
    bench.chipMutex = std::make_shared<std::mutex>();
  }
  const SimConnect connect = parsed->connect.value_or(DefaultSimConnect(*bench.chip));
  std::shared_ptr<SimLine>& line = connect == SimConnect::kIsp ? bench.isp : bench.socket;
  if (!line) {
    SimOptions options = defaults_;
    options.connect = connect;
    line = std::make_shared<SimLine>(bench.chip, options, bench.chipMutex);
  }
  return line;
}

bool SimPortDriver::MoveChip(const std::string& name, SimConnect where) {
  const std::shared_ptr<SimLine> line = LineFor(name);
  if (!line) return false;
  line->With([where](SimProgrammer& p) { p.options().connect = where; });
  return true;
}

std::unique_ptr<SerialConnection> SimPortDriver::Open(const std::string& name) {
  std::shared_ptr<SimLine> line = LineFor(name);
  std::string error;
  if (!line) {
    const auto parsed = ParseSimPortName(name);
    const std::string part = parsed ? parsed->part : name;
    if (!parts_ || parts_->parts().empty()) {
      error = "the simulated programmer has no parts to simulate";
    } else {
      error = NoSuchPartText(*parts_, part, "the part list");
    }
  }
  std::unique_ptr<SerialConnection> connection = SimConnection::Open(line);
  if (line && !connection) error = name + " is in use by another connection";
  std::lock_guard<std::mutex> lock(mutex_);
  lastOpenError_ = error;
  return connection;
}

std::unique_ptr<SerialConnection> SimPortDriver::OpenAt(const std::string& name,
                                                        const LineSettings& line) {
  if (line.protocol.empty() || line.protocol == "brindlequartz") return Open(name);
  if (!LineFor(name)) return Open(name);  // says which part is unknown
  const auto parsed = ParseSimPortName(name);
  std::string partName = parsed->part;
  const PartRecord* record =
      partName.empty() ? nullptr : FindPartByAnyName(*parts_, partName, &partName);
  if (record == nullptr) {
    partName = parts_->selected() ? parts_->selectedName() : parts_->parts().begin()->first;
    record = parts_->Find(partName);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Bench& bench = benches_[partName];
  if (line.protocol == "serialupdi") {
    if (!record->IsUpdi()) {
      lastOpenError_ =
          partName + " is not programmed over UPDI; choose a UPDI part or another programmer";
      return nullptr;
    }
    if (!bench.updi) bench.updi = std::make_shared<UpdiChip>(*record, partName);
    lastOpenError_.clear();
    return std::make_unique<UpdiSimConnection>(bench.updi, bench.chipMutex, line);
  }
  // These programmers are mostly used over their ISP cable: the chip sits there unless the
  // name says socket.
  const SimConnect connect = parsed->connect.value_or(SimConnect::kIsp);
  auto connection = SimPeerConnection::Open(line.protocol, bench.chip, bench.chipMutex, *record,
                                            connect, defaults_.eepromWordAddress);
  lastOpenError_ = connection ? "" : "no simulated " + line.protocol + " programmer";
  return connection;
}

std::shared_ptr<UpdiChip> SimPortDriver::UpdiChipFor(const std::string& name) {
  const auto parsed = ParseSimPortName(name);
  std::string partName;
  const PartRecord* record = parsed ? PartFor(*parsed, partName) : nullptr;
  if (!record || !record->IsUpdi()) return nullptr;
  ChipFor(name);  // the bench and its mutex
  std::lock_guard<std::mutex> lock(mutex_);
  Bench& bench = benches_[partName];
  if (!bench.updi) bench.updi = std::make_shared<UpdiChip>(*record, partName);
  return bench.updi;
}

std::string SimPortDriver::LastOpenError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastOpenError_;
}

std::string SimPortDriver::Describe(const std::string& name) const {
  return Handles(name) ? "simulated programmer" : std::string();
}

}  // namespace bq
