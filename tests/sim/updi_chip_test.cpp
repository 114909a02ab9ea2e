// The simulated UPDI chip, driven with raw UPDI bytes written from the datasheets.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "sim/sim_port_driver.h"
#include "tests/sim/updi_test_parts.h"

namespace bq::test {
namespace {

struct Family {
  std::string name;
  PartRecord part;
  bool wide;  // flash beyond 64 KiB: 3-byte addresses
  std::uint8_t updiRev;
  std::string sib;
};

void PrintTo(const Family& f, std::ostream* os) {
  *os << f.name;
}

class UpdiFamilies : public ::testing::TestWithParam<Family> {};

INSTANTIATE_TEST_SUITE_P(
    Nvm, UpdiFamilies,
    ::testing::Values(Family{"ATtiny412", Tiny412(), false, 0x10, "tinyAVR P:0D:1-3"},
                      Family{"AVR128DA48", Da128(), true, 0x30, "AVR     P:2D:1-3"}),
    [](const auto& info) { return info.param.name; });

TEST_P(UpdiFamilies, AnswersStatusAAfterBreakAndSynchAndItsSibAtAnyTime) {
  UpdiHost host(GetParam().part, GetParam().name);
  // The first falling edge only wakes the UPDI: no answer before a BREAK and SYNCH.
  EXPECT_EQ(host.Ldcs(0x0), Bytes{});
  host.Break();
  EXPECT_EQ(host.Ldcs(0x0), Bytes{GetParam().updiRev});
  const Bytes sib = host.Xfer({0x55, kSibKey});
  EXPECT_EQ(std::string(sib.begin(), sib.end()), GetParam().sib);
  const Bytes family = host.Xfer({0x55, 0xE4});
  EXPECT_EQ(std::string(family.begin(), family.end()), GetParam().sib.substr(0, 8));
}

TEST_P(UpdiFamilies, EntersProgrammingWithTheKeyAndAResetAndShowsTheSignatureRow) {
  UpdiHost host(GetParam().part, GetParam().name);
  host.Break();
  host.Key("NVMProg ");
  EXPECT_EQ(host.Ldcs(0x7), Bytes{0x10});  // ASI_KEY_STATUS.NVMPROG
  EXPECT_EQ(host.Ldcs(0xB).at(0) & 0x08, 0);
  host.Stcs(0x8, 0x59);
  host.Stcs(0x8, 0x00);
  EXPECT_EQ(host.Ldcs(0xB).at(0) & 0x09, 0x08);  // NVMPROG, not locked
  EXPECT_EQ(host.Ldcs(0x7), Bytes{0x00});        // the key is used up
  const std::uint32_t sig = GetParam().part.signature;
  EXPECT_EQ(host.Lds(0x1100), Bytes{0x1E});
  EXPECT_EQ(host.Lds(0x1101), Bytes{static_cast<std::uint8_t>(sig >> 8)});
  EXPECT_EQ(host.Lds(0x1102), Bytes{static_cast<std::uint8_t>(sig)});
}

TEST_P(UpdiFamilies, WritesAFlashPageThatOnlyClearsBitsUntilErased) {
  const Family& f = GetParam();
  UpdiHost host(f.part, f.name);
  ASSERT_TRUE(host.EnterProgramming());
  const std::uint32_t page = f.part.flashPageSizeW * 2u;
  const std::uint32_t at = f.part.updi.flashBase + page;  // the second page
  Bytes data(page > 128 ? 128 : page);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0x0F ^ (i * 7));
  Bytes again(data.size(), 0xF0);
  Bytes both(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) both[i] = data[i] & again[i];

  auto write = [&](const Bytes& bytes, bool erase) {
    if (f.part.updi.nvmVersion == 0) {
      host.Store(at, bytes);
      EXPECT_EQ(host.Sts(0x1000, erase ? 0x03 : 0x01), (Bytes{kAck, kAck}));  // ERWP or WP
    } else {
      if (erase) {
        EXPECT_EQ(host.Sts(0x1000, 0x08), (Bytes{kAck, kAck}));  // FLPER
        EXPECT_EQ(host.Sts(at, 0xFF, true), (Bytes{kAck, kAck}));
        host.WaitNvm();
        EXPECT_EQ(host.Sts(0x1000, 0x00), (Bytes{kAck, kAck}));
      }
      EXPECT_EQ(host.Sts(0x1000, 0x02), (Bytes{kAck, kAck}));  // FLWR
      host.Store(at, bytes, true);
      EXPECT_EQ(host.Sts(0x1000, 0x00), (Bytes{kAck, kAck}));
    }
    EXPECT_EQ(host.WaitNvm() & 0x74, 0);  // no error
  };

