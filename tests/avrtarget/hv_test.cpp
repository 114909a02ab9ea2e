#include "tests/avrtarget/chip_driver.h"

namespace bq::avrsim {
namespace {

Level Bit(unsigned value, unsigned bit) {
  return (value >> bit) & 1u ? Level::High : Level::Low;
}

// Power up with the Prog_enable lines at 0 and 12 V `vppAfter` later.
void PowerUpWithVpp(ChipDriver& board, std::initializer_list<Pin> progEnable, Nanos vppAfter) {
  for (Pin pin : progEnable) board.Drive(pin, Level::Low);
  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Vcc, Level::Low);
  board.Drive(Pin::Vcc, Level::High, 10 * kUs);
  board.Drive(Pin::Reset, Level::Vpp, vppAfter);
}

// One 11-bit HVSP frame, 1 us per SCI phase; returns the byte SDO shifted out.
std::uint8_t Frame(ChipDriver& board, std::uint8_t sdi, std::uint8_t sii) {
  std::uint8_t sdo = 0;
  for (unsigned bitTime = 0; bitTime < 11; ++bitTime) {
    const unsigned bit = bitTime >= 1 && bitTime <= 8 ? 8 - bitTime : 8;
    board.Drive(Pin::Sdi, Bit(sdi, bit));
    board.Drive(Pin::Sii, Bit(sii, bit));
    if (bitTime < 8)
      sdo = static_cast<std::uint8_t>((sdo << 1) | (board.Read(Pin::Sdo) == Level::High ? 1 : 0));
    board.Drive(Pin::Sci, Level::High, 1 * kUs);
    board.Drive(Pin::Sci, Level::Low, 1 * kUs);
    board.Wait(1 * kUs);
  }
  return sdo;
}

TEST(HvspTarget, FuseWrittenInHighVoltageModeBringsSerialProgrammingBack) {
  auto config = ChipDriver::Part("ATtiny85");
  config.high = 0x5F;  // RSTDISBL programmed
  ChipDriver board(config);
  PowerUpWithVpp(board, {Pin::Sdi, Pin::Sii, Pin::Sdo, Pin::Sci}, 40 * kUs);
  board.Drive(Pin::Sdo, Level::Float, 15 * kUs);
  board.Wait(300 * kUs);
  EXPECT_EQ(board.Read(Pin::Sdo), Level::High);

  Frame(board, 0x08, 0x4C);
  std::array<std::uint8_t, 3> signature{};
  for (std::uint8_t i = 0; i < 3; ++i) {
    Frame(board, i, 0x0C);
    Frame(board, 0x00, 0x68);
    signature[i] = Frame(board, 0x00, 0x6C);
  }
  EXPECT_EQ(signature, (std::array<std::uint8_t, 3>{0x1E, 0x93, 0x0B}));

  // A Flash word, then the high fuse with RSTDISBL unprogrammed, each waited for on SDO.
  Frame(board, 0x10, 0x4C);
  Frame(board, 0x21, 0x0C);
  Frame(board, 0x34, 0x2C);
  Frame(board, 0x12, 0x3C);
  Frame(board, 0x00, 0x7D);
  Frame(board, 0x00, 0x7C);
  Frame(board, 0x00, 0x1C);
  Frame(board, 0x00, 0x64);
  Frame(board, 0x00, 0x6C);
  EXPECT_EQ(board.Read(Pin::Sdo), Level::Low);
  board.Wait(4 * kMs);
  EXPECT_EQ(board.Read(Pin::Sdo), Level::High);
  EXPECT_EQ(board.chip->State().flash[0x42], 0x34);
  EXPECT_EQ(board.chip->State().flash[0x43], 0x12);
  Frame(board, 0x40, 0x4C);
  Frame(board, 0xDF, 0x2C);
  Frame(board, 0x00, 0x74);
  Frame(board, 0x00, 0x7C);
  Frame(board, 0x04, 0x4C);  // too soon: the fuse is still being written
  EXPECT_EQ(board.violations.size(), 1u);
  board.Wait(4 * kMs);
  Frame(board, 0x04, 0x4C);
  Frame(board, 0x00, 0x7A);
  EXPECT_EQ(Frame(board, 0x00, 0x7E), 0xDF);

  // Leave, then serial programming answers on the next power-up.
  board.Drive(Pin::Sci, Level::Low);
  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Vcc, Level::Low, 10 * kUs);
  board.Drive(Pin::Vcc, Level::High, 1 * kMs);
  board.Wait(20 * kMs);
  EXPECT_EQ(board.Isp({0xAC, 0x53, 0x00, 0x00})[2], 0x53);
  EXPECT_EQ(board.Isp({0x58, 0x08, 0x00, 0x00})[3], 0xDF);
  EXPECT_EQ(board.violations.size(), 1u);
}

