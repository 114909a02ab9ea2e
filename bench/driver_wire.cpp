// Each programmer driver writes and verifies the whole 32 KiB flash of an ATmega328P through
// the engine, over a real pseudo-terminal, against its simulated programmer pacing at the
// line's rate. The reference is the physical limit: every byte of the conversation, both
// directions, at the rate and framing the driver set the line to (10 bits a byte for 8N1).
// A ratio near 1.00 means the driver loses no time between the bytes (no extra waits,
// sleeps or read time-outs).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "link/serial_peer.h"
#include "parts/part_database.h"
#include "platform/posix/posix_port_driver.h"
#include "platform/posix/pty_server.h"
#include "session/chip_session.h"
#include "sim/sim_chip.h"
#include "sim/sim_connection.h"
#include "sim/sim_serial_peer.h"

namespace {

using namespace bq;
using Clock = std::chrono::steady_clock;

// Counts the bytes of the conversation both ways and its turns (a request after an answer),
// and keeps the line the host set.
class CountingPeer : public SerialPeer {
 public:
  explicit CountingPeer(std::shared_ptr<SerialPeer> inner) : inner_(std::move(inner)) {}
  void LineSet(const LineSettings& line) override {
    baud_ = line.baud;
    bits_ = BitsPerCharacter(line);
    inner_->LineSet(line);
  }
  void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) override {
    bytes_ += n;
    if (answered_.exchange(false)) ++turns_;
    inner_->Receive(data, n, now);
  }
  std::optional<Clock::time_point> TakeDue(Clock::time_point now,
                                           std::vector<std::uint8_t>& out) override {
    const std::size_t before = out.size();
    const auto next = inner_->TakeDue(now, out);
    bytes_ += out.size() - before;
    if (out.size() > before) answered_ = true;
    return next;
  }
  bool HungUp() const override { return inner_->HungUp(); }

  std::size_t Bytes() const { return bytes_.load(); }
  std::size_t Turns() const { return turns_.load(); }
  void Reset() {
    bytes_ = 0;
    turns_ = 0;
  }
  // Seconds the bytes counted so far take on the line.
  double WireSeconds() const {
    return static_cast<double>(Bytes()) * bits_.load() / static_cast<double>(baud_.load());
  }

 private:
  std::shared_ptr<SerialPeer> inner_;
  std::atomic<std::size_t> bytes_{0};
  std::atomic<std::size_t> turns_{0};
  std::atomic<bool> answered_{false};
  std::atomic<std::uint32_t> baud_{115200};
  std::atomic<unsigned> bits_{10};
};

std::shared_ptr<SerialPeer> PacedPeer(ProgrammerKind kind, std::shared_ptr<SimChip> chip,
                                      const PartRecord& part) {
  if (kind == ProgrammerKind::Brindlequartz) {
    SimOptions options;
    options.connect = SimConnect::kIsp;
    options.pace = true;
    return std::make_shared<SimLinePeer>(std::make_shared<SimLine>(chip, options));
  }
  const std::string protocol = InfoFor(kind).name;
  return std::make_shared<SimPacedPeer>(MakeStk500Answerer(protocol, chip, part, SimConnect::kIsp),
                                        /*pace=*/true);
}

int Run(ProgrammerKind kind, const PartRecord& part) {
  const std::string name = std::string("driver_wire_") + InfoFor(kind).name;
  auto chip = std::make_shared<SimChip>(SimChip::FromPart("ATmega328P", part));
  auto counter = std::make_shared<CountingPeer>(PacedPeer(kind, chip, part));
  PtyServer server(counter);
  ChipSession session({std::make_shared<PosixPortDriver>()}, kind);
  session.SetPart("ATmega328P", &part);
  session.SetMode(PROG_MODE_ISP);
  std::string why;
  if (!server.Start() || !session.Open(server.SlavePath(), &why)) {
    std::printf("%s: FAILED (%s)\n", name.c_str(), why.c_str());
    return 1;
  }
  std::uint8_t clock = 0;
  if (session.Programmer().can.ispClock && !session.SelectIspClock(1, clock).ok()) {
    std::printf("%s: FAILED (no ISP clock)\n", name.c_str());
    return 1;
  }
  std::uint32_t signature = 0;  // the programmer is in programming mode before the clock runs
  if (const SessionResult r = session.ReadSignature(signature); !r.ok()) {
    std::printf("%s: FAILED (%s)\n", name.c_str(), r.message.c_str());
    return 1;
  }
  const MemoryGeometry flash = FlashGeometry(part);
  std::vector<std::uint8_t> image(flash.Bytes());
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31 + 7);

  counter->Reset();
  const auto t0 = Clock::now();
  const SessionResult write = session.WriteMemory(flash, 0, image);
  std::optional<std::uint32_t> difference;
  const SessionResult verify =
      write.ok() ? session.VerifyMemory(flash, 0, image, difference) : write;
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (!write.ok() || !verify.ok() || chip->flash != image) {
    std::printf("%s: FAILED (%s)\n", name.c_str(),
                (write.ok() ? verify.message : write.message).c_str());
    return 1;
  }
  const double reference = counter->WireSeconds();
  std::printf("%s: measured %.3f s, reference %.3f s, ratio %.3f (target <= 1.05)\n", name.c_str(),
              seconds, reference, seconds / reference);
  std::printf("  %zu bytes in %zu exchanges for 32 KiB written and verified\n", counter->Bytes(),
              counter->Turns() + 1);
  return 0;
}

}  // namespace

int main() {
  PartDatabase parts;
  if (LoadPartList(parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg") <= 0 ||
      parts.Find("ATmega328P") == nullptr) {
    std::printf("driver_wire: FAILED (no ATmega328P in the part list)\n");
    return 1;
  }
  const PartRecord& part = *parts.Find("ATmega328P");
  int failures = 0;
  for (const ProgrammerInfo& info : ProgrammerTable()) {
    if (info.can.updi) continue;  // no classic part on a UPDI pin: bench_serialupdi_wire
    failures += Run(info.kind, part);
  }
  return failures == 0 ? 0 : 1;
}
