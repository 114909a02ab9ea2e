// Flash transfers through the worker over a real pseudo-terminal to the simulated
// programmer pacing its line at 115200 baud: write, read and verify of a 32 KiB flash.
// The reference is the physical limit: every byte of the conversation (packets and
// answers, both ways, one after the other) at 86.8 us a byte. A ratio near 1 means the
// host adds almost nothing to the time the line itself needs.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "image/memory_buffer.h"
#include "link/fuse_bytes.h"
#include "link/programmer.h"
#include "link/serial_port.h"
#include "link/worker_events.h"
#include "parts/part_record.h"
#include "platform/posix/posix_port_driver.h"
#include "platform/posix/pty_simulator.h"
#include "sim/sim_chip.h"

namespace {

using namespace bq;
using Clock = std::chrono::steady_clock;

class QuietEvents : public WorkerEvents {
 public:
  void AppendLogEntry(LogKind kind, const std::string& text) override {
    if (kind == LogKind::LogError) std::fprintf(stderr, "error: %s\n", text.c_str());
  }
  void ProgressSmooth() override {}
  void ProgressMarquee() override {}
  void ProgressRange(std::uint16_t) override {}
  void ProgressPosition(std::uint32_t) override {}
  void ProgressMarqueeStart() override {}
  void ProgressMarqueeStop() override {}
  void ProgressShow() override {}
  void ProgressHide() override {}
  void RefillHexView(MemoryKind) override {}
  void RedrawFuseEditor(FuseEditorKind) override {}
};

constexpr std::uint32_t kPageWords = 64;
constexpr std::uint32_t kPages = 256;
constexpr std::uint32_t kBytes = kPageWords * 2 * kPages;
constexpr double kByteSeconds = 86.806e-6;

// Bytes on the line for one transfer: the parameter packet and its answer, then the
// data packets and their answers.
double WireBytesWrite() {
  const double packets = kBytes / 256.0;
  return (10 + 5) + packets * ((5 + 256) + 5);
}
double WireBytesRead() {
  const double chunks = kBytes / 256.0;
  return (10 + 5) + chunks * (5 + (5 + 256)) + (5 + 5);
}

}  // namespace

int main() {
  PartRecord part;
  part.signature = 0x1E950F;
  part.flashPageSizeW = kPageWords;
  part.flashNoOfPages = kPages;
  part.eepromPageSize = 4;
  part.eepromNoOfPages = 256;
  part.hvMode = 1;
  SimOptions options;
  options.pace = true;
  PtySimulator sim(std::make_shared<SimChip>(SimChip::FromPart("Bench", part)), options);
  SerialPort port({std::make_shared<PosixPortDriver>()});
  MemoryBuffer flash(kFlashBufferBytes), eeprom(kEepromBufferBytes);
  FuseByteSlots fuses, lockBits;
  QuietEvents events;
  CProgrammer programmer;
  if (!sim.Start() || !port.OpenPort(sim.SlavePath()) ||
      !programmer.StartWorker({port, flash, eeprom, fuses, lockBits, events})) {
    std::fprintf(stderr, "cannot start the simulator or the worker\n");
    return 1;
  }
  for (std::uint32_t i = 0; i < kBytes; ++i)
    flash.data()[i] = static_cast<std::uint8_t>(i * 13 + 1);
  programmer.SetProgrammingMode(PROG_MODE_HVPP);
  programmer.SetTransferParams(MEMORY_FLASH, kPageWords, kPages);

  auto timed = [&](const char* name, bool (CProgrammer::*start)(), double wireBytes) {
    const auto t0 = Clock::now();
    if (!(programmer.*start)()) return false;
    programmer.WaitIdle();
    const double measured = std::chrono::duration<double>(Clock::now() - t0).count();
    const double reference = wireBytes * kByteSeconds;
    std::printf("%s: measured %.3f s, reference %.3f s, ratio %.2f (target < 1.2)\n", name,
                measured, reference, measured / reference);
    return programmer.Status() == STATUS_OK;
  };
  bool ok = timed("link_write_flash_32k", &CProgrammer::StartWriteMemory, WireBytesWrite());
  ok = timed("link_read_flash_32k", &CProgrammer::StartReadMemory, WireBytesRead()) && ok;
  ok = timed("link_verify_flash_32k", &CProgrammer::StartVerifyMemory, WireBytesRead()) && ok;
  programmer.StopWorker();
  return ok ? 0 : 1;
}
