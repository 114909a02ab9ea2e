// How faithfully the simulated programmer keeps to the wire rate when pacing: a raw
// conversation (no worker) reading 64 KiB in 256-byte chunks, over a real pseudo-terminal
// and over the in-process sim port. The reference is the physical limit: every byte of
// the conversation at 115200 baud 8N1 (86.8 us a byte). A ratio near 1.00 means pacing
// neither runs ahead of the line (below 1) nor loses time (above 1).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "link/serial_connection.h"
#include "parts/part_record.h"
#include "platform/posix/posix_port_driver.h"
#include "sim/sim_chip.h"
#include "sim/sim_connection.h"
#include "tests/sim/pty_simulator.h"

namespace {

using namespace bq;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kPages = 256;  // 256 pages of 128 words: 64 KiB
constexpr std::size_t kBytes = kPages * 256;

std::shared_ptr<SimChip> Chip() {
  PartRecord part;
  part.signature = 0x1E9703;
  part.flashPageSizeW = 128;
  part.flashNoOfPages = kPages;
  part.hvMode = 1;
  return std::make_shared<SimChip>(SimChip::FromPart("Bench", part));
}

std::vector<std::uint8_t> Packet(std::uint8_t code, std::vector<std::uint8_t> payload = {}) {
  std::vector<std::uint8_t> b{0x48, 0x56, code, 0, static_cast<std::uint8_t>(payload.size())};
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// Reads the whole flash; returns seconds, or a negative value when the conversation failed.
double ReadAll(SerialConnection& port, std::size_t& wireBytes) {
  std::vector<std::uint8_t> in(261);
  auto exchange = [&](const std::vector<std::uint8_t>& p, std::size_t answer) {
    wireBytes += p.size() + answer;
    return port.Write(p.data(), p.size()) &&
           port.Read(in.data(), answer) == static_cast<long>(answer);
  };
  wireBytes = 0;
  const auto t0 = Clock::now();
  if (!exchange(Packet(0x30, {1, 1, 128, kPages >> 8, kPages & 0xFF}), 5)) return -1;
  const auto next = Packet(0x30);
  for (std::size_t got = 0; got < kBytes; got += 256) {
    if (!exchange(next, 261)) {
      std::fprintf(stderr, "chunk at %zu failed\n", got);
      return -1;
    }
  }
  if (!exchange(next, 5) || in[2] != 0xD8) {
    std::fprintf(stderr, "no end of stream\n");
    return -1;
  }
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

int Report(const char* name, double seconds, std::size_t wireBytes) {
  if (seconds < 0) {
    std::printf("%s: FAILED\n", name);
    return 1;
  }
  const double reference = static_cast<double>(wireBytes) * 10.0 / 115200.0;
  std::printf("%s: measured %.3f s, reference %.3f s, ratio %.3f (target 1.00 to 1.05)\n", name,
              seconds, reference, seconds / reference);
  return 0;
}

}  // namespace

int main() {
  SimOptions options;
  options.pace = true;
  int failures = 0;
  {
    PtySimulator sim(Chip(), options);
    if (!sim.Start()) {
      std::printf("sim_wire_pty: FAILED (no pseudo-terminal)\n");
      return 1;
    }
    PosixPortDriver driver;
    auto port = driver.Open(sim.SlavePath());
    std::size_t wire = 0;
    const double seconds = port ? ReadAll(*port, wire) : -1;
    failures += Report("sim_wire_pty", seconds, wire);
  }
  {
    auto line = std::make_shared<SimLine>(Chip(), options);
    auto port = SimConnection::Open(line);
    std::size_t wire = 0;
    const double seconds = port ? ReadAll(*port, wire) : -1;
    failures += Report("sim_wire_inprocess", seconds, wire);
  }
  return failures == 0 ? 0 : 1;
}