TEST(HvspTarget, EntryMistakes) {
  ChipDriver board(ChipDriver::Part("ATtiny13"));
  board.Drive(Pin::Vcc, Level::Low);
  board.Drive(Pin::Reset, Level::Vpp, 1 * kUs);  // 12 V with VCC off
  EXPECT_EQ(board.violations.size(), 1u);
  board.Drive(Pin::Reset, Level::Low, 1 * kUs);

  PowerUpWithVpp(board, {Pin::Sdi, Pin::Sii, Pin::Sdo}, 80 * kUs);  // 12 V too late: a note
  board.Drive(Pin::Sdo, Level::Float, 15 * kUs);
  board.Wait(1 * kMs);
  EXPECT_EQ(board.Read(Pin::Sdo), Level::Float);
  EXPECT_EQ(board.notes.size(), 1u);

  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Sdo, Level::Low);
  PowerUpWithVpp(board, {Pin::Sdi, Pin::Sii, Pin::Sdo}, 40 * kUs);
  board.Wait(100 * kUs);  // SDO still driven when the chip takes it
  board.Drive(Pin::Sdo, Level::Float);
  board.Wait(200 * kUs);
  Frame(board, 0x00, 0x6C);  // an idle frame, 300 us after 12 V: fine
  EXPECT_EQ(board.violations.size(), 2u);
}

// The Mega's 28-pin socket: control lines, DATA released (Float) except while loading.
struct ParallelBoard : ChipDriver {
  using ChipDriver::ChipDriver;
  void Put(std::uint8_t data) {
    for (unsigned bit = 0; bit < 8; ++bit)
      Drive(static_cast<Pin>(static_cast<unsigned>(Pin::Data0) + bit), Bit(data, bit));
  }
  void Release() {
    for (unsigned bit = 0; bit < 8; ++bit)
      Drive(static_cast<Pin>(static_cast<unsigned>(Pin::Data0) + bit), Level::Float);
  }
  std::uint8_t Get() {
    std::uint8_t data = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (Read(static_cast<Pin>(static_cast<unsigned>(Pin::Data0) + bit)) == Level::High)
        data |= 1u << bit;
    }
    return data;
  }
  // XA1 XA0 action with BS1 (BS2 stays low) on a 200 ns XTAL1 pulse.
  void Load(bool xa1, bool xa0, bool bs1, std::uint8_t data) {
    Drive(Pin::Xa1, xa1 ? Level::High : Level::Low);
    Drive(Pin::Xa0, xa0 ? Level::High : Level::Low);
    Drive(Pin::Bs1, bs1 ? Level::High : Level::Low);
    Put(data);
    Drive(Pin::Xtal1, Level::High, 100);
    Drive(Pin::Xtal1, Level::Low, 200);
    Wait(300);
    Release();
  }
  void Pulse(Pin pin, Level active) {
    Drive(pin, active, 100);
    Drive(pin, active == Level::Low ? Level::High : Level::Low, 200);
    Wait(100);
  }
  std::uint8_t ReadOut(bool bs1) {
    Drive(Pin::Bs1, bs1 ? Level::High : Level::Low);
    Drive(Pin::Oe, Level::Low, 100);
    Wait(300);
    const std::uint8_t data = Get();
    Drive(Pin::Oe, Level::High);
    Wait(300);
    return data;
  }
  void Enter(Nanos vppAfter = 40 * kUs) {
    Drive(Pin::Oe, Level::High);
    Drive(Pin::Wr, Level::High);
    Drive(Pin::Bs2, Level::Low);
    PowerUpWithVpp(*this, {Pin::Pagel, Pin::Xa1, Pin::Xa0, Pin::Bs1, Pin::Xtal1}, vppAfter);
    Wait(300 * kUs);
  }
};

