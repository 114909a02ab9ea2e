// The simulated chip's memories seen through the real link (worker, POSIX port driver,
// pseudo-terminal): what a programmer gets when it writes without erasing first.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "link/programmer.h"
#include "link/protocol.h"
#include "platform/posix/posix_port_driver.h"
#include "sim/sim_chip.h"
#include "tests/link/link_test_support.h"
#include "tests/sim/pty_simulator.h"

namespace bq::test {
namespace {

using namespace std::chrono_literals;

// Flash of 8 pages of 32 words, EEPROM of 16 pages of 4 bytes, HVPP.
PartRecord SmallPart() {
  PartRecord part;
  part.signature = 0x1E9307;
  part.flashPageSizeW = 32;
  part.flashNoOfPages = 8;
  part.eepromPageSize = 4;
  part.eepromNoOfPages = 16;
  part.hvMode = 1;
  return part;
}

// A second write without an erase: flash keeps only the bits both images have (so the
// verify of the second image fails), EEPROM takes the second image. After an erase the
// same write verifies.
TEST(SimMemories, FlashWrittenWithoutEraseFailsVerificationEepromDoesNot) {
  const struct {
    std::uint8_t kind, pageSize, pages;
    bool flash;
    const char* verifyAfterSecondWrite;
  } cases[] = {
      {MEMORY_FLASH, 32, 8, true, "Chip differ !!!"},
      {MEMORY_EEPROM, 4, 16, false, "Verified OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flash ? "flash" : "EEPROM");
    auto chip = std::make_shared<SimChip>(SimChip::FromPart("Small", SmallPart()));
    PtySimulator sim(chip, {});
    SerialPort port{{std::make_shared<PosixPortDriver>()}};
    MemoryBuffer flash{kFlashBufferBytes}, eeprom{kEepromBufferBytes};
    FuseByteSlots fuses, lockBits;
    RecordingEvents events;
    CProgrammer programmer;  // stopped first
    ASSERT_TRUE(sim.Start() && port.OpenPort(sim.SlavePath()) &&
                programmer.StartWorker({port, flash, eeprom, fuses, lockBits, events}));
    programmer.SetProgrammingMode(PROG_MODE_HVPP);
    ASSERT_TRUE(programmer.SetTransferParams(c.kind, c.pageSize, c.pages));
    auto run = [&](bool (CProgrammer::*start)()) {
      ASSERT_TRUE((programmer.*start)());
      ASSERT_TRUE(programmer.WaitIdleFor(20s));
    };
    auto lastLine = [&] { return events.LogTexts().empty() ? "" : events.LogTexts().back(); };

    std::uint8_t* image = (c.flash ? flash : eeprom).data();
    const std::size_t bytes = std::size_t{c.pages} * PageBytes(c.kind, c.pageSize);
    Bytes first(bytes), second(bytes), stored(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
      first[i] = static_cast<std::uint8_t>(i * 7 + 3);
      second[i] = static_cast<std::uint8_t>(first[i] ^ 0x5A);
      stored[i] = c.flash ? static_cast<std::uint8_t>(first[i] & second[i]) : second[i];
    }
    std::copy(first.begin(), first.end(), image);
    run(&CProgrammer::StartWriteMemory);
    std::copy(second.begin(), second.end(), image);
    run(&CProgrammer::StartWriteMemory);
    EXPECT_EQ(sim.line().With(
                  [&](SimProgrammer& p) { return c.flash ? p.chip().flash : p.chip().eeprom; }),
              stored);
    run(&CProgrammer::StartVerifyMemory);
    EXPECT_EQ(lastLine(), c.verifyAfterSecondWrite);

    ASSERT_TRUE(programmer.EraseRequest());
    run(&CProgrammer::StartWriteMemory);
    run(&CProgrammer::StartVerifyMemory);
    EXPECT_EQ(lastLine(), "Verified OK");
  }
}

}  // namespace
}  // namespace bq::test
