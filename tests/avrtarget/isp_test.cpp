#include "tests/avrtarget/chip_driver.h"

namespace bq::avrsim {
namespace {

using Bytes = std::array<std::uint8_t, 4>;

TEST(IspTarget, EnterReadSignatureWritePageAndCatchAStepWhileBusy) {
  ChipDriver board(ChipDriver::Part("ATmega328P"));  // factory fuses: 8 MHz RC / 8
  board.EnterReset();
  EXPECT_EQ(board.Isp({0xAC, 0x53, 0x00, 0x00})[2], 0x53);
  EXPECT_EQ(board.Isp({0x30, 0x00, 0x00, 0x00})[3], 0x1E);
  EXPECT_EQ(board.Isp({0x30, 0x00, 0x01, 0x00})[3], 0x95);
  EXPECT_EQ(board.Isp({0x30, 0x00, 0x02, 0x00})[3], 0x0F);
  EXPECT_EQ(board.Isp({0x38, 0x00, 0x00, 0x00})[3], 0xA0);
  EXPECT_EQ(board.Isp({0x50, 0x00, 0x00, 0x00})[3], 0x62);

  // Page 3 (64 words per page): offsets from the loads, the page from the write.
  for (std::uint8_t word = 0; word < 64; ++word) {
    board.Isp({0x40, 0x00, word, static_cast<std::uint8_t>(word)});
    board.Isp({0x48, 0x00, word, static_cast<std::uint8_t>(0x80 | word)});
  }
  board.Isp({0x4C, 0x00, 0xC0, 0x00});
  EXPECT_EQ(board.Isp({0xF0, 0x00, 0x00, 0x00})[3] & 1, 1);
  EXPECT_TRUE(board.violations.empty());
  board.Isp({0x20, 0x00, 0xC0, 0x00});  // a read while the page is still being written
  ASSERT_EQ(board.violations.size(), 1u);
  EXPECT_NE(board.violations[0].find("0x20"), std::string::npos) << board.violations[0];
  board.Wait(3 * kMs);
  EXPECT_EQ(board.Isp({0xF0, 0x00, 0x00, 0x00})[3] & 1, 0);
  EXPECT_EQ(board.Isp({0x20, 0x00, 0xC5, 0x00})[3], 0x05);
  EXPECT_EQ(board.Isp({0x28, 0x00, 0xC5, 0x00})[3], 0x85);
  EXPECT_EQ(board.chip->State().flash[0x180 + 2 * 63 + 1], 0xBF);
  // The buffer starts over from 0xFF, and a page programmed again only loses bits.
  board.Isp({0x40, 0x00, 0x05, 0xF0});
  board.Isp({0x4C, 0x00, 0xC0, 0x00});
  board.Wait(3 * kMs);
  EXPECT_EQ(board.Isp({0x20, 0x00, 0xC5, 0x00})[3], 0x00);
  EXPECT_EQ(board.Isp({0x20, 0x00, 0xC6, 0x00})[3], 0x06);

  board.Isp({0x48, 0x00, 0x07, 0x12});  // high byte first
  board.Drive(Pin::Reset, Level::High);
  board.Drive(Pin::Reset, Level::Low, 10 * kUs);
  board.Wait(5 * kMs);
  board.Isp({0xAC, 0x53, 0x00, 0x00});  // too soon after RESET
  EXPECT_EQ(board.violations.size(), 3u);
}

TEST(IspTarget, SckTooFastForTheChipClockGivesNoEcho) {
  ChipDriver board(ChipDriver::Part("ATmega328P"));  // 1 MHz: each SCK phase must exceed 2 us
  board.EnterReset();
  EXPECT_NE(board.Isp({0xAC, 0x53, 0x00, 0x00}, 250000)[2], 0x53);
  EXPECT_FALSE(board.notes.empty());
  board.EnterReset();
  EXPECT_NE(board.BitBang(0xAC, 1 * kUs), 0xFF);
  EXPECT_NE(board.BitBang(0x53, 1 * kUs), 0x53);
  board.BitBang(0x00, 1 * kUs);
  EXPECT_NE(board.BitBang(0x00, 1 * kUs), 0x53);

  board.EnterReset();
  Bytes echo;
  for (unsigned i = 0; i < 4; ++i)
    echo[i] = board.BitBang(Bytes{0xAC, 0x53, 0x00, 0x00}[i], 5 * kUs);
  EXPECT_EQ(echo[2], 0x53);
  EXPECT_EQ(board.BitBang(0x30, 5 * kUs), 0x00);
  board.BitBang(0x00, 5 * kUs);
  board.BitBang(0x01, 5 * kUs);
  EXPECT_EQ(board.BitBang(0x00, 5 * kUs), 0x95);
  EXPECT_EQ(board.Isp({0xAC, 0x53, 0x00, 0x00}, 125000)[2], 0x53);
  EXPECT_TRUE(board.violations.empty());
}

TEST(IspTarget, FusesThatCutTheSerialInterfaceOff) {
  for (const auto& [part, high, low] :
       {std::tuple{"ATmega328P", 0x59, 0x62}, std::tuple{"ATtiny85", 0x9F, 0x62},
        std::tuple{"ATtiny85", 0xFF, 0x62}, std::tuple{"ATmega328P", 0xD9, 0xE0}}) {
    auto config = ChipDriver::Part(part);
    config.high = static_cast<std::uint8_t>(high);  // RSTDISBL or DWEN programmed, or SPIEN not
    config.low = static_cast<std::uint8_t>(low);    // or an external clock
    config.externalClockHz = 0;                     // that is not there
    ChipDriver board(config);
    board.EnterReset();
    EXPECT_NE(board.Isp({0xAC, 0x53, 0x00, 0x00})[2], 0x53) << part << " " << high;
    EXPECT_EQ(board.Read(Pin::Miso), Level::Float);
    ASSERT_EQ(board.notes.size(), 1u);
  }
}

// Low fuse FF: an external crystal, none fitted. A clock on XTAL1 is the chip's clock while
// it runs, from a RESET pulse on; SCK is judged against it; a stop silences the chip.
TEST(IspTarget, AChipWithoutItsCrystalAnswersOnlyWhileAClockIsOnXtal1) {
  auto config = ChipDriver::Part("ATmega328P");
  config.low = 0xFF;
  config.externalClockHz = 0;
  ChipDriver board(config);
  board.EnterReset();
  EXPECT_NE(board.Isp({0xAC, 0x53, 0x00, 0x00})[2], 0x53);
  board.chip->ClockOnXtal1(1000000, board.now);
  EXPECT_NE(board.Isp({0xAC, 0x53, 0x00, 0x00})[2], 0x53);  // it needs the clock at RESET
  board.EnterReset();
  EXPECT_NE(board.Isp({0xAC, 0x53, 0x00, 0x00}, 250000)[2], 0x53);  // 2 us phases: too fast
  board.EnterReset();
  EXPECT_EQ(board.Isp({0xAC, 0x53, 0x00, 0x00}, 125000)[2], 0x53);
  EXPECT_EQ(board.Isp({0x50, 0x00, 0x00, 0x00})[3], 0xFF);
  board.chip->ClockOnXtal1(0, board.now);
  EXPECT_EQ(board.Read(Pin::Miso), Level::Float);
  board.chip->ClockOnXtal1(1000000, board.now);
  EXPECT_NE(board.Isp({0x30, 0x00, 0x01, 0x00})[3], 0x95);
  board.EnterReset();
  EXPECT_EQ(board.Isp({0xAC, 0x53, 0x00, 0x00})[2], 0x53);
  EXPECT_EQ(board.Isp({0x30, 0x00, 0x01, 0x00})[3], 0x95);
  EXPECT_TRUE(board.violations.empty());

  // A crystal fitted (16 MHz: 2 MHz SCK works) gives way to a slower clock driven on XTAL1.
  config.externalClockHz = 16000000;
  ChipDriver fitted(config);
  fitted.EnterReset();
  EXPECT_EQ(fitted.Isp({0xAC, 0x53, 0x00, 0x00}, 2000000)[2], 0x53);
  fitted.chip->ClockOnXtal1(1000000, fitted.now);
  fitted.EnterReset();
  EXPECT_NE(fitted.Isp({0xAC, 0x53, 0x00, 0x00}, 2000000)[2], 0x53);
}

TEST(IspTarget, Atmega8HasNoPollSoOnlyTheFullWaitIsSafe) {
  ChipDriver board(ChipDriver::Part("ATmega8"));  // 1 MHz internal RC
  board.EnterReset();
  EXPECT_EQ(board.Isp({0xAC, 0x53, 0x00, 0x00})[2], 0x53);
  EXPECT_EQ(board.Isp({0x38, 0x00, 0x03, 0x00})[3], 0xA3);
  board.Isp({0xC0, 0x00, 0x10, 0x5A});
  EXPECT_EQ(board.Isp({0xA0, 0x00, 0x10, 0x00})[3], 0xFF);  // data polling is allowed
  EXPECT_TRUE(board.violations.empty());
  EXPECT_EQ(board.Isp({0xF0, 0x00, 0x00, 0x00})[3], 0x00);  // not a poll here: an echo
  EXPECT_EQ(board.violations.size(), 1u);
  board.Wait(9 * kMs);
  EXPECT_EQ(board.Isp({0xA0, 0x00, 0x10, 0x00})[3], 0x5A);
  EXPECT_EQ(board.violations.size(), 1u);
}

// At the board's slowest clock (57.6 kHz), which the slowest factory clocks can follow.
TEST(IspTarget, EveryListedPartAnswersWithItsFactoryFuses) {
  PartDatabase db;
  ASSERT_GT(LoadPartList(db, std::string(BQ_SOURCE_DIR) + "/PartList.cfg"), 0);
  for (const auto& [name, part] : db.parts()) {
    ChipDriver board(ChipDriver::Part(name));
    board.EnterReset();
    EXPECT_EQ(board.Isp({0xAC, 0x53, 0x00, 0x00}, 57600)[2], 0x53) << name;
    EXPECT_EQ(board.Isp({0x30, 0x00, 0x01, 0x00}, 57600)[3], (part.signature >> 8) & 0xFF) << name;
    EXPECT_TRUE(board.violations.empty() && board.notes.empty())
        << name << (board.notes.empty() ? "" : ": " + board.notes[0]);
  }
}

}  // namespace
}  // namespace bq::avrsim