TEST(HvppTarget, PageWriteAndReadBackAndBusContention) {
  ParallelBoard board(ChipDriver::Part("ATmega328P"));
  board.Enter();
  board.Load(true, false, false, 0x80);  // chip erase
  board.Pulse(Pin::Wr, Level::Low);
  EXPECT_EQ(board.Read(Pin::RdyBsy), Level::Low);
  board.Wait(8 * kMs);
  EXPECT_EQ(board.Read(Pin::RdyBsy), Level::High);

  board.Load(true, false, false, 0x10);  // write Flash: page 1 (64 words) from address 0x40
  for (std::uint8_t word = 0; word < 64; ++word) {
    board.Load(false, false, false, static_cast<std::uint8_t>(0x40 + word));
    board.Load(false, true, false, word);
    board.Load(false, true, true, static_cast<std::uint8_t>(0xC0 | word));
    board.Pulse(Pin::Pagel, Level::High);
    board.Drive(Pin::Bs1, Level::Low, 100);
  }
  board.Load(false, false, true, 0x00);
  board.Drive(Pin::Bs1, Level::Low, 100);
  board.Pulse(Pin::Wr, Level::Low);
  board.Wait(4 * kMs);
  board.Load(true, false, false, 0x00);

  board.Load(true, false, false, 0x02);  // read Flash word 0x47
  board.Load(false, false, false, 0x47);
  EXPECT_EQ(board.ReadOut(false), 0x07);
  EXPECT_EQ(board.ReadOut(true), 0xC7);
  board.Load(true, false, false, 0x08);
  board.Load(false, false, false, 0x01);
  EXPECT_EQ(board.ReadOut(false), 0x95);
  EXPECT_TRUE(board.violations.empty()) << board.violations[0];

  board.Drive(Pin::Oe, Level::Low);
  board.Drive(Pin::Data3, Level::High, 100);
  ASSERT_EQ(board.violations.size(), 1u);
  EXPECT_NE(board.violations[0].find("contention"), std::string::npos);
}

TEST(HvppTarget, Atmega8TakesOnlyTheXtal1ToggleEntry) {
  ParallelBoard board(ChipDriver::Part("ATmega8"));
  board.Enter();  // VCC-timed: not honoured, a note
  EXPECT_EQ(board.Read(Pin::RdyBsy), Level::Float);
  EXPECT_EQ(board.notes.size(), 1u);
  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Vcc, Level::Low, 10 * kUs);
  board.Drive(Pin::Vcc, Level::High, 1 * kMs);
  board.Wait(100 * kUs);
  for (int toggle = 0; toggle < 6; ++toggle)
    board.Drive(Pin::Xtal1, toggle % 2 ? Level::Low : Level::High, 1 * kUs);
  board.Drive(Pin::Reset, Level::Vpp, 1 * kUs);
  board.Wait(100 * kUs);
  EXPECT_EQ(board.Read(Pin::RdyBsy), Level::High);
  board.Load(true, false, false, 0x08);
  board.Load(false, false, false, 0x02);
  EXPECT_EQ(board.ReadOut(false), 0x07);
  board.Load(false, false, false, 0x03);
  EXPECT_EQ(board.ReadOut(true), 0xA3);
  EXPECT_TRUE(board.violations.empty());
}

TEST(HvppTarget, Atmega8WithResetDisabledEntersOnlyWithVccAnd12VTogether) {
  TargetConfig config = ChipDriver::Part("ATmega8");
  config.high = 0x59;  // RSTDISBL programmed
  ParallelBoard board(config);
  board.Drive(Pin::Oe, Level::High);
  board.Drive(Pin::Wr, Level::High);
  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Vcc, Level::Low);
  board.Drive(Pin::Vcc, Level::High, 10 * kUs);
  board.Wait(100 * kUs);
  for (int toggle = 0; toggle < 8; ++toggle)
    board.Drive(Pin::Xtal1, toggle % 2 ? Level::Low : Level::High, 1 * kUs);
  board.Drive(Pin::Reset, Level::Vpp, 10 * kUs);
  board.Wait(100 * kUs);
  EXPECT_EQ(board.Read(Pin::RdyBsy), Level::Float);
  ASSERT_EQ(board.notes.size(), 1u);
  EXPECT_NE(board.notes[0].find("RSTDISBL is programmed"), std::string::npos) << board.notes[0];

  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Vcc, Level::Low, 10 * kUs);
  board.Drive(Pin::Vcc, Level::High, 10 * kMs);  // supply and 12 V at the same moment
  board.Drive(Pin::Reset, Level::Vpp);
  board.Wait(100 * kUs);
  EXPECT_EQ(board.Read(Pin::RdyBsy), Level::High);
  board.Load(true, false, false, 0x04);  // read the high fuse
  board.Drive(Pin::Bs2, Level::High);
  EXPECT_EQ(board.ReadOut(true), 0x59);
  EXPECT_TRUE(board.violations.empty()) << board.violations[0];
}

