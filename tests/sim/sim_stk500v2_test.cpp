#include "sim/stk500v2/sim_stk500v2.h"

#include <gtest/gtest.h>

#include <string>

#include "parts/part_database.h"
#include "sim/stk500v2/stk500v2_codes.h"

namespace bq {
namespace {

using namespace stk500v2;
using Bytes = std::vector<std::uint8_t>;

const PartDatabase& Parts() {
  static PartDatabase db;
  static const bool loaded = LoadPartList(db, std::string(BQ_SOURCE_DIR) + "/PartList.cfg") > 0;
  EXPECT_TRUE(loaded);
  return db;
}

Bytes Message(std::uint8_t sequence, const Bytes& body) {
  Bytes m{kMessageStart, sequence, static_cast<std::uint8_t>(body.size() >> 8),
          static_cast<std::uint8_t>(body.size()), kToken};
  m.insert(m.end(), body.begin(), body.end());
  std::uint8_t x = 0;
  for (std::uint8_t b : m) x ^= b;
  m.push_back(x);
  return m;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A programmer with a chip of this part; Send checks the answer frame and returns its body.
struct Programmer {
  explicit Programmer(const std::string& part, SimStk500v2Options options = {})
      : chip(SimChip::FromPart(part, *Parts().Find(part))), peer(chip, [&] {
          options.ispLockout = IspLockoutFields(*Parts().Find(part));
          return options;
        }()) {}
  Bytes Send(const Bytes& body) {
    const Bytes m = Message(++sequence, body);
    const Bytes a = peer.Receive(m.data(), m.size());
    if (a.size() < 6) return a;
    EXPECT_EQ(a[0], kMessageStart);
    EXPECT_EQ(a[1], sequence) << "the answer echoes the sequence number";
    EXPECT_EQ(a[4], kToken);
    EXPECT_EQ(a.size(), 6u + (std::size_t{a[2]} << 8 | a[3]));
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < a.size(); ++i) x ^= a[i];
    EXPECT_EQ(x, a.back()) << "answer checksum";
    return Bytes(a.begin() + 5, a.end() - 1);
  }
  Bytes EnterIsp() {  // the ATmega328P's ISP_INTERFACE values
    return Send({kEnterProgmodeIsp, 200, 100, 25, 32, 0, 0x53, 3, 0xAC, 0x53, 0x00, 0x00});
  }
  void Load(std::uint32_t address) {
    EXPECT_EQ(Send({kLoadAddress, static_cast<std::uint8_t>(address >> 24),
                    static_cast<std::uint8_t>(address >> 16),
                    static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)}),
              (Bytes{kLoadAddress, kStatusCmdOk}));
  }
  Bytes ProgramIsp(std::uint8_t id, std::uint8_t mode, const Bytes& cmds, const Bytes& data) {
    const Bytes head{id, static_cast<std::uint8_t>(data.size() >> 8),
                     static_cast<std::uint8_t>(data.size()), mode, 10};
    return Send(Cat(Cat(Cat(head, cmds), {0xFF, 0xFF}), data));
  }
  Bytes ReadIsp(std::uint8_t id, std::size_t n, std::uint8_t cmd) {
    const Bytes a =
        Send({id, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), cmd});
    EXPECT_EQ(a.size(), n + 3);
    if (a.size() != n + 3) return {};
    return Bytes(a.begin() + 2, a.end() - 1);
  }

  SimChip chip;
  SimStk500v2 peer;
  std::uint8_t sequence = 0x40;
};

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 5);
  return b;
}

TEST(SimStk500v2, SignsOnAndKeepsItsParameters) {
  Programmer p("ATmega328P");
  EXPECT_EQ(p.Send({kSignOn}),
            (Bytes{kSignOn, kStatusCmdOk, 8, 'S', 'T', 'K', '5', '0', '0', '_', '2'}));
  struct Case {
    Bytes body, answer;
  } cases[] = {
      {{kGetParameter, kParamHwVer}, {kGetParameter, kStatusCmdOk, 2}},
      {{kGetParameter, kParamSwMajor}, {kGetParameter, kStatusCmdOk, 2}},
      {{kGetParameter, kParamVtarget}, {kGetParameter, kStatusCmdOk, 50}},
      {{kSetParameter, kParamSckDuration, 5}, {kSetParameter, kStatusCmdOk}},
      {{kGetParameter, kParamSckDuration}, {kGetParameter, kStatusCmdOk, 5}},
      {{kSetParameter, kParamSwMajor, 9}, {kSetParameter, kStatusCmdFailed}},
      {{kGetParameter, 0x70}, {kGetParameter, kStatusCmdFailed}},
      {{0x7F}, {0x7F, kStatusCmdUnknown}},
  };
  for (const Case& c : cases) EXPECT_EQ(p.Send(c.body), c.answer) << int(c.body[0]);
}