  write(data, true);
  EXPECT_EQ(host.Load(at, data.size(), f.wide), data);
  write(again, false);
  EXPECT_EQ(host.Load(at, data.size(), f.wide), both);
  write(again, true);
  EXPECT_EQ(host.Load(at, data.size(), f.wide), again);
  EXPECT_EQ(host.Load(f.part.updi.flashBase, 4, f.wide),
            Bytes(4, 0xFF));  // the first page untouched
}

TEST_P(UpdiFamilies, ALockedChipAnswersOnlyTheEraseKey) {
  const Family& f = GetParam();
  UpdiHost host(f.part, f.name);
  host.chip->Flash()[0] = 0x12;
  host.chip->Eeprom()[0] = 0x34;
  std::fill(host.chip->Lock().begin(), host.chip->Lock().end(), 0x00);
  host.chip->PowerCycle();

  host.Break();
  EXPECT_EQ(host.Ldcs(0xB).at(0) & 0x01, 0x01);                 // LOCKSTATUS
  EXPECT_EQ(host.Lds(f.part.updi.flashBase, f.wide), Bytes{});  // the bus is closed
  host.Break();
  EXPECT_EQ(host.Ldcs(0x1), Bytes{0x06});  // PESIG: bus error
  host.Key("NVMProg ");
  EXPECT_EQ(host.Ldcs(0x7), Bytes{0x00});
  host.Key("NVMErase");
  EXPECT_EQ(host.Ldcs(0x7), Bytes{0x08});
  host.Stcs(0x8, 0x59);
  host.Stcs(0x8, 0x00);
  int polls = 0;
  while ((host.Ldcs(0xB).at(0) & 0x01) != 0 && polls < 10000) ++polls;
  EXPECT_GT(polls, 0);  // the erase takes its time
  EXPECT_LT(polls, 10000);
  EXPECT_EQ(host.chip->Flash()[0], 0xFF);
  EXPECT_EQ(host.chip->Eeprom()[0], 0xFF);  // EESAVE not set
  EXPECT_FALSE(host.chip->Locked());
  EXPECT_TRUE(host.EnterProgramming());
}

TEST(UpdiChip, AChipEraseKeepsTheEepromWhenEesaveIsSetAtTheLastReset) {
  UpdiHost host(Tiny412(), "ATtiny412");
  host.chip->Flash()[0] = 0x12;
  host.chip->Eeprom()[0] = 0x34;
  host.chip->UserRow()[0] = 0x56;
  host.chip->Fuses()[5] |= 0x01;  // SYSCFG0.EESAVE
  host.chip->PowerCycle();
  host.Break();
  host.Key("NVMErase");
  host.Stcs(0x8, 0x59);
  host.Stcs(0x8, 0x00);
  EXPECT_EQ(host.chip->Flash()[0], 0xFF);
  EXPECT_EQ(host.chip->Eeprom()[0], 0x34);
  EXPECT_EQ(host.chip->UserRow()[0], 0x56);  // a chip erase leaves the user row alone
}

TEST(UpdiChip, WritesTheUserRowOfALockedChipThroughSramWithTheUserRowKey) {
  UpdiHost host(Tiny412(), "ATtiny412");
  host.chip->Flash()[0] = 0x12;
  host.chip->Lock()[0] = 0x00;
  host.chip->PowerCycle();
  host.Break();
  host.Key("NVMUs&te");
  EXPECT_EQ(host.Ldcs(0x7), Bytes{0x20});
  host.Stcs(0x8, 0x59);
  host.Stcs(0x8, 0x00);
  EXPECT_EQ(host.Ldcs(0xB).at(0) & 0x05, 0x05);  // UROWPROG, still locked
  Bytes row(32);
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(0x80 + i);
  host.Store(0x3F00, row);  // the first bytes of the ATtiny412's SRAM
  host.Stcs(0xA, 0x02);     // UROWWRITE_FINAL
  EXPECT_EQ(host.Ldcs(0xB).at(0) & 0x04, 0);
  host.Stcs(0x7, 0x20);
  host.Stcs(0x8, 0x59);
  host.Stcs(0x8, 0x00);
  EXPECT_EQ(host.chip->UserRow(), row);
  EXPECT_TRUE(host.chip->Locked());
  EXPECT_EQ(host.chip->Flash()[0], 0x12);
  EXPECT_EQ(host.Lds(0x1300), Bytes{});  // the bus stays closed to everything else
}

TEST(UpdiChip, AFuseWriteTakesEffectAtTheNextResetAndThePinFuseCutsTheLine) {
  UpdiHost host(Tiny412(), "ATtiny412");
  ASSERT_TRUE(host.EnterProgramming());
  // WFU: SYSCFG0 = 0xF2, RSTPINCFG = GPIO.
  EXPECT_EQ(host.Sts(0x1008, 0x85), (Bytes{kAck, kAck}));
  EXPECT_EQ(host.Sts(0x1009, 0x12), (Bytes{kAck, kAck}));
  EXPECT_EQ(host.Sts(0x1006, 0xF2), (Bytes{kAck, kAck}));
  EXPECT_EQ(host.Sts(0x1000, 0x07), (Bytes{kAck, kAck}));
  host.WaitNvm();
  EXPECT_EQ(host.Lds(0x1285), Bytes{0xF2});
  EXPECT_EQ(host.Ldcs(0x0), Bytes{0x10});  // still UPDI until the reset
  host.Stcs(0x8, 0x59);
  host.Stcs(0x8, 0x00);
  host.Break();
  EXPECT_EQ(host.Ldcs(0x0), Bytes{});  // the pin is GPIO now: nothing but the echo
  EXPECT_TRUE(host.chip->LineIgnored());
  host.chip->HighVoltagePulse();
  host.Break();
  EXPECT_EQ(host.Ldcs(0x0), Bytes{0x10});
  host.Stcs(0x8, 0x59);  // a system reset keeps the high-voltage override
  host.Stcs(0x8, 0x00);
  EXPECT_EQ(host.Ldcs(0x0), Bytes{0x10});
  host.chip->PowerCycle();
  host.Break();
  EXPECT_EQ(host.Ldcs(0x0), Bytes{});
}

TEST(UpdiChip, AnAvrDxTakesFusesAndTheLockKeyAsEepromBytesAndLocksAtTheNextReset) {
  UpdiHost host(Da128(), "AVR128DA48");
  ASSERT_TRUE(host.EnterProgramming());
  EXPECT_EQ(host.Sts(0x1000, 0x13), (Bytes{kAck, kAck}));  // EEERWR
  EXPECT_EQ(host.Sts(0x1051, 0x02), (Bytes{kAck, kAck}));  // BODCFG
  host.WaitNvm();
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(host.Sts(0x1040 + i, static_cast<std::uint8_t>(0xA33A3AA3u >> (8 * i))),
              (Bytes{kAck, kAck}));
    host.WaitNvm();
  }
  EXPECT_EQ(host.Sts(0x1000, 0x00), (Bytes{kAck, kAck}));
  EXPECT_EQ(host.Lds(0x1051), Bytes{0x02});
  EXPECT_EQ(host.Ldcs(0xB).at(0) & 0x01, 0);  // not yet
  host.Stcs(0x8, 0x59);
  host.Stcs(0x8, 0x00);
  EXPECT_EQ(host.Ldcs(0xB).at(0) & 0x09, 0x01);  // locked, out of programming
  EXPECT_TRUE(host.chip->Locked());
}

