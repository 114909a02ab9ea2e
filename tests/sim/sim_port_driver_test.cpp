#include "sim/sim_port_driver.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/sim/sim_test_util.h"

namespace bq::test {
namespace {

using Clock = std::chrono::steady_clock;

PartDatabase TwoParts() {
  PartDatabase db;
  db.RecordFor("ATmega8") = Mega8Like();
  PartRecord isp = Mega8Like();
  isp.signature = 0x1E910A;  // an ISP-only part
  isp.hvMode = 0;
  isp.flashNoOfPages = 64;
  db.RecordFor("ATtiny2313") = isp;
  db.FinishLoad();
  return db;
}

Bytes Exchange(SerialConnection& c, const Bytes& packet, std::size_t answer) {
  EXPECT_TRUE(c.Write(packet.data(), packet.size()));
  Bytes in(answer);
  const long n = c.Read(in.data(), answer);
  in.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return in;
}

const Bytes kMega8Signature = {0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07};
const Bytes kTinySignature = {0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x91, 0x0A};

TEST(SimPortName, SplitsPartAndConnection) {
  struct Case {
    const char* name;
    bool valid;
    const char* part;
    std::optional<SimConnect> connect;
  };
  const Case cases[] = {
      {"sim", true, "", std::nullopt},
      {"sim:ATmega8", true, "ATmega8", std::nullopt},
      {"sim:ATmega8:isp", true, "ATmega8", SimConnect::kIsp},
      {"sim:ATmega8:socket", true, "ATmega8", SimConnect::kSocket},
      {"sim:", false, "", std::nullopt},
      {"sim:isp", true, "isp", std::nullopt},  // a part may be called anything
      {"simulator", false, "", std::nullopt},
      {"ttyUSB0", false, "", std::nullopt},
      {"SIM", false, "", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseSimPortName(c.name);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->part, c.part) << c.name;
    EXPECT_EQ(parsed->connect, c.connect) << c.name;
  }
}

TEST(SimPortDriver, OpensTheNamedOrSelectedPartInItsDefaultPlace) {
  PartDatabase db = TwoParts();
  SimPortDriver driver(&db);
  EXPECT_EQ(driver.Enumerate(), std::vector<std::string>{"sim"});
  EXPECT_TRUE(driver.Handles("sim:ATmega8"));
  EXPECT_FALSE(driver.Handles("ttyUSB0"));
  EXPECT_EQ(driver.Open("sim:ATmega9"), nullptr) << "a part the list does not have";

  {
    // Nothing selected: the first part by name, ATmega8, in the socket (HVPP mode 1).
    auto port = driver.Open("sim");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Exchange(*port, Packet(0x10, {1}), 8), kMega8Signature);
  }
  ASSERT_TRUE(db.SelectPartByName("ATtiny2313"));
  {
    // An ISP-only part sits on the cable: detect the clock, then mode 4 answers.
    auto port = driver.Open("sim");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Exchange(*port, Packet(0xC2), 6), (Bytes{0x48, 0x56, 0xD2, 0, 1, 1}));
    EXPECT_EQ(Exchange(*port, Packet(0x10, {4}), 8), kTinySignature);
  }
  {
    auto port = driver.Open("sim:ATmega8:isp");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Exchange(*port, Packet(0x10, {1}), 6), (Bytes{0x48, 0x56, 0xEF, 0, 1, 2}));
    EXPECT_EQ(Exchange(*port, Packet(0xC2), 6), (Bytes{0x48, 0x56, 0xD2, 0, 1, 1}));
    EXPECT_EQ(Exchange(*port, Packet(0x10, {4}), 8), kMega8Signature);
  }
}