TEST(SimStk500v2, AnswersABadChecksumAndSkipsWhatIsNoFrame) {
  Programmer p("ATmega328P");
  Bytes bad = Message(7, {kSignOn});
  bad.back() ^= 0x01;
  EXPECT_EQ(p.peer.Receive(bad.data(), bad.size()),
            Message(7, {kAnswerCksumError, kAnswerCksumError}));
  EXPECT_EQ(p.peer.Commands(kSignOn), 0u);

  // Noise, a wrong token and an oversize length before a good frame; then a frame a byte
  // at a time.
  Bytes noisy{0x00, 0x42, kMessageStart, 1, 0, 1, 0x0F, kMessageStart, 2, 0x01, 0x20, kToken};
  noisy = Cat(noisy, Message(9, {kGetParameter, kParamHwVer}));
  EXPECT_EQ(p.peer.Receive(noisy.data(), noisy.size()),
            Message(9, {kGetParameter, kStatusCmdOk, 2}));
  Bytes answer;
  for (std::uint8_t b : Message(10, {kSignOn})) {
    const Bytes part = p.peer.Receive(&b, 1);
    answer.insert(answer.end(), part.begin(), part.end());
  }
  EXPECT_EQ(answer.size(), 6u + 11u);
}

TEST(SimStk500v2, EntersIspOnlyWhereIspReachesTheChip) {
  struct Case {
    const char* what;
    SimConnect connect;
    bool present;
    std::uint8_t high;    // ATmega328P: RSTDISBL 0x80, DWEN 0x40, SPIEN 0x20
    std::uint8_t minSck;  // the target's slowest usable SCK_DURATION (set: 2)
    std::uint8_t status;
  } cases[] = {
      {"on the cable", SimConnect::kIsp, true, 0xD9, 0, kStatusCmdOk},
      {"in the socket", SimConnect::kSocket, true, 0xD9, 0, kStatusCmdFailed},
      {"absent", SimConnect::kIsp, false, 0xD9, 0, kStatusCmdFailed},
      {"RSTDISBL programmed", SimConnect::kIsp, true, 0x59, 0, kStatusCmdFailed},
      {"SPIEN unprogrammed", SimConnect::kIsp, true, 0xF9, 0, kStatusCmdFailed},
      {"clock too fast", SimConnect::kIsp, true, 0xD9, 3, kStatusCmdFailed},
  };
  for (const Case& c : cases) {
    SimStk500v2Options options;
    options.connect = c.connect;
    options.chipPresent = c.present;
    options.minSckDuration = c.minSck;
    Programmer p("ATmega328P", options);
    p.chip.high = c.high;
    EXPECT_EQ(p.EnterIsp(), (Bytes{kEnterProgmodeIsp, c.status})) << c.what;
  }
}

TEST(SimStk500v2, ProgramsAndReadsFlashAbove128KiBAndEepromOverIsp) {
  Programmer p("ATmega2560");
  ASSERT_EQ(p.EnterIsp(), (Bytes{kEnterProgmodeIsp, kStatusCmdOk}));
  EXPECT_EQ(p.Send({kChipEraseIsp, 55, 1, 0xAC, 0x80, 0x00, 0x00}),
            (Bytes{kChipEraseIsp, kStatusCmdOk}));
  EXPECT_EQ(p.Send({kReadSignatureIsp, 4, 0x30, 0x00, 0x01, 0x00}),
            (Bytes{kReadSignatureIsp, kStatusCmdOk, 0x98, kStatusCmdOk}));

  const Bytes page = Pattern(256, 9);
  p.Load(0x80010000u);  // word 0x10000: byte 0x20000, beyond 64K words
  EXPECT_EQ(p.ProgramIsp(kProgramFlashIsp, 0xC1, {0x40, 0x4C, 0x20}, page),
            (Bytes{kProgramFlashIsp, kStatusCmdOk}));
  EXPECT_EQ(p.peer.Address(), 0x80010080u) << "the counter moves on by the words written";
  EXPECT_EQ(Bytes(p.chip.flash.begin() + 0x20000, p.chip.flash.begin() + 0x20100), page);
  p.Load(0x80010000u);
  EXPECT_EQ(p.ReadIsp(kReadFlashIsp, 256, 0x20), page);

  const Bytes eeprom = Pattern(8, 1);
  p.Load(0x18);
  EXPECT_EQ(p.ProgramIsp(kProgramEepromIsp, 0xC1, {0xC1, 0xC2, 0xA0}, eeprom),
            (Bytes{kProgramEepromIsp, kStatusCmdOk}));
  EXPECT_EQ(Bytes(p.chip.eeprom.begin() + 0x18, p.chip.eeprom.begin() + 0x20), eeprom);
  p.Load(0x18);
  EXPECT_EQ(p.ReadIsp(kReadEepromIsp, 8, 0xA0), eeprom);
}

