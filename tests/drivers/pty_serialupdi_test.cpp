// The SerialUPDI driver over a real pseudo-terminal against the simulated UPDI chip
// (brindlequartz-sim --protocol serialupdi), one part of each family (tinyAVR 1 small and
// large, tinyAVR 2, megaAVR 0, AVR DA; the vendor files hold no ATtiny3227): identify, the whole
// flash written, verified and read back, EEPROM, user row, fuses, a lock then the erase of
// the locked chip, and a UPDI pin turned into GPIO.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "drivers/serialupdi/serialupdi_driver.h"
#include "parts/part_database.h"
#include "platform/posix/posix_port_driver.h"
#include "session/chip_session.h"
#include "tests/drivers/pty_sim_process.h"

namespace bq {
namespace {

std::string PartListPath() {
  return std::string(BQ_SOURCE_DIR) + "/PartList.cfg";
}

// brindlequartz-sim serving one part over SerialUPDI.
class UpdiSim : public test::PtySimProcess {
 public:
  explicit UpdiSim(const std::string& part)
      : PtySimProcess(BQ_SIM_PROGRAM, "serialupdi", PartListPath(), part) {}
};

std::vector<std::uint8_t> Random(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(gen());
  return v;
}

struct Family {
  const char* part;
  std::uint32_t baud;
};

class SerialUpdiOverPty : public testing::TestWithParam<Family> {};

TEST_P(SerialUpdiOverPty, ProgramsEveryMemoryLocksAndErasesTheLockedChip) {
  PartDatabase parts;
  ASSERT_GT(LoadPartList(parts, PartListPath()), 0);
  const std::string name = GetParam().part;
  const PartRecord* part = parts.Find(name);
  ASSERT_NE(part, nullptr);
  ASSERT_TRUE(part->IsUpdi());
  UpdiSim sim(name);
  ASSERT_EQ(sim.Path().rfind("/dev/pts/", 0), 0u) << sim.Path();

  ChipSession session({std::make_shared<PosixPortDriver>()}, ProgrammerKind::SerialUpdi);
  session.SetProgrammer(ProgrammerKind::SerialUpdi, GetParam().baud);
  session.SetPartDatabase(&parts);
  std::string why;
  ASSERT_TRUE(session.Open(sim.Path(), &why)) << why;
  IdentifiedChip chip;
  ASSERT_TRUE(session.Identify(chip).ok());
  EXPECT_EQ(chip.signature, part->signature);
  session.SetPart(name, part);

  auto check = [](const SessionResult& r) { return r.ok() ? std::string() : r.message; };
  ASSERT_EQ(check(session.Erase()), "");
  unsigned seed = 1;
  for (const MemoryGeometry& memory :
       {FlashGeometry(*part), EepromGeometry(*part), UserRowGeometry(*part)}) {
    SCOPED_TRACE(MemoryName(memory.kind));
    const std::vector<std::uint8_t> image = Random(memory.Bytes(), seed++);
    ASSERT_EQ(check(session.WriteMemory(memory, 0, image)), "");
    std::optional<std::uint32_t> difference;
    EXPECT_EQ(check(session.VerifyMemory(memory, 0, image, difference)), "");
    std::vector<std::uint8_t> back;
    ASSERT_EQ(check(session.ReadMemory(memory, 0, back)), "");
    EXPECT_TRUE(back == image);
  }

  // A fuse byte written reads back once the chip was reset (closing the session resets it).
  const std::vector<NamedFuseValue> wdt{{0, 0x03}};
  ASSERT_EQ(check(session.WriteNamedFuses(wdt)), "");
  session.Close();
  ASSERT_TRUE(session.Open(sim.Path(), &why)) << why;
  int differing = -1;
  EXPECT_EQ(check(session.VerifyNamedFuses(wdt, differing)), "");

  // Locked at the next reset: everything but the keyed erase is refused, nothing erased.
  ASSERT_EQ(check(session.WriteLockWord(0)), "");
  session.Close();
  ASSERT_TRUE(session.Open(sim.Path(), &why)) << why;
  std::vector<std::uint8_t> flash;
  const SessionResult refused = session.ReadMemory(FlashGeometry(*part), 1, flash);
  EXPECT_EQ(refused.message, kUpdiLockedText);
  EXPECT_EQ(session.Erase().message, kUpdiLockedText);
  ASSERT_EQ(check(session.EraseLocked()), "");
  EXPECT_EQ(check(session.BlankCheck(FlashGeometry(*part))), "");
  std::uint32_t lock = 0;
  ASSERT_EQ(check(session.ReadLockWord(lock)), "");
  EXPECT_EQ(lock, part->updi.lockOpenValue);

  if (!part->updi.pinShared) return;
  // The UPDI pin made GPIO: after the reset the chip no longer answers, the echo still comes.
  std::uint8_t offset = 0xFF;
  std::uint8_t mask = 0;
  for (const NamedFuseByte& f : part->updi.fuses) {
    if (f.name != part->updi.pinFuse) continue;
    offset = f.offset;
    for (const BitFieldDesc& field : f.fields) {
      if (field.name == part->updi.pinField) mask = field.mask;
    }
  }
  ASSERT_NE(offset, 0xFF);
  std::vector<std::uint8_t> fuses;
  ASSERT_EQ(check(session.ReadNamedFuses(fuses)), "");
  const auto gpio = static_cast<std::uint8_t>(fuses[offset] & ~mask);  // field value 0: GPIO
  ASSERT_EQ(check(session.WriteNamedFuses({{offset, gpio}})), "");
  session.Close();
  // The adapter is there (its echo comes), so the port opens; the chip is what is missing.
  ASSERT_TRUE(session.Open(sim.Path(), &why)) << why;
  std::uint32_t signature = 0;
  const SessionResult gone = session.ReadSignature(signature);
  EXPECT_EQ(gone.status, SessionStatus::DeviceError);
  EXPECT_FALSE(ProgrammerLost(gone));
  EXPECT_NE(gone.message.find("No answer from the UPDI pin"), std::string::npos) << gone.message;
  EXPECT_NE(gone.message.find("GPIO or RESET"), std::string::npos) << gone.message;
}

INSTANTIATE_TEST_SUITE_P(OnePartOfEachFamily, SerialUpdiOverPty,
                         testing::Values(Family{"ATtiny412", 230400}, Family{"ATtiny1614", 230400},
                                         Family{"ATtiny1627", 230400}, Family{"ATmega4809", 460800},
                                         Family{"AVR128DA48", 460800}),
                         [](const testing::TestParamInfo<Family>& info) {
                           return std::string(info.param.part);
                         });

}  // namespace
}  // namespace bq
