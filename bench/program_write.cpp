// Writing a program that is much smaller than the chip: the session checks the signature,
// erases, writes the pages that hold the program and verifies them, over a real
// pseudo-terminal to the simulated programmer pacing its line at 115200 baud (ATmega2560,
// 256 KiB of flash). The reference is the wire time of every byte of that conversation,
// both ways; before page-exact writes every program cost the whole flash (about 48 s).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/bench_parts.h"
#include "platform/posix/posix_port_driver.h"
#include "session/chip_session.h"
#include "sim/sim_chip.h"
#include "tests/sim/pty_simulator.h"

namespace {

using namespace bq;
using Clock = std::chrono::steady_clock;

constexpr double kByteSeconds = 86.806e-6;  // 10 bits a byte at 115200 baud
constexpr double kTarget = 1.05;
constexpr std::uint32_t kPageBytes = 256;  // 128 words

// Signature (6 + 8 bytes), erase (6 + 5), the write (parameters 10 + 5, then a packet of one
// page and its 5-byte answer per page) and the verify (parameters 10 + 5, an empty request
// and a 256-byte chunk per page, then the request answered with the end).
double WireBytes(std::uint32_t pages) {
  const double signature = 6 + 8, erase = 6 + 5;
  const double write = (10 + 5) + pages * (5.0 + kPageBytes + 5);
  const double verify = (10 + 5) + pages * (5.0 + 5 + kPageBytes) + (5 + 5);
  return signature + erase + write + verify;
}

}  // namespace

int main() {
  const PartRecord part = bench::Atmega2560();
  SimOptions options;
  options.pace = true;
  PtySimulator sim(std::make_shared<SimChip>(SimChip::FromPart("ATmega2560", part)), options);
  ChipSession session({std::make_shared<PosixPortDriver>()});
  session.SetLogObserver([](LogKind kind, const std::string& text) {
    if (kind == LogKind::LogError) std::fprintf(stderr, "error: %s\n", text.c_str());
  });
  if (!sim.Start() || !session.Open(sim.SlavePath())) {
    std::fprintf(stderr, "cannot start the simulator or the session\n");
    return 1;
  }
  session.SetMode(PROG_MODE_HVPP);
  const MemoryGeometry flash = FlashGeometry(part);
  bool ok = true;
  for (const std::uint32_t kib : {4u, 32u}) {
    const std::uint32_t pages = kib * 1024 / kPageBytes;
    std::vector<std::uint8_t> program(kib * 1024);
    for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<std::uint8_t>(i * 7);
    const auto t0 = Clock::now();
    std::uint32_t signature = 0;
    std::optional<std::uint32_t> difference;
    ok = ok && session.CheckSignature(part.signature, signature).ok() && session.Erase().ok() &&
         session.WriteMemory(flash, pages, program).ok() &&
         session.VerifyMemory(flash, pages, program, difference).ok();
    const double measured = std::chrono::duration<double>(Clock::now() - t0).count();
    const double reference = WireBytes(pages) * kByteSeconds;
    std::printf("atmega2560_program_%uk: measured %.3f s, reference %.3f s, ratio %.4f (target < %.2f)\n",
                kib, measured, reference, measured / reference, kTarget);
    std::fflush(stdout);
    ok = ok && measured / reference < kTarget;
  }
  if (!ok) std::fprintf(stderr, "a step failed or missed its target\n");
  return ok ? 0 : 1;
}