TEST(SimStk500v2, WritesAFlashPageAsTheModeByteSays) {
  struct Case {
    const char* what;
    std::uint8_t mode;
    bool busy;
    std::uint8_t status;
    bool written;
  } cases[] = {
      {"page, RDY/BSY, write", 0xC1, false, kStatusCmdOk, true},
      {"page, value polling, write", 0xA1, false, kStatusCmdOk, true},
      {"page, no write bit", 0x41, false, kStatusCmdOk, false},
      {"word mode on a paged part", 0x08, false, kStatusCmdOk, false},
      {"busy, RDY/BSY", 0xC1, true, kStatusRdyBsyTout, false},
      {"busy, value polling", 0xA1, true, kStatusCmdTout, false},
      {"busy, timed delay", 0x91, true, kStatusCmdOk, false},
  };
  const Bytes page = Pattern(128, 0x21);
  for (const Case& c : cases) {
    SimStk500v2Options options;
    options.chipBusy = c.busy;
    Programmer p("ATmega328P", options);
    ASSERT_EQ(p.EnterIsp(), (Bytes{kEnterProgmodeIsp, kStatusCmdOk}));
    p.Load(0x40);
    EXPECT_EQ(p.ProgramIsp(kProgramFlashIsp, c.mode, {0x40, 0x4C, 0x20}, page),
              (Bytes{kProgramFlashIsp, c.status}))
        << c.what;
    EXPECT_EQ(Bytes(p.chip.flash.begin() + 0x80, p.chip.flash.begin() + 0x100) == page, c.written)
        << c.what;
  }
}

TEST(SimStk500v2, ReadsAndWritesFusesLockAndCalibrationOverIsp) {
  Programmer p("ATmega328P");
  ASSERT_EQ(p.EnterIsp(), (Bytes{kEnterProgmodeIsp, kStatusCmdOk}));
  struct Case {
    Bytes body, answer;
  } cases[] = {
      {{kProgramFuseIsp, 0xAC, 0xA0, 0x00, 0xE2}, {kProgramFuseIsp, 0, 0}},
      {{kReadFuseIsp, 4, 0x50, 0x00, 0x00, 0x00}, {kReadFuseIsp, 0, 0xE2, 0}},
      {{kProgramFuseIsp, 0xAC, 0xA8, 0x00, 0xD1}, {kProgramFuseIsp, 0, 0}},
      {{kReadFuseIsp, 4, 0x58, 0x08, 0x00, 0x00}, {kReadFuseIsp, 0, 0xD1, 0}},
      {{kProgramLockIsp, 0xAC, 0xE0, 0x00, 0xFC}, {kProgramLockIsp, 0, 0}},
      {{kReadLockIsp, 4, 0x58, 0x00, 0x00, 0x00}, {kReadLockIsp, 0, 0xFC, 0}},
      {{kReadOsccalIsp, 4, 0x38, 0x00, 0x00, 0x00}, {kReadOsccalIsp, 0, 0xA0, 0}},
      {{kSpiMulti, 4, 4, 0, 0x30, 0x00, 0x02, 0x00}, {kSpiMulti, 0, 0x00, 0x30, 0x00, 0x0F, 0}},
      {{kSpiMulti, 4, 1, 3, 0x30, 0x00, 0x00, 0x00}, {kSpiMulti, 0, 0x1E, 0}},
      {{kLeaveProgmodeIsp, 1, 1}, {kLeaveProgmodeIsp, 0}},
      {{kReadFuseIsp, 4, 0x50, 0x00, 0x00, 0x00}, {kReadFuseIsp, 0, 0x00, 0}},  // not listening
  };
  for (const Case& c : cases) EXPECT_EQ(p.Send(c.body), c.answer) << int(c.body[0]);
}