// Without ACKs (CTRLA.RSD) nothing tells the host that a store is done: a word store that
// arrives while the one before still waits for the flash (tP_WRD, 75 us) is lost. At 460800
// baud a REPEAT of word stores brings one every 52 us; one ST instruction a word, every 104 us.
TEST(UpdiChip, AnAvrDxLosesWordStoresWithoutAcksThatComeSoonerThanItsFlashWritesThem) {
  UpdiHost host(Da128(), "AVR128DA48");
  ASSERT_TRUE(host.EnterProgramming());
  host.Stcs(0x9, 0x01);  // UPDICLKSEL: 16 MHz, for 460800 baud
  host.SetRate(460800);
  EXPECT_EQ(host.Sts(0x1000, 0x02), (Bytes{kAck, kAck}));  // FLWR
  host.Stcs(0x2, 0x0E);                                    // RSD, guard time 2 bits
  Bytes words(32);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint8_t>(i + 1);

  Bytes repeated = {0x55, kStPtr24, 0x00, 0x00, 0x80, 0x55, kRepeat, 15, 0x55, kStInc | 0x01};
  repeated.insert(repeated.end(), words.begin(), words.end());
  EXPECT_EQ(host.Xfer(repeated), Bytes{});  // no answer at all
  const Bytes back(host.chip->Flash().begin(), host.chip->Flash().begin() + 32);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 2), Bytes(words.begin(), words.begin() + 2));
  EXPECT_NE(back, words);  // some of the later words are missing

  Bytes paced = {0x55, kStPtr24, 0x00, 0x02, 0x80};  // the next page
  for (std::size_t w = 0; w < 16; ++w) {
    paced.insert(paced.end(), {0x55, kStInc | 0x01, words[2 * w], words[2 * w + 1]});
  }
  EXPECT_EQ(host.Xfer(paced), Bytes{});
  EXPECT_EQ(Bytes(host.chip->Flash().begin() + 512, host.chip->Flash().begin() + 544), words);
  host.Stcs(0x2, 0x06);
  EXPECT_EQ(host.WaitNvm() & 0x70, 0);  // lost stores are no NVM error: only a read shows them
}

