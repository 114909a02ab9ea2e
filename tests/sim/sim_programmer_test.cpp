#include "sim/sim_programmer.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sim/sim_test_util.h"

namespace bq::test {
namespace {

const Bytes kOk = {0x48, 0x56, 0xDD, 0, 0};
Bytes Error(std::uint8_t e) {
  return {0x48, 0x56, 0xEF, 0, 1, e};
}

struct Exchange {
  const char* what;
  std::uint8_t code;
  Bytes payload;
  Bytes answer;
};

TEST(SimProgrammer, AnswersEachCommandOfAChipInTheSocket) {
  const Exchange cases[] = {
      {"firmware version", 0xC0, {}, {0x48, 0x56, 0xDA, 0, 2, 1, 7}},
      {"hardware version", 0xC1, {}, {0x48, 0x56, 0xDB, 0, 2, 2, 1}},
      {"signature in its mode", 0x10, {1}, {0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07}},
      {"signature in another HV mode", 0x10, {2}, Error(2)},
      {"signature in HVSP", 0x10, {3}, Error(2)},
      {"signature over ISP without clock", 0x10, {4}, Error(7)},
      {"signature without mode", 0x10, {}, Error(1)},
      {"calibration byte 3", 0x11, {1, 3}, {0x48, 0x56, 0xD9, 0, 1, 0xA3}},
      {"fuses low high extended", 0x20, {1, 1, 2, 3}, {0x48, 0x56, 0xD3, 0, 3, 0xE1, 0xD9, 0xFF}},
      {"high fuse alone", 0x20, {1, 2}, {0x48, 0x56, 0xD3, 0, 1, 0xD9}},
      {"lock byte", 0x20, {1, 4}, {0x48, 0x56, 0xD3, 0, 1, 0xFF}},
      {"bad fuse selector", 0x20, {1, 1, 9}, Error(1)},
      {"fuses in a wrong mode", 0x20, {3, 1}, Error(2)},
      {"erase", 0xB0, {1}, kOk},
      {"recover", 0xCF, {}, kOk},
      {"stop read without a read", 0x31, {}, {0x48, 0x56, 0xD8, 0, 0}},
      {"detect ISP clock, nothing on the cable", 0xC2, {}, {0x48, 0x56, 0xD2, 0, 1, 0}},
      {"set ISP clock", 0xC3, {5}, {0x48, 0x56, 0xD2, 0, 1, 5}},
      {"set a clock that does not exist", 0xC3, {8}, {0x48, 0x56, 0xD2, 0, 1, 0}},
      {"blank check of an erased flash", 0xB1, {1, 1, 32, 0, 128}, {0x48, 0x56, 0xDC, 0, 1, 0}},
      {"unknown command", 0x55, {}, Error(1)},
      {"identify is never a packet", 0xAF, {}, Error(1)},
  };
  for (const Exchange& c : cases) {
    Bench b;
    EXPECT_EQ(b.Send(c.code, c.payload), c.answer) << c.what;
  }
}

TEST(SimProgrammer, SkipsLineNoiseAndRefusesPayloadsBeyond256Bytes) {
  Bench b;
  Bytes noisy = {0x00, 0x48, 0x13, 0x56, 0x48};  // a lone H, a V out of place, then a packet
  const Bytes version = Packet(0xC0);
  noisy.insert(noisy.end(), version.begin() + 1, version.end());
  EXPECT_EQ(b.Send(noisy), (Bytes{0x48, 0x56, 0xDA, 0, 2, 1, 7}));

  Bytes huge = Packet(0x21, Bytes(300, 0x01));
  EXPECT_EQ(b.Send(huge), Error(1));
  EXPECT_EQ(b.chip->low, 0xE1) << "a refused packet must not change the chip";
  EXPECT_EQ(b.Send(0xC0).size(), 7u) << "the next packet is read in step";
}

TEST(SimProgrammer, IspAnswersOnlyAtOrBelowTheTargetsFastestClock) {
  SimOptions isp;
  isp.connect = SimConnect::kIsp;
  isp.ispMaxClock = 3;
  struct Step {
    std::uint8_t code;
    Bytes payload;
    Bytes answer;
  };
  const Bytes sig = {0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07};
  const Step steps[] = {
      {0x10, {4}, Error(7)},                     // no clock yet
      {0xC3, {2}, {0x48, 0x56, 0xD2, 0, 1, 2}},  // the programmer sets it...
      {0x10, {4}, Error(2)},                     // ...but the target cannot keep up
      {0xC2, {}, {0x48, 0x56, 0xD2, 0, 1, 3}},   // detection finds the fastest usable
      {0x10, {4}, sig},
      {0x10, {1}, Error(2)},                     // not in the socket
      {0xC3, {7}, {0x48, 0x56, 0xD2, 0, 1, 7}},  // slower is fine
      {0x10, {4}, sig},
      {0xC3, {0}, {0x48, 0x56, 0xD2, 0, 1, 0}},  // clears the clock
      {0x10, {4}, Error(7)},
  };
  Bench b(isp);
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(b.Send(steps[i].code, steps[i].payload), steps[i].answer) << "step " << i;
  }
}

TEST(SimProgrammer, SocketChipDoesNotAnswerOverIspEvenWithAClock) {
  Bench b;
  EXPECT_EQ(b.Send(0xC3, {1}), (Bytes{0x48, 0x56, 0xD2, 0, 1, 1}));
  EXPECT_EQ(b.Send(0x10, {4}), Error(2));
}

// Writes the flash with whole packets of 4 pages; returns the answer codes.
Bytes WriteFlash(Bench& b, const Bytes& image, std::uint8_t mode = 1) {
  Bytes codes;
  Bytes a = b.Send(0x32, {mode, 1, 32, 0, 128});
  codes.push_back(a.at(2));
  if (a[2] != 0xD5) return codes;
  for (std::size_t at = 0; at < image.size(); at += 256) {
    a = b.Send(0x32, Bytes(image.begin() + static_cast<long>(at),
                           image.begin() + static_cast<long>(at + 256)));
    codes.push_back(a.at(2));
  }
  return codes;
}

// Reads a memory through the stream; returns the data and the number of chunks.
Bytes ReadStream(Bench& b, const Bytes& params, int* chunks = nullptr) {
  Bytes data;
  EXPECT_EQ(b.Send(0x30, params), kOk);
  for (int i = 0; i < 10000; ++i) {
    const Bytes a = b.Send(0x30);
    if (a.at(2) == 0xD8) break;
    EXPECT_EQ(a.at(2), 0xD4);
    const std::size_t n = std::size_t{a[3]} << 8 | a[4];
    EXPECT_LE(n, 256u);
    EXPECT_EQ(a.size(), 5 + n);
    data.insert(data.end(), a.begin() + 5, a.end());
    if (chunks) ++*chunks;
  }
  return data;
}

Bytes Pattern(std::size_t n) {
  Bytes image(n);
  for (std::size_t i = 0; i < n; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  return image;
}

// What a real chip refuses: RSTDISBL programmed shuts ISP out (high voltage still works),
// LB1 and LB2 programmed hide flash and EEPROM (reads give 0xFF) and lock the fuses; an
// erase ends both locks.
TEST(SimProgrammer, LockedAndResetDisabledChipsFailWhereRealOnesDo) {
  PartRecord part = Mega8Like();
  part.fuseBits[0].name = "RSTDISBL";
  part.fuseBits[0].mask = 0x80;
  part.fuseBits[0].targetByte = kTargetHigh;
  const Bytes sig = {0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07};
  const Bytes image = Pattern(8192);
  {
    SimOptions isp;
    isp.connect = SimConnect::kIsp;
    Bench b(isp, part);
    EXPECT_EQ(b.Send(0xC2, {}), (Bytes{0x48, 0x56, 0xD2, 0, 1, 1}));
    EXPECT_EQ(b.Send(0x10, {4}), sig);
    EXPECT_EQ(b.Send(0x21, {4, 2, 0x59}), kOk);  // RSTDISBL programmed
    EXPECT_EQ(b.Send(0x10, {4}), Error(2)) << "ISP cannot reset the chip any more";
    EXPECT_EQ(b.Send(0xC2, {}), (Bytes{0x48, 0x56, 0xD2, 0, 1, 0}));
  }
  Bench b({}, part);  // in the socket
  b.chip->high = 0x59;
  EXPECT_EQ(b.Send(0x10, {1}), sig) << "high voltage reaches it all the same";
  ASSERT_EQ(WriteFlash(b, image).back(), 0xD7);
  EXPECT_EQ(b.Send(0x21, {1, 4, 0xFC}), kOk);  // LB1 and LB2 programmed
  EXPECT_EQ(ReadStream(b, {1, 1, 32, 0, 128}), Bytes(8192, 0xFF));
  EXPECT_EQ(b.Send(0x21, {1, 2, 0xD9}), kOk);
  EXPECT_EQ(b.chip->high, 0x59) << "locked fuses keep their value";
  EXPECT_EQ(b.Send(0x20, {1, 4}), (Bytes{0x48, 0x56, 0xD3, 0, 1, 0xFC}));
  EXPECT_EQ(b.Send(0xB0, {1}), kOk);
  EXPECT_EQ(b.Send(0x21, {1, 2, 0xD9}), kOk);
  EXPECT_EQ(b.chip->high, 0xD9);
  ASSERT_EQ(WriteFlash(b, image).back(), 0xD7);
  EXPECT_EQ(ReadStream(b, {1, 1, 32, 0, 128}), image);
}

TEST(SimProgrammer, WrittenFlashReadsBackAndBlankCheckSeesIt) {
  Bench b;
  const Bytes image = Pattern(8192);
  const Bytes codes = WriteFlash(b, image);
  ASSERT_EQ(codes.size(), 33u);
  EXPECT_EQ(codes.front(), 0xD5);
  EXPECT_EQ(std::count(codes.begin() + 1, codes.end() - 1, 0xD6), 31);
  EXPECT_EQ(codes.back(), 0xD7);
  EXPECT_EQ(b.chip->flash, image);

  int chunks = 0;
  EXPECT_EQ(ReadStream(b, {1, 1, 32, 0, 128}, &chunks), image);
  EXPECT_EQ(chunks, 32);
  EXPECT_EQ(b.Send(0xB1, {1, 1, 32, 0, 128}), (Bytes{0x48, 0x56, 0xDC, 0, 1, 1}));
  EXPECT_EQ(b.Send(0xB1, {1, 2, 4, 0, 128}), (Bytes{0x48, 0x56, 0xDC, 0, 1, 0}))
      << "the EEPROM is still empty";

  EXPECT_EQ(b.Send(0xB0, {1}), kOk);
  EXPECT_EQ(b.Send(0xB1, {1, 1, 32, 0, 128}), (Bytes{0x48, 0x56, 0xDC, 0, 1, 0}));
  EXPECT_EQ(ReadStream(b, {1, 1, 32, 0, 128}), Bytes(8192, 0xFF));
}

TEST(SimProgrammer, EepromWritesSixtyFourPagesAPacketAndReadsInOddSizes) {
  Bench b;
  Bytes image = Pattern(512);
  ASSERT_EQ(b.Send(0x32, {1, 2, 4, 0, 128}).at(2), 0xD5);
  EXPECT_EQ(b.Send(0x32, Bytes(image.begin(), image.begin() + 256)).at(2), 0xD6);
  EXPECT_EQ(b.Send(0x32, Bytes(image.begin() + 256, image.end())).at(2), 0xD7);
  // A read of 100 pages of 4 bytes: chunks of 256 and 144.
  int chunks = 0;
  EXPECT_EQ(ReadStream(b, {1, 2, 4, 0, 100}, &chunks), Bytes(image.begin(), image.begin() + 400));
  EXPECT_EQ(chunks, 2);
}

TEST(SimProgrammer, StopReadEndsTheStream) {
  Bench b;
  ASSERT_EQ(b.Send(0x30, {1, 1, 32, 0, 128}), kOk);
  EXPECT_EQ(b.Send(0x30).at(2), 0xD4);
  EXPECT_EQ(b.Send(0x31), (Bytes{0x48, 0x56, 0xD8, 0, 0}));
  EXPECT_EQ(b.Send(0x30), (Bytes{0x48, 0x56, 0xD8, 0, 0})) << "no stream left to read";
}

TEST(SimProgrammer, WriteRefusals) {
  {
    Bench b;  // a packet that is not whole pages
    ASSERT_EQ(b.Send(0x32, {1, 1, 32, 0, 128}).at(2), 0xD5);
    EXPECT_EQ(b.Send(0x32, Bytes(100, 0)), Error(5));
    EXPECT_EQ(b.chip->flash, Bytes(8192, 0xFF));
  }
  {
    Bench b;  // more data than announced
    ASSERT_EQ(b.Send(0x32, {1, 1, 32, 0, 2}).at(2), 0xD5);
    EXPECT_EQ(b.Send(0x32, Bytes(192, 0)), Error(5));
  }
  {
    Bench b;  // a chip out of reach
    EXPECT_EQ(b.Send(0x32, {3, 1, 32, 0, 128}), Error(2));
  }
  {
    Bench b;  // lock bits programmed: memory writes refused until an erase
    EXPECT_EQ(b.Send(0x21, {1, 4, 0xFC}), kOk);
    EXPECT_EQ(b.Send(0x20, {1, 4}), (Bytes{0x48, 0x56, 0xD3, 0, 1, 0xFC}));
    EXPECT_EQ(b.Send(0x32, {1, 1, 32, 0, 128}), Error(5));
    EXPECT_EQ(b.Send(0x21, {1, 4, 0xFF}), kOk);
    EXPECT_EQ(b.chip->lock, 0xFC) << "lock bits are only cleared by an erase";
    EXPECT_EQ(b.Send(0xB0, {1}), kOk);
    EXPECT_EQ(b.chip->lock, 0xFF);
    EXPECT_EQ(b.Send(0x32, {1, 1, 32, 0, 128}).at(2), 0xD5);
  }
}

// A chip erase keeps the EEPROM while the part's EESAVE field is programmed (0), wherever
// the part has it; flash and lock byte are erased and fuses stay in every case.
TEST(SimProgrammer, EraseKeepsTheEepromOnlyWithEesaveProgrammed) {
  auto field = [](const char* name, std::uint8_t mask, std::uint8_t target) {
    BitFieldDesc f;
    f.name = name;
    f.mask = mask;
    f.targetByte = target;
    return f;
  };
  const BitFieldMap inHigh = {{0, field("WDTON", 0x10, kTargetHigh)},
                              {1, field("EESAVE", 0x08, kTargetHigh)}};
  const BitFieldMap inLow = {{0, field("EESAVE", 0x40, kTargetLow)}};
  const BitFieldMap none = {{0, field("WDTON", 0x10, kTargetHigh)}};
  const struct {
    const char* what;
    const BitFieldMap& fields;
    std::uint8_t selector, fuse;  // the fuse byte written before the erase
    bool eepromKept;
  } cases[] = {
      {"EESAVE programmed in the high byte", inHigh, 2, 0xD1, true},
      {"EESAVE unprogrammed in the high byte", inHigh, 2, 0xD9, false},
      {"EESAVE programmed in the low byte", inLow, 1, 0x2A, true},
      {"no EESAVE field", none, 2, 0x00, false},
  };
  for (const auto& c : cases) {
    PartRecord part = Mega8Like();
    part.fuseBits = c.fields;
    Bench b({}, part);
    EXPECT_EQ(b.Send(0x21, {1, c.selector, c.fuse, 4, 0xFC}), kOk) << c.what;
    const Bytes eeprom = Pattern(512);
    b.chip->eeprom = eeprom;
    b.chip->flash.assign(8192, 0x00);
    EXPECT_EQ(b.Send(0xB0, {1}), kOk) << c.what;
    EXPECT_EQ(b.chip->eeprom, c.eepromKept ? eeprom : Bytes(512, 0xFF)) << c.what;
    EXPECT_EQ(b.chip->flash, Bytes(8192, 0xFF)) << c.what;
    EXPECT_EQ(b.Send(0x20, {1, c.selector, 4}), (Bytes{0x48, 0x56, 0xD3, 0, 2, c.fuse, 0xFF}))
        << c.what;
  }
}

TEST(SimProgrammer, FuseWritesPairsAndRefusesBadOnes) {
  Bench b;
  EXPECT_EQ(b.Send(0x21, {1, 1, 0x3F, 2, 0xC9, 3, 0xFD}), kOk);
  EXPECT_EQ(b.Send(0x20, {1, 1, 2, 3}), (Bytes{0x48, 0x56, 0xD3, 0, 3, 0x3F, 0xC9, 0xFD}));
  EXPECT_EQ(b.Send(0x21, {1, 1, 0x00, 7, 0x00}), Error(4));
  EXPECT_EQ(b.Send(0x21, {1, 1}), Error(4)) << "a selector without its value";
  EXPECT_EQ(b.chip->low, 0x3F) << "a refused packet writes nothing";
}

TEST(SimProgrammer, PagesLongerThanAPacketArriveInPieces) {
  PartRecord big = Mega8Like();
  big.flashPageSizeW = 128;
  big.flashNoOfPages = 4;
  Bench b({}, big);
  ASSERT_EQ(b.Send(0x32, {1, 1, 128, 0, 4}).at(2), 0xD5);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(b.Send(0x32, Bytes(256, 0x11)).at(2), 0xD6);
  EXPECT_EQ(b.Send(0x32, Bytes(256, 0x11)).at(2), 0xD7);
  EXPECT_EQ(b.chip->flash, Bytes(1024, 0x11));

  PartRecord huge = Mega8Like();
  huge.flashPageSizeW = 255;  // 510-byte pages: pieces of 256 and 254
  huge.flashNoOfPages = 2;
  Bench h({}, huge);
  ASSERT_EQ(h.Send(0x32, {1, 1, 255, 0, 2}).at(2), 0xD5);
  EXPECT_EQ(h.Send(0x32, Bytes(256, 1)).at(2), 0xD6);
  EXPECT_EQ(h.Send(0x32, Bytes(255, 1)), Error(5)) << "a piece may not cross into the next page";
  ASSERT_EQ(h.Send(0x32, {1, 1, 255, 0, 2}).at(2), 0xD5);
  EXPECT_EQ(h.Send(0x32, Bytes(256, 2)).at(2), 0xD6);
  EXPECT_EQ(h.Send(0x32, Bytes(254, 2)).at(2), 0xD6);
  EXPECT_EQ(h.Send(0x32, Bytes(256, 2)).at(2), 0xD6);
  EXPECT_EQ(h.Send(0x32, Bytes(254, 2)).at(2), 0xD7);
}

TEST(SimProgrammer, BlankCheckAnswersAfterItsDuration) {
  SimOptions slow;
  slow.blankCheckTime = std::chrono::seconds(5);
  Bench b(slow);
  const Bytes p = Packet(0xB1, {1, 1, 32, 0, 128});
  const auto t0 = SimClock::time_point{} + std::chrono::seconds(100);
  b.sim.Receive(p.data(), p.size(), t0);
  Bytes out;
  EXPECT_EQ(b.sim.TakeDue(t0 + std::chrono::milliseconds(4999), out), 0u);
  ASSERT_TRUE(b.sim.NextDue().has_value());
  EXPECT_EQ(*b.sim.NextDue(), t0 + std::chrono::seconds(5));
  EXPECT_EQ(b.sim.TakeDue(t0 + std::chrono::seconds(5), out), 6u);
}

TEST(SimProgrammer, PacingSpendsTheWireTimeOfEveryByteInBothDirections) {
  SimOptions paced;
  paced.pace = true;
  Bench b(paced);
  const auto t0 = SimClock::time_point{} + std::chrono::seconds(100);
  const Bytes start = Packet(0x30, {1, 1, 32, 0, 9});  // 9 pages: 576 bytes
  b.sim.Receive(start.data(), start.size(), t0);
  Bytes out;
  // The 10-byte packet arrives after 10 byte times, the 5-byte answer leaves 5 later.
  EXPECT_EQ(b.sim.TakeDue(t0 + kSimByteTime * 15 - std::chrono::nanoseconds(1), out), 4u);
  EXPECT_EQ(b.sim.TakeDue(t0 + kSimByteTime * 15, out), 1u);
  // Answer bytes come out one byte time apart, never in a burst.
  const Bytes next = Packet(0x30);
  const auto t1 = t0 + std::chrono::seconds(1);
  b.sim.Receive(next.data(), next.size(), t1);
  const auto first = t1 + kSimByteTime * 5 + kSimByteTime;
  ASSERT_TRUE(b.sim.NextDue().has_value());
  EXPECT_EQ(*b.sim.NextDue(), first);
  out.clear();
  EXPECT_EQ(b.sim.TakeDue(first + kSimByteTime * 99, out), 100u);
  EXPECT_EQ(b.sim.TakeDue(first + kSimByteTime * 260, out), 161u);
  EXPECT_FALSE(b.sim.NextDue().has_value());
}

}  // namespace
}  // namespace bq::test