TEST(SimStk500v2, ReachesAChipInTheSocketInItsHighVoltageMode) {
  struct Case {
    const char* part;
    std::uint8_t base;  // the command set tried
    std::uint8_t vtarget;
    std::uint8_t status;
  } cases[] = {
      {"ATtiny85", kHvspBase, 50, kStatusCmdOk},
      {"ATtiny85", kHvspBase, 33, kStatusCmdFailed},  // HVSP needs 4.5..5.5 V
      {"ATtiny85", kPpBase, 50, kStatusCmdFailed},
      {"ATmega328P", kPpBase, 50, kStatusCmdOk},
      {"ATmega328P", kHvspBase, 50, kStatusCmdFailed},
  };
  for (const Case& c : cases) {
    SimStk500v2Options options;
    options.connect = SimConnect::kSocket;
    Programmer p(c.part, options);
    p.chip.high = 0x59;  // RSTDISBL programmed: high voltage still gets in
    p.Send({kSetParameter, kParamVtarget, c.vtarget});
    const Bytes enter = c.base == kHvspBase ? Bytes{kHvspBase, 100, 0, 6, 1, 1, 25, 1, 0}
                                            : Bytes{kPpBase, 100, 0, 5, 1, 15, 1, 0};
    EXPECT_EQ(p.Send(enter), (Bytes{c.base, c.status})) << c.part << " " << int(c.base);
  }

  SimStk500v2Options options;
  options.connect = SimConnect::kSocket;
  Programmer p("ATtiny85", options);
  const auto op = [](std::uint8_t o) { return static_cast<std::uint8_t>(kHvspBase + o); };
  ASSERT_EQ(p.Send({kHvspBase, 100, 0, 6, 1, 1, 25, 1, 0}), (Bytes{kHvspBase, 0}));
  EXPECT_EQ(p.Send({op(kHvChipErase), 40, 0}), (Bytes{op(kHvChipErase), 0}));
  const Bytes page = Pattern(64, 0x30);
  p.Load(0x20);
  EXPECT_EQ(p.Send(Cat({op(kHvProgramFlash), 0, 64, 0x8D, 5}, page)),
            (Bytes{op(kHvProgramFlash), 0}));
  EXPECT_EQ(p.Send(Cat({op(kHvProgramFlash), 0, 64, 0x89, 5}, page)),
            (Bytes{op(kHvProgramFlash), kStatusCmdFailed}))
      << "a page size code that is not the chip's";
  EXPECT_EQ(Bytes(p.chip.flash.begin() + 0x40, p.chip.flash.begin() + 0x80), page);
  p.Load(0x20);
  EXPECT_EQ(p.Send({op(kHvReadFlash), 0, 64}), Cat(Cat({op(kHvReadFlash), 0}, page), {0}));
  EXPECT_EQ(p.Send({op(kHvProgramFuse), 1, 0xDE, 25}), (Bytes{op(kHvProgramFuse), 0}));
  EXPECT_EQ(p.Send({op(kHvReadFuse), 1}), (Bytes{op(kHvReadFuse), 0, 0xDE}));
  EXPECT_EQ(p.Send({op(kHvReadSignature), 2}), (Bytes{op(kHvReadSignature), 0, 0x0B}));
  EXPECT_EQ(p.Send({op(kHvProgramLock), 0, 0xFC, 25}), (Bytes{op(kHvProgramLock), 0}));
  EXPECT_EQ(p.Send({op(kHvReadLock), 0}), (Bytes{op(kHvReadLock), 0, 0xFC}));
  EXPECT_EQ(p.Send({op(kHvReadOsccal), 0}), (Bytes{op(kHvReadOsccal), 0, 0xA0}));
}

TEST(SimStk500v2, ShowsTheFaultsItIsGiven) {
  struct Case {
    Stk500FaultKind kind;
    bool framed;  // the answer is still a well-formed frame
    Bytes body;   // its body when framed
  } cases[] = {
      {Stk500FaultKind::kSilence, false, {}},
      {Stk500FaultKind::kDeviceFailure, true, {kSignOn, kStatusCmdFailed}},
      {Stk500FaultKind::kBadChecksum, false, {}},
      {Stk500FaultKind::kGarbage, false, {}},
  };
  for (const Case& c : cases) {
    SimStk500v2Options options;
    options.faults = {{kSignOn, c.kind, 0}};
    Programmer p("ATmega328P", options);
    const Bytes m = Message(3, {kSignOn});
    const Bytes a = p.peer.Receive(m.data(), m.size());
    if (c.framed) {
      EXPECT_EQ(a, Message(3, c.body));
    } else if (c.kind == Stk500FaultKind::kSilence) {
      EXPECT_TRUE(a.empty());
    } else {
      ASSERT_EQ(a.size(), 17u);
      Bytes good = Message(3, {kSignOn, 0, 8, 'S', 'T', 'K', '5', '0', '0', '_', '2'});
      EXPECT_NE(a, good);
      EXPECT_EQ(a.front() == kMessageStart, c.kind == Stk500FaultKind::kBadChecksum);
      EXPECT_EQ(std::equal(a.begin(), a.end() - 1, good.begin()),
                c.kind == Stk500FaultKind::kBadChecksum);
    }
    EXPECT_EQ(p.Send({kGetParameter, kParamHwVer}), (Bytes{kGetParameter, 0, 2}));
  }
}

}  // namespace
}  // namespace bq
