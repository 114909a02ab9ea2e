#pragma once
// A simulated device behind a pseudo-terminal: a thread serves the master side for a
// SerialPeer; hosts open the slave device (SlavePath()) like any serial port. The peer learns
// the line's rate and stop bits whenever the host sets them (see link/serial_peer.h for
// what a pseudo-terminal cannot carry).

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "link/serial_connection.h"
#include "link/serial_peer.h"

namespace bq {

class PtyServer {
 public:
  explicit PtyServer(std::shared_ptr<SerialPeer> peer);
  ~PtyServer();  // Stop()
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Creates the pseudo-terminal (raw, 115200 8N1 on the slave) and starts serving.
  // False when the pseudo-terminal cannot be created.
  bool Start();
  // Ends serving and joins the thread. Safe to call twice.
  void Stop();

  // Slave device path, e.g. /dev/pts/7; empty before Start.
  const std::string& SlavePath() const { return slavePath_; }
  // Makes the serving thread look at the peer again: after a test made it answer something,
  // the answer goes out without waiting for the host.
  void Wake();
  // True once the peer hung up and the master was closed.
  bool HungUp() const { return hungUp_.load(); }

 private:
  void Serve();
  void CheckLine();

  std::shared_ptr<SerialPeer> peer_;
  std::string slavePath_;
  int master_ = -1;
  int slaveKeep_ = -1;  // our own slave descriptor keeps the master alive between hosts
  int wakeRead_ = -1, wakeWrite_ = -1;
  LineSettings line_;  // as last told to the peer
  std::atomic<bool> stop_{false};
  std::atomic<bool> hungUp_{false};
  std::thread thread_;
};

}  // namespace bq
