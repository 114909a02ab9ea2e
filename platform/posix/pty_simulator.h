#pragma once
// The simulated programmer behind a pseudo-terminal: a thread serves the master side;
// hosts open the slave device (SlavePath()) like any serial port.

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "sim/sim_connection.h"
#include "sim/sim_programmer.h"

namespace bq {

class PtySimulator {
 public:
  PtySimulator(std::shared_ptr<SimChip> chip, SimOptions options);
  ~PtySimulator();  // Stop()
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  // Creates the pseudo-terminal (raw, 115200 8N1 on the slave) and starts serving.
  // False when the pseudo-terminal cannot be created.
  bool Start();
  // Ends serving and joins the thread. Safe to call twice.
  void Stop();

  // Slave device path, e.g. /dev/pts/7; empty before Start.
  const std::string& SlavePath() const { return slavePath_; }
  // The programmer, under its lock: faults, options and chip contents for tests.
  SimLine& line() { return *line_; }
  // Makes the serving thread look at the programmer again: after a test made it answer
  // something through line(), the answer goes out without waiting for the host.
  void Wake();
  // True once a hang-up fault closed the master.
  bool HungUp() const { return hungUp_.load(); }

 private:
  void Serve();

  std::shared_ptr<SimLine> line_;
  std::string slavePath_;
  int master_ = -1;
  int slaveKeep_ = -1;  // our own slave descriptor keeps the master alive between hosts
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hungUp_{false};
  std::thread thread_;
};

}  // namespace bq