// The 20-pin parts: BS1 is also PAGEL, XA1 is also BS2, WR is a Prog_enable pin.
TEST(HvppTarget, Attiny2313SharesBs1WithPagelAndXa1WithBs2) {
  ParallelBoard board(ChipDriver::Part("ATtiny2313"));
  board.Drive(Pin::Oe, Level::High);
  board.Drive(Pin::Wr, Level::High);
  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Vcc, Level::Low);
  board.Drive(Pin::Vcc, Level::High, 10 * kUs);
  board.Wait(100 * kUs);
  for (int toggle = 0; toggle < 8; ++toggle)
    board.Drive(Pin::Xtal1, toggle % 2 ? Level::Low : Level::High, 1 * kUs);
  board.Drive(Pin::Reset, Level::Vpp, 10 * kUs);  // WR high: not all Prog_enable pins at 0
  board.Wait(100 * kUs);
  EXPECT_EQ(board.Read(Pin::RdyBsy), Level::Float);
  EXPECT_EQ(board.notes.size(), 1u);

  board.Drive(Pin::Reset, Level::Low);
  board.Drive(Pin::Wr, Level::Low);
  board.Drive(Pin::Vcc, Level::Low, 10 * kUs);
  board.Drive(Pin::Vcc, Level::High, 10 * kMs);
  board.Wait(100 * kUs);
  for (int toggle = 0; toggle < 8; ++toggle)
    board.Drive(Pin::Xtal1, toggle % 2 ? Level::Low : Level::High, 1 * kUs);
  board.Drive(Pin::Reset, Level::Vpp, 10 * kUs);
  board.Drive(Pin::Wr, Level::High, 20 * kUs);
  board.Wait(100 * kUs);
  ASSERT_EQ(board.Read(Pin::RdyBsy), Level::High);

  board.Load(true, false, false, 0x10);  // write Flash word 5: latched by BS1/PAGEL rising
  board.Load(false, false, false, 0x05);
  board.Load(false, true, false, 0x34);
  board.Load(false, true, true, 0x12);
  board.Drive(Pin::Bs1, Level::Low, 100);
  board.Pulse(Pin::Bs1, Level::High);
  board.Load(false, false, true, 0x00);
  board.Drive(Pin::Bs1, Level::Low, 100);
  board.Pulse(Pin::Wr, Level::Low);
  board.Wait(5 * kMs);
  board.Load(true, false, false, 0x02);
  board.Load(false, false, false, 0x05);
  board.Drive(Pin::Xa0, Level::High);
  EXPECT_EQ(board.ReadOut(false), 0x34);
  EXPECT_EQ(board.ReadOut(true), 0x12);
  board.Drive(Pin::Bs1, Level::Low);  // PAGEL low 150 ns before XTAL1 rises
  board.Wait(200);

  board.Load(true, false, false, 0x04);  // fuses: BS2 is the XA1 pin
  board.Drive(Pin::Xa0, Level::High);
  board.Drive(Pin::Xa1, Level::High);
  EXPECT_EQ(board.ReadOut(true), 0xDF);   // high fuse: BS2 = 1, BS1 = 1
  EXPECT_EQ(board.ReadOut(false), 0xFF);  // extended fuse: BS2 = 1, BS1 = 0
  board.Drive(Pin::Xa1, Level::Low);
  EXPECT_EQ(board.ReadOut(false), 0x62);  // low fuse
  EXPECT_TRUE(board.violations.empty()) << board.violations[0];
}

}  // namespace
}  // namespace bq::avrsim
