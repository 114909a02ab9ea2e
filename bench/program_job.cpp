// A whole chip in one job (8 KiB program, the whole EEPROM, fuses, lock byte) through the
// session over a real pseudo-terminal to the simulated programmer pacing its line at 115200
// baud, against the wire time of every byte the job sent and received (counted on the
// line); then the same job on four programmers at once, against the time of one.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_parts.h"
#include "link/tracing_port_driver.h"
#include "platform/posix/posix_port_driver.h"
#include "session/program_job.h"
#include "sim/sim_chip.h"
#include "tests/sim/pty_simulator.h"

namespace {

using namespace bq;
using Clock = std::chrono::steady_clock;

constexpr double kByteSeconds = 86.806e-6;  // 10 bits a byte at 115200 baud


struct Run {
  double seconds = 0;
  std::uint64_t lineBytes = 0;
  bool passed = false;
};

// One job on its own simulator; the bytes on the line counted from the packet trace.
Run ProgramOne(const PartRecord& part, const ProgramJob& job) {
  SimOptions options;
  options.pace = true;
  PtySimulator sim(std::make_shared<SimChip>(SimChip::FromPart("ATmega2560", part)), options);
  auto bytes = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto counter = std::make_shared<TracingPortDriver>(
      std::make_shared<PosixPortDriver>(), [bytes](const std::string& line) {
        // "-> 48 56 10  (note)": after the arrow, three characters a byte.
        const std::size_t end = std::min(line.find("  ("), line.size());
        if (end > 3) *bytes += (end - 3 + 1) / 3;
      });
  ChipSession session({counter});
  Run run;
  if (!sim.Start() || !session.Open(sim.SlavePath())) return run;
  session.SetMode(PROG_MODE_HVPP);
  const auto t0 = Clock::now();
  run.passed = RunProgramJob(session, part, job, false).passed;
  run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  run.lineBytes = bytes->load();
  return run;
}

}  // namespace

int main() {
  const PartRecord part = bench::Atmega2560();
  ProgramJob job;
  job.flash = std::vector<std::uint8_t>(8 * 1024);
  for (std::size_t i = 0; i < job.flash->size(); ++i) (*job.flash)[i] = static_cast<std::uint8_t>(i * 7);
  job.eeprom = std::vector<std::uint8_t>(4096, 0x5A);
  job.fuses = {{"LOW", kTargetLow, 0xFF, 0xE2, false}, {"HIGH", kTargetHigh, 0xFF, 0xD9, false}};
  job.lock = {{"LOCKBIT", kTargetLockBit, 0xFF, 0xFC, false}};

  const Run one = ProgramOne(part, job);
  const double reference = static_cast<double>(one.lineBytes) * kByteSeconds;
  std::printf("atmega2560_program_job: measured %.3f s, reference %.3f s, ratio %.4f (target < 1.05)\n",
              one.seconds, reference, one.seconds / reference);

  std::vector<Run> four(4);
  std::vector<std::thread> threads;
  const auto t0 = Clock::now();
  for (Run& r : four) threads.emplace_back([&r, &part, &job] { r = ProgramOne(part, job); });
  for (std::thread& t : threads) t.join();
  const double gang = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("atmega2560_program_job_4_at_once: measured %.3f s, reference %.3f s, ratio %.4f (target < 1.25)\n",
              gang, one.seconds, gang / one.seconds);
  bool ok = one.passed && one.seconds / reference < 1.05 && gang / one.seconds < 1.25;
  for (const Run& r : four) ok = ok && r.passed;
  if (!ok) std::fprintf(stderr, "a job failed or a target was missed\n");
  return ok ? 0 : 1;
}
