#pragma once
// The simulated programmer behind an in-process SerialConnection, with the read
// time-outs of a real port (a read of n bytes returns when n bytes arrived, after more
// than 50 ms between two bytes, or after 2000 + 50 * n ms in total).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/serial_connection.h"
#include "sim/sim_programmer.h"

namespace bq {

// One simulated programmer as a line that one connection at a time may hold.
class SimLine {
 public:
  // chipMutex guards the chip when it is shared with other lines (null: a mutex of its own).
  SimLine(std::shared_ptr<SimChip> chip, SimOptions options,
          std::shared_ptr<std::mutex> chipMutex = nullptr);

  // Runs f(programmer) under the line's lock: for tests and drivers that inspect or adjust
  // the machine (faults, options, chip contents) between conversations.
  template <typename F>
  auto With(F&& f) {
    std::lock_guard<std::mutex> lock(*mutex_);
    return f(programmer_);
  }

 private:
  friend class SimConnection;
  std::shared_ptr<std::mutex> mutex_;
  SimProgrammer programmer_;
  bool inUse_ = false;
};

class SimConnection : public SerialConnection {
 public:
  // Null when the line is already held by another connection (ports are exclusive).
  static std::unique_ptr<SimConnection> Open(std::shared_ptr<SimLine> line);
  ~SimConnection() override;
  SimConnection(const SimConnection&) = delete;
  SimConnection& operator=(const SimConnection&) = delete;

  // False once the programmer hung up.
  bool Write(const std::uint8_t* data, std::size_t n) override;
  // -1 once the programmer hung up and no answer byte is left.
  long Read(std::uint8_t* data, std::size_t n) override;
  // Drops the answer bytes that are due by now and were not read.
  void DiscardInput() override;

 private:
  explicit SimConnection(std::shared_ptr<SimLine> line);
  std::shared_ptr<SimLine> line_;
};

}  // namespace bq