TEST(UpdiChip, FollowsOnlyRatesItsUpdiClockAllows) {
  UpdiHost host(Tiny412(), "ATtiny412");
  host.Break();
  host.SetRate(460800);  // above 225 kbps at the 4 MHz UPDI clock
  EXPECT_EQ(host.Ldcs(0x0), Bytes{});
  host.SetRate(115200);
  host.Break();
  EXPECT_EQ(host.Ldcs(0x1), Bytes{0x04});  // clock recovery error
  host.Stcs(0x9, 0x01);                    // UPDICLKSEL: 16 MHz
  host.SetRate(460800);
  EXPECT_EQ(host.Ldcs(0x0), Bytes{0x10});
  host.SetRate(115200);  // a byte at another rate than the SYNCH's is garbage
  EXPECT_EQ(host.Xfer({0x55}), Bytes{});
  host.SetRate(460800);
  EXPECT_EQ(host.Xfer({0x80}), Bytes{});
}

TEST(UpdiChip, EchoesAtOnceAndAnswersAfterTheGuardTime) {
  UpdiChip chip(Tiny412(), "ATtiny412");
  const auto t0 = UpdiChip::Clock::now();
  chip.SetHostLine(300);
  chip.Receive(0x00, t0);  // BREAK
  chip.SetHostLine(115200);
  const auto byte = chip.HostByteTime();
  chip.Receive(0x55, t0 + byte);
  chip.Receive(0x80, t0 + 2 * byte);  // LDCS STATUSA
  ASSERT_TRUE(chip.NextDue());
  EXPECT_EQ(*chip.NextDue(), t0);
  std::vector<std::uint8_t> out;
  chip.TakeDue(t0 + 2 * byte, out);
  EXPECT_EQ(out, (Bytes{0x00, 0x55, 0x80}));
  // 128 guard bits (the default), then 12 bits of the answer at 115200 baud.
  const auto due = t0 + 2 * byte + std::chrono::nanoseconds(140LL * 1'000'000'000LL / 115200);
  EXPECT_EQ(*chip.NextDue(), due);
  chip.TakeDue(due - std::chrono::nanoseconds(1), out);
  EXPECT_EQ(out.size(), 3u);
  chip.TakeDue(due, out);
  EXPECT_EQ(out.back(), 0x10);
}

TEST(UpdiChip, IsServedOnTheSimPortForSerialUpdiAndKeptBetweenOpens) {
  PartDatabase parts;
  parts.RecordFor("ATtiny412") = Tiny412();
  PartRecord classic;
  classic.signature = 0x1E950F;
  classic.flashPageSizeW = 64;
  classic.flashNoOfPages = 256;
  parts.RecordFor("ATmega328P") = classic;
  parts.FinishLoad();
  SimPortDriver driver(&parts);
  const LineSettings line = UpdiHost::Line(115200);

  auto readFlash = [&]() {
    auto port = driver.OpenAt("sim:ATtiny412", line);
    EXPECT_NE(port, nullptr);
    if (!port) return Bytes{};
    port->SendBreak(30);
    const Bytes lds = {0x55, kLds16, 0x00, 0x80};
    port->Write(lds.data(), lds.size());
    Bytes in(16);
    in.resize(static_cast<std::size_t>(port->Read(in.data(), in.size())));
    return in;
  };
  EXPECT_EQ(readFlash(), (Bytes{0x55, kLds16, 0x00, 0x80, 0xFF}));
  driver.UpdiChipFor("sim:ATtiny412")->Flash()[0] = 0x5A;
  EXPECT_EQ(readFlash(), (Bytes{0x55, kLds16, 0x00, 0x80, 0x5A}));

  EXPECT_EQ(driver.OpenAt("sim:ATmega328P", line), nullptr);
  EXPECT_NE(driver.LastOpenError().find("not programmed over UPDI"), std::string::npos);
}

struct FaultCase {
  std::string name;
  UpdiFault fault;
  Bytes afterAddress;  // what comes back for SYNCH, STS, the address (echo included)
  Bytes afterData;     // and for the data byte
  bool answersLater;   // the chip still answers after a BREAK
  std::uint8_t pesig;  // STATUSB then
  bool written;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

class UpdiFaults : public ::testing::TestWithParam<FaultCase> {};

// An STS of 0xAB to NVMCTRL.DATA (0x1006): bytes 1-4 are SYNCH, instruction and address, 5 the
// data; instruction 1 is the STS.
INSTANTIATE_TEST_SUITE_P(Kinds, UpdiFaults,
                         ::testing::Values(FaultCase{"NoEcho",
                                                     {UpdiFault::Kind::kNoEcho, false, 3},
                                                     {0x55, 0x44, 0x10, kAck},
                                                     {0xAB, kAck},
                                                     true,
                                                     0,
                                                     true},
                                           FaultCase{"Parity",
                                                     {UpdiFault::Kind::kParity, true, 1},
                                                     {0x55, 0x44, 0x06, 0x10},
                                                     {0xAB},
                                                     true,
                                                     1,
                                                     false},
                                           FaultCase{"Nack",
                                                     {UpdiFault::Kind::kNack, false, 5},
                                                     {0x55, 0x44, 0x06, 0x10, kAck},
                                                     {0xAB, UpdiChip::kNack},
                                                     true,
                                                     0,
                                                     false},
                                           FaultCase{"Silence",
                                                     {UpdiFault::Kind::kSilence, true, 1},
                                                     {0x55, 0x44, 0x06, 0x10},
                                                     {0xAB},
                                                     false,
                                                     0,
                                                     false}),
                         [](const auto& info) { return info.param.name; });

TEST_P(UpdiFaults, AreInjectedOnTheByteOrInstructionAsked) {
  const FaultCase& c = GetParam();
  UpdiHost host(Tiny412(), "ATtiny412");
  ASSERT_TRUE(host.EnterProgramming());
  host.chip->AddFault(c.fault);
  EXPECT_EQ(host.Raw({0x55, 0x44, 0x06, 0x10}), c.afterAddress);
  EXPECT_EQ(host.Raw({0xAB}), c.afterData);
  host.Break();
  if (!c.answersLater) {
    EXPECT_EQ(host.Ldcs(0x1), Bytes{});
    return;
  }
  EXPECT_EQ(host.Ldcs(0x1), Bytes{c.pesig});
  EXPECT_EQ(host.Lds(0x1006), Bytes{static_cast<std::uint8_t>(c.written ? 0xAB : 0x00)});
}

}  // namespace
}  // namespace bq::test
