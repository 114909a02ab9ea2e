#pragma once
// Our protocol's simulated programmer behind a pseudo-terminal, for tests and benchmarks:
// the programmer's line, served by the pseudo-terminal server.

#include <memory>
#include <string>

#include "platform/posix/pty_server.h"
#include "sim/sim_connection.h"
#include "sim/sim_serial_peer.h"

namespace bq {

class PtySimulator {
 public:
  PtySimulator(std::shared_ptr<SimChip> chip, SimOptions options)
      : line_(std::make_shared<SimLine>(std::move(chip), std::move(options))),
        server_(std::make_shared<SimLinePeer>(line_)) {}

  bool Start() { return server_.Start(); }
  void Stop() { server_.Stop(); }
  const std::string& SlavePath() const { return server_.SlavePath(); }
  // The programmer, under its lock: faults, options and chip contents.
  SimLine& line() { return *line_; }
  void Wake() { server_.Wake(); }
  bool HungUp() const { return server_.HungUp(); }

 private:
  std::shared_ptr<SimLine> line_;
  PtyServer server_;
};

}  // namespace bq
