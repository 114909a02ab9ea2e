// The SerialUPDI driver writing an AVR Dx's whole flash and EEPROM through the engine, against
// the simulated chip in process (the sim: port), at the slowest, the usual and the fastest
// rates the driver runs at. Flash pages and EEPROM blocks go out without ACKs, paced on the
// wire for the memory's write time; the chip model loses any store that comes sooner, so the
// read-back shows whether the pacing holds at each rate.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>

#include "drivers/serialupdi/serialupdi_driver.h"
#include "drivers/serialupdi/updi_burst.h"
#include "parts/part_database.h"
#include "session/chip_session.h"
#include "sim/sim_port_driver.h"

namespace bq {
namespace {

struct Rate {
  std::uint32_t baud;
  std::size_t wordBytes;  // one word's store on the wire, for a 75 us word write
};

void PrintTo(const Rate& r, std::ostream* os) {
  *os << r.baud << " baud";
}

class SerialUpdiDxFlash : public testing::TestWithParam<Rate> {};

TEST_P(SerialUpdiDxFlash, WritesEveryWordOnceAPageTurnOfTheLine) {
  EXPECT_EQ(updi::Burst::Stride(GetParam().baud, 2, 75'000), GetParam().wordBytes);
  PartDatabase parts;
  ASSERT_GT(LoadPartList(parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg"), 0);
  const PartRecord* part = parts.Find("AVR128DA48");
  ASSERT_NE(part, nullptr);
  ChipSession session({std::make_shared<SimPortDriver>(&parts)}, ProgrammerKind::SerialUpdi);
  session.SetProgrammer(ProgrammerKind::SerialUpdi, GetParam().baud);
  session.SetPartDatabase(&parts);
  session.SetPart("AVR128DA48", part);
  std::string why;
  ASSERT_TRUE(session.Open("sim:AVR128DA48", &why)) << why;
  auto& driver = dynamic_cast<SerialUpdiDriver&>(session.Driver());
  ASSERT_EQ(driver.Rate(), GetParam().baud);
  ASSERT_TRUE(session.Erase().ok());

  const MemoryGeometry flash = FlashGeometry(*part);
  std::mt19937 gen(GetParam().baud);
  std::vector<std::uint8_t> image(flash.Bytes());
  for (auto& b : image) b = static_cast<std::uint8_t>(gen());
  const updi::WireCounts before = driver.Counts();
  const SessionResult written = session.WriteMemory(flash, 0, image);
  ASSERT_TRUE(written.ok()) << written.message;
  // Nothing comes back but the echo and one status byte a page.
  const updi::WireCounts after = driver.Counts();
  EXPECT_EQ((after.received - before.received) - (after.sent - before.sent),
            flash.Bytes() / flash.PageBytes());

  std::vector<std::uint8_t> back;
  ASSERT_TRUE(session.ReadMemory(flash, 0, back).ok());
  EXPECT_TRUE(back == image);
  // Pages written again without an erase between are erased page by page first.
  for (std::size_t i = 0; i < 1024; ++i) image[i] = static_cast<std::uint8_t>(~image[i]);
  ASSERT_TRUE(session.WriteMemory(flash, 2, image).ok());
  ASSERT_TRUE(session.ReadMemory(flash, 2, back).ok());
  EXPECT_TRUE(std::equal(back.begin(), back.end(), image.begin()));

  // The EEPROM, 32 bytes erased at once and written a byte at a time the same way, over
  // bytes written before; a last block shorter than 32 bytes the slow way.
  const MemoryGeometry eeprom = EepromGeometry(*part);
  for (int round = 0; round < 2; ++round) {
    std::vector<std::uint8_t> bytes(eeprom.Bytes());
    for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
    const std::uint32_t pages = round == 0 ? 0 : 100 / eeprom.PageBytes();
    ASSERT_TRUE(session.WriteMemory(eeprom, pages, bytes).ok());
    ASSERT_TRUE(session.ReadMemory(eeprom, pages, back).ok());
    EXPECT_TRUE(std::equal(back.begin(), back.end(), bytes.begin())) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, SerialUpdiDxFlash,
                         testing::Values(Rate{57600, 2}, Rate{230400, 2}, Rate{460800, 4},
                                         Rate{900000, 7}),
                         [](const testing::TestParamInfo<Rate>& info) {
                           return std::to_string(info.param.baud);
                         });

}  // namespace
}  // namespace bq
