// The SerialUPDI driver through the engine, over a real pseudo-terminal, against the
// simulated UPDI chip (brindlequartz-sim --protocol serialupdi, which paces every byte at the
// line's rate): 32 KiB written and verified on an ATtiny3217, 128 KiB written on an
// AVR128DA48 (checked afterwards, untimed), at 230400 and 460800 baud. The reference is every
// byte of the exchange, sent and received (echo included), at 12 bits a byte (8E2) at the
// rate the link runs at; the host's bytes alone and, on the AVR Dx, the flash's own write
// time are shown beside it.

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "drivers/serialupdi/serialupdi_driver.h"
#include "parts/part_database.h"
#include "platform/posix/posix_port_driver.h"
#include "session/chip_session.h"
#include "tests/drivers/pty_sim_process.h"

namespace {

using namespace bq;
using Clock = std::chrono::steady_clock;

std::string PartListPath() {
  return std::string(BQ_SOURCE_DIR) + "/PartList.cfg";
}

// brindlequartz-sim serving one part over SerialUPDI.
class UpdiSim : public test::PtySimProcess {
 public:
  explicit UpdiSim(const std::string& part)
      : PtySimProcess(std::string(BQ_BINARY_DIR) + "/app/sim/brindlequartz-sim", "serialupdi",
                      PartListPath(), part) {}
};

int Run(const PartDatabase& parts, const std::string& partName, std::uint32_t kib, bool verify,
        std::uint32_t baud) {
  const std::string name = "serialupdi_wire_" + partName + "_" + std::to_string(baud);
  const PartRecord* part = parts.Find(partName);
  if (part == nullptr) {
    std::printf("%s: FAILED (no such part in the part list)\n", name.c_str());
    return 1;
  }
  UpdiSim sim(partName);
  ChipSession session({std::make_shared<PosixPortDriver>()}, ProgrammerKind::SerialUpdi);
  session.SetProgrammer(ProgrammerKind::SerialUpdi, baud);
  session.SetPart(partName, part);
  std::string why;
  if (sim.Path().empty() || !session.Open(sim.Path(), &why)) {
    std::printf("%s: FAILED (%s)\n", name.c_str(), why.c_str());
    return 1;
  }
  auto& driver = dynamic_cast<SerialUpdiDriver&>(session.Driver());
  if (const SessionResult r = session.Erase(); !r.ok()) {
    std::printf("%s: FAILED (%s)\n", name.c_str(), r.message.c_str());
    return 1;
  }
  const MemoryGeometry flash = FlashGeometry(*part);
  const std::uint32_t pages = kib * 1024u / flash.PageBytes();
  std::vector<std::uint8_t> image(pages * flash.PageBytes());
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31 + 7);

  const updi::WireCounts before = driver.Counts();
  const auto t0 = Clock::now();
  SessionResult r = session.WriteMemory(flash, pages, image);
  const double writeSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::optional<std::uint32_t> difference;
  if (r.ok() && verify) r = session.VerifyMemory(flash, pages, image, difference);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (!r.ok()) {
    std::printf("%s: FAILED (%s)\n", name.c_str(), r.message.c_str());
    return 1;
  }
  const updi::WireCounts after = driver.Counts();
  const std::uint64_t sent = after.sent - before.sent;
  const std::uint64_t bytes = sent + (after.received - before.received);
  const double byteTime = 12.0 / driver.Rate();
  const double reference = static_cast<double>(bytes) * byteTime;
  std::printf("%s: measured %.3f s, reference %.3f s, ratio %.3f (target <= 1.15)\n", name.c_str(),
              seconds, reference, seconds / reference);
  std::printf("  %llu bytes on the wire at %u baud for %u KiB %s; %.1f kB/s of flash\n",
              static_cast<unsigned long long>(bytes), static_cast<unsigned>(driver.Rate()), kib,
              verify ? "written and verified" : "written", image.size() / seconds / 1000.0);
  if (verify) {
    std::printf("  the write alone: %.3f s, %.1f kB/s\n", writeSeconds,
                image.size() / writeSeconds / 1000.0);
  }
  // The echo of a byte comes back while the next one goes out: the host's bytes alone are
  // what keeps the line busy, and a write that never lets it idle measures about 1 here.
  const double oneWay = static_cast<double>(sent) * byteTime;
  std::printf("  the host's %llu bytes alone: %.3f s on the wire, ratio %.3f\n",
              static_cast<unsigned long long>(sent), oneWay, seconds / oneWay);
  if (part->updi.nvmVersion >= 2) {
    // An AVR Dx writes its flash a word at a time, each in up to tP_WRD = 75 us.
    const double flashTime = static_cast<double>(image.size() / 2) * 75e-6;
    std::printf("  the flash's own time: %zu words x 75 us = %.3f s, ratio %.3f\n",
                image.size() / 2, flashTime, seconds / flashTime);
  }
  if (!verify) {
    // Not timed: a fast write counts only if every byte landed.
    r = session.VerifyMemory(flash, pages, image, difference);
    if (!r.ok()) {
      std::printf("%s: FAILED (the written flash differs: %s)\n", name.c_str(), r.message.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main() {
  PartDatabase parts;
  if (LoadPartList(parts, PartListPath()) <= 0) {
    std::printf("serialupdi_wire: FAILED (no part list)\n");
    return 1;
  }
  int failures = 0;
  for (std::uint32_t baud : {230400u, 460800u}) {
    failures += Run(parts, "ATtiny3217", 32, true, baud);
    failures += Run(parts, "AVR128DA48", 128, false, baud);
  }
  return failures == 0 ? 0 : 1;
}