TEST(SimPortDriver, EveryNameOfAPartLeadsToItsOneChip) {
  PartDatabase db;
  ASSERT_GT(LoadPartList(db, std::string(BQ_SOURCE_DIR) + "/PartList.cfg"), 0);
  SimPortDriver driver(&db);
  auto port = driver.Open("sim:t85:isp");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(driver.LastOpenError(), "");
  EXPECT_EQ(Exchange(*port, Packet(0xC2), 6), (Bytes{0x48, 0x56, 0xD2, 0, 1, 1}));
  EXPECT_EQ(Exchange(*port, Packet(0x10, {4}), 8),
            (Bytes{0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x0B}));
  EXPECT_EQ(driver.Open("sim:attiny85:isp"), nullptr) << "held: the same chip under its name";
  EXPECT_EQ(driver.Open("sim:ATtiny85:isp"), nullptr);
  EXPECT_NE(driver.Open("sim:T85:socket"), nullptr) << "the same chip in the socket is free";

  EXPECT_EQ(driver.Open("sim:t58"), nullptr);
  EXPECT_EQ(driver.LastOpenError(),
            "no part named 't58' in the part list; did you mean t85 or t88?");
}

TEST(SimPortDriver, ChipKeepsItsDataAcrossCloseAndReopen) {
  PartDatabase db = TwoParts();
  SimPortDriver driver(&db);
  {
    auto port = driver.Open("sim:ATmega8");
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(Exchange(*port, Packet(0x32, {1, 2, 4, 0, 1}), 5).at(2), 0xD5);
    ASSERT_EQ(Exchange(*port, Packet(0x32, {1, 2, 3, 4}), 5).at(2), 0xD7);
  }
  // The same chip, moved to the ISP cable, still holds the data.
  auto port = driver.Open("sim:ATmega8:isp");
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(Exchange(*port, Packet(0xC3, {2}), 6).at(5), 2);
  ASSERT_EQ(Exchange(*port, Packet(0x30, {4, 2, 4, 0, 1}), 5).at(2), 0xDD);
  EXPECT_EQ(Exchange(*port, Packet(0x30), 9), (Bytes{0x48, 0x56, 0xD4, 0, 4, 1, 2, 3, 4}));
}

TEST(SimPortDriver, APortIsHeldByOneConnectionAtATime) {
  PartDatabase db = TwoParts();
  SimPortDriver driver(&db);
  auto first = driver.Open("sim:ATmega8");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(driver.Open("sim:ATmega8"), nullptr);
  EXPECT_EQ(driver.Open("sim"), nullptr) << "the same line under its short name";
  first.reset();
  EXPECT_NE(driver.Open("sim"), nullptr);
}

TEST(SimPortDriver, FaultsFromTheDefaultsAndFromTheLine) {
  PartDatabase db = TwoParts();
  SimOptions defaults;
  defaults.faults.push_back(*ParseSimFault("0xC1:hangup"));
  SimPortDriver driver(&db, defaults);
  driver.LineFor("sim:ATmega8")->With([](SimProgrammer& sim) {
    sim.options().faults.push_back(*ParseSimFault("0xC0:badheader"));
  });
  auto port = driver.Open("sim:ATmega8");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(Exchange(*port, Packet(0xC0), 7), (Bytes{0xAA, 0x55, 0xDA, 0, 2, 1, 7}));
  const Bytes hangup = Packet(0xC1);
  ASSERT_TRUE(port->Write(hangup.data(), hangup.size()));
  std::uint8_t buf[5];
  const auto t0 = Clock::now();
  EXPECT_EQ(port->Read(buf, 5), -1);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_FALSE(port->Write(hangup.data(), hangup.size()));
}

TEST(SimConnectionTimeouts, ReadEndsAfterTheInterByteGapOrTheTotalTime) {
  PartDatabase db = TwoParts();
  SimOptions faults;
  faults.faults = {*ParseSimFault("0x10:short"), *ParseSimFault("0xC0:silence")};
  SimPortDriver driver(&db, faults);
  auto port = driver.Open("sim:ATmega8");
  ASSERT_NE(port, nullptr);

  // Promised 4 payload bytes, 3 sent: the read returns 3 once 50 ms pass without a byte.
  ASSERT_EQ(Exchange(*port, Packet(0x10, {1}), 5).size(), 5u);
  std::uint8_t buf[300];
  auto t0 = Clock::now();
  EXPECT_EQ(port->Read(buf, 4), 3);
  auto took = Clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(50));
  EXPECT_LT(took, std::chrono::milliseconds(1000));

  // Silence: nothing for 2000 + 50 * 5 ms.
  const Bytes p = Packet(0xC0);
  ASSERT_TRUE(port->Write(p.data(), p.size()));
  t0 = Clock::now();
  EXPECT_EQ(port->Read(buf, 5), 0);
  took = Clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(2250));
  EXPECT_LT(took, std::chrono::milliseconds(3500));
}

