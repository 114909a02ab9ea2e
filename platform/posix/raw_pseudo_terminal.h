#pragma once
// A pseudo-terminal for a simulated device: the master end for the device, the slave path for
// the host programs, and a slave descriptor the device holds itself so the line stays raw at
// 115200 baud and the master never sees a hang-up between two hosts.

#include <string>

namespace bq {

struct RawPseudoTerminal {
  int master = -1;     // non-blocking
  int slaveKeep = -1;  // held open by the device side
  std::string slavePath;
};

// Opens one; false (and nothing left open) when the system has none to give.
bool OpenRawPseudoTerminal(RawPseudoTerminal& pty);
void CloseRawPseudoTerminal(RawPseudoTerminal& pty);

// Makes `link` a symbolic link to the device path, replacing an old link of that name (never
// a file that is not a link); on failure `error` says why.
bool LinkToDevice(const std::string& link, const std::string& device, std::string& error);

}  // namespace bq
