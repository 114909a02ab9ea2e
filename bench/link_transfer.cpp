// Transfers through the worker over a real pseudo-terminal to the simulated programmer
// pacing its line at 115200 baud: write, verify and read of the full flash (256 KiB) and
// EEPROM (4 KiB) of an ATmega2560.
// The reference is the physical limit: every byte of the conversation (packets and
// answers, both ways, one after the other) at 86.8 us a byte. A ratio near 1 means the
// host adds almost nothing to the time the line itself needs.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "bench/bench_parts.h"
#include "image/memory_buffer.h"
#include "link/fuse_bytes.h"
#include "link/programmer.h"
#include "link/serial_port.h"
#include "link/worker_events.h"
#include "parts/part_record.h"
#include "platform/posix/posix_port_driver.h"
#include "sim/sim_chip.h"
#include "tests/sim/pty_simulator.h"

namespace {

using namespace bq;
using Clock = std::chrono::steady_clock;

class QuietEvents : public LogOnlyWorkerEvents {
 public:
  void AppendLogEntry(LogKind kind, const std::string& text) override {
    if (kind == LogKind::LogError) std::fprintf(stderr, "error: %s\n", text.c_str());
  }
};

// ATmega2560: 1024 flash pages of 128 words, 512 EEPROM pages of 8 bytes.
constexpr std::uint32_t kFlashPageWords = 128;
constexpr std::uint32_t kFlashPages = 1024;
constexpr std::uint32_t kEepromPageBytes = 8;
constexpr std::uint32_t kEepromPages = 512;
constexpr double kByteSeconds = 86.806e-6;  // 10 bits a byte at 115200 baud
constexpr double kTarget = 1.02;

// Bytes on the line for one transfer of `bytes` in pages of `pageBytes`: the parameter
// packet and its answer, then the data packets (as many whole pages as fit into 256 bytes,
// or a page in pieces of 256) and their answers.
double WireBytesWrite(std::uint32_t bytes, std::uint32_t pageBytes) {
  const std::uint32_t perPacket = pageBytes >= 256 ? 256 : (256 / pageBytes) * pageBytes;
  const std::uint32_t packets = (bytes + perPacket - 1) / perPacket;
  return (10 + 5) + packets * 5.0 + bytes + packets * 5.0;
}
// Read and verify: the parameter packet and its answer, one empty request and one chunk
// of up to 256 bytes per answer, then the request that is answered with the end.
double WireBytesRead(std::uint32_t bytes) {
  const std::uint32_t chunks = (bytes + 255) / 256;
  return (10 + 5) + chunks * (5 + 5.0) + bytes + (5 + 5);
}

}  // namespace

int main() {
  const PartRecord part = bench::Atmega2560();
  SimOptions options;
  options.pace = true;
  PtySimulator sim(std::make_shared<SimChip>(SimChip::FromPart("ATmega2560", part)), options);
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
  const std::uint32_t flashBytes = kFlashPageWords * 2 * kFlashPages;
  const std::uint32_t eepromBytes = kEepromPageBytes * kEepromPages;
  for (std::uint32_t i = 0; i < flashBytes; ++i)
    flash.data()[i] = static_cast<std::uint8_t>(i * 13 + 1);
  for (std::uint32_t i = 0; i < eepromBytes; ++i)
    eeprom.data()[i] = static_cast<std::uint8_t>(i * 7 + 3);
  programmer.SetProgrammingMode(PROG_MODE_HVPP);

  bool ok = true;
  double measuredAll = 0;
  double referenceAll = 0;
  auto timed = [&](const char* name, bool (CProgrammer::*start)(), double wireBytes) {
    const auto t0 = Clock::now();
    if (!(programmer.*start)()) {
      ok = false;
      return;
    }
    programmer.WaitIdle();
    const double measured = std::chrono::duration<double>(Clock::now() - t0).count();
    const double reference = wireBytes * kByteSeconds;
    measuredAll += measured;
    referenceAll += reference;
    std::printf("%s: measured %.3f s, reference %.3f s, ratio %.4f (target < %.2f)\n", name,
                measured, reference, measured / reference, kTarget);
    std::fflush(stdout);
    ok = ok && programmer.Status() == STATUS_OK;
  };

  programmer.SetTransferParams(MEMORY_FLASH, kFlashPageWords, kFlashPages);
  timed("atmega2560_write_flash_256k", &CProgrammer::StartWriteMemory,
        WireBytesWrite(flashBytes, kFlashPageWords * 2));
  timed("atmega2560_verify_flash_256k", &CProgrammer::StartVerifyMemory, WireBytesRead(flashBytes));
  timed("atmega2560_read_flash_256k", &CProgrammer::StartReadMemory, WireBytesRead(flashBytes));
  // The read must give back exactly what was written.
  for (std::uint32_t i = 0; i < flashBytes && ok; ++i)
    ok = flash.data()[i] == static_cast<std::uint8_t>(i * 13 + 1);

  programmer.SetTransferParams(MEMORY_EEPROM, kEepromPageBytes, kEepromPages);
  timed("atmega2560_write_eeprom_4k", &CProgrammer::StartWriteMemory,
        WireBytesWrite(eepromBytes, kEepromPageBytes));
  timed("atmega2560_verify_eeprom_4k", &CProgrammer::StartVerifyMemory, WireBytesRead(eepromBytes));
  timed("atmega2560_read_eeprom_4k", &CProgrammer::StartReadMemory, WireBytesRead(eepromBytes));
  for (std::uint32_t i = 0; i < eepromBytes && ok; ++i)
    ok = eeprom.data()[i] == static_cast<std::uint8_t>(i * 7 + 3);

  std::printf("atmega2560_all_transfers: measured %.3f s, reference %.3f s, ratio %.4f (target < %.2f)\n",
              measuredAll, referenceAll, measuredAll / referenceAll, kTarget);
  programmer.StopWorker();
  if (!ok) std::fprintf(stderr, "a transfer failed or read back different bytes\n");
  return ok && measuredAll / referenceAll < kTarget ? 0 : 1;
}