TEST(SimConnectionTimeouts, SlowBlankCheckOutlastsOneHeaderRead) {
  PartDatabase db = TwoParts();
  SimOptions slow;
  slow.blankCheckTime = std::chrono::milliseconds(2400);
  SimPortDriver driver(&db, slow);
  auto port = driver.Open("sim:ATmega8");
  ASSERT_NE(port, nullptr);
  const Bytes p = Packet(0xB1, {1, 1, 32, 0, 128});
  ASSERT_TRUE(port->Write(p.data(), p.size()));
  std::uint8_t buf[6];
  EXPECT_EQ(port->Read(buf, 5), 0) << "the first header read times out";
  EXPECT_EQ(port->Read(buf, 5), 5) << "the second one gets the answer";
  EXPECT_EQ(port->Read(buf + 5, 1), 1);
  EXPECT_EQ(buf[2], 0xDC);
  EXPECT_EQ(buf[5], 0);
}

TEST(SimConnectionTimeouts, PacedReadTakesTheWireTime) {
  PartDatabase db = TwoParts();
  SimOptions paced;
  paced.pace = true;
  SimPortDriver driver(&db, paced);
  auto port = driver.Open("sim:ATmega8");
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(Exchange(*port, Packet(0x30, {1, 1, 32, 0, 36}), 5).size(), 5u);
  const auto t0 = Clock::now();
  for (int i = 0; i < 9; ++i) ASSERT_EQ(Exchange(*port, Packet(0x30), 261).size(), 261u);
  const auto took = Clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(190));  // 2304 payload bytes at 115200 baud
  EXPECT_LT(took, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace bq::test

namespace bq::test {
namespace {

// A chip kept in a file comes back byte for byte into a chip of the same part, and a file
// of another part or of other memory sizes (the part list changed) leaves the chip as it was.
TEST(SimChipFile, KeepsTheChipAndRefusesAnotherPartsFile) {
  PartDatabase db = TwoParts();
  SimPortDriver driver(&db);
  const SimPortDriver::ChipAccess access = driver.ChipFor("sim:ATmega8");
  ASSERT_TRUE(access.chip);
  EXPECT_EQ(driver.ChipFor("sim:ATmega8:isp").chip, access.chip) << "one chip a part";
  SimChip& chip = *access.chip;
  chip.flash[0] = 0x12;
  chip.flash.back() = 0x34;
  chip.eeprom[5] = 0x56;
  chip.low = 0xE4;
  chip.lock = 0xFC;
  const std::string text = SimChipFileText(chip);

  SimChip again = SimChip::FromPart("ATmega8", *db.Find("ATmega8"));
  std::string why;
  ASSERT_TRUE(LoadSimChipFileText(text, again, &why)) << why;
  EXPECT_EQ(again.flash, chip.flash);
  EXPECT_EQ(again.eeprom, chip.eeprom);
  EXPECT_EQ(again.low, 0xE4);
  EXPECT_EQ(again.lock, 0xFC);

  SimChip other = SimChip::FromPart("ATtiny2313", *db.Find("ATtiny2313"));
  const SimChip before = other;
  for (const std::string& bad : {std::string("not a chip"), text, text.substr(0, text.size() - 1),
                                 SimChipFileText(other) + "x"}) {
    EXPECT_FALSE(LoadSimChipFileText(bad, other, &why)) << bad.substr(0, 40);
    EXPECT_EQ(other.flash, before.flash);
  }
}

}  // namespace
}  // namespace bq::test
