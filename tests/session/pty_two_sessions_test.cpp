// Two sessions in one process, each on its own pseudo-terminal with a simulated programmer
// behind it, working at the same time (run under ThreadSanitizer too).

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/posix/posix_port_driver.h"
#include "session/chip_session.h"
#include "sim/sim_chip.h"
#include "tests/sim/pty_simulator.h"
#include "tests/ui/test_parts.h"

namespace bq {
namespace {

TEST(TwoSessions, ProgramTwoChipsAtOnceOverRealPorts) {
  PartDatabase parts;
  test::FillTestParts(parts);
  const PartRecord& part = *parts.Find("MEGAPP");
  const MemoryGeometry flash = FlashGeometry(part);
  SimOptions options;
  options.pace = true;  // the wire's own speed, so the two really overlap
  struct Bench {
    std::unique_ptr<PtySimulator> sim;
    std::vector<std::uint8_t> program, back;
    SessionResult write, verify, read;
    std::string log;
  } benches[2];
  for (int i = 0; i < 2; ++i) {
    auto chip = std::make_shared<SimChip>(SimChip::FromPart("MEGAPP", part));
    benches[i].sim = std::make_unique<PtySimulator>(chip, options);
    ASSERT_TRUE(benches[i].sim->Start());
    benches[i].program.assign(flash.PageBytes() * 8, static_cast<std::uint8_t>(0x30 + i));
  }
  auto run = [&](Bench& b) {
    ChipSession session({std::make_shared<PosixPortDriver>()});
    session.SetLogObserver([&b](LogKind, const std::string& text) { b.log += text + "\n"; });
    if (!session.Open(b.sim->SlavePath())) return;
    session.SetMode(part.hvMode);
    b.write = session.WriteMemory(flash, 8, b.program);
    std::optional<std::uint32_t> difference;
    b.verify = session.VerifyMemory(flash, 8, b.program, difference);
    b.read = session.ReadMemory(flash, 8, b.back);
  };
  std::thread first(run, std::ref(benches[0]));
  std::thread second(run, std::ref(benches[1]));
  first.join();
  second.join();
  for (const Bench& b : benches) {
    EXPECT_TRUE(b.write.ok()) << b.log;
    EXPECT_TRUE(b.verify.ok()) << b.log;
    EXPECT_TRUE(b.read.ok()) << b.log;
    EXPECT_EQ(b.back, b.program);
    EXPECT_EQ(b.log, "1024 bytes written to FLASH\nVerified OK\nFLASH Code read into buffer\n");
  }
}

}  // namespace
}  // namespace bq
