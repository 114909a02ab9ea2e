#include "sim/stk500v1/sim_stk500v1.h"

#include <gtest/gtest.h>

#include <string>

#include "parts/part_database.h"
#include "sim/stk500v1/stk500v1_codes.h"

namespace bq {
namespace {

using namespace stk500v1;
using Bytes = std::vector<std::uint8_t>;

const PartDatabase& Parts() {
  static PartDatabase db;
  static const bool loaded = LoadPartList(db, std::string(BQ_SOURCE_DIR) + "/PartList.cfg") > 0;
  EXPECT_TRUE(loaded);
  return db;
}

// A board with a chip of this part on its ISP cable, sent SET_DEVICE and ENTER_PROGMODE.
struct Board {
  explicit Board(const std::string& part, SimStk500v1Options options = {}, bool enter = true)
      : chip(SimChip::FromPart(part, *Parts().Find(part))), peer(chip, WithLockout(part, options)) {
    if (!enter) return;
    Bytes device(20, 0);
    device[12] = static_cast<std::uint8_t>(chip.flashPageBytes >> 8);
    device[13] = static_cast<std::uint8_t>(chip.flashPageBytes);
    Send(Cat({kSetDevice}, device));
    entered = Send({kEnterProgmode});
  }
  static SimStk500v1Options WithLockout(const std::string& part, SimStk500v1Options o) {
    o.ispLockout = IspLockoutFields(*Parts().Find(part));
    return o;
  }
  static Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  // One command with its end marker.
  Bytes Send(Bytes command) {
    command.push_back(kEop);
    return peer.Receive(command.data(), command.size());
  }
  Bytes Raw(const Bytes& bytes) { return peer.Receive(bytes.data(), bytes.size()); }
  void Load(std::uint16_t address) {
    EXPECT_EQ(Send({kLoadAddress, static_cast<std::uint8_t>(address),
                    static_cast<std::uint8_t>(address >> 8)}),
              (Bytes{kInSync, kOk}));
  }
  Bytes Write(char memtype, const Bytes& data) {
    return Send(Cat({kProgPage, static_cast<std::uint8_t>(data.size() >> 8),
                     static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(memtype)},
                    data));
  }
  Bytes Read(char memtype, std::size_t n) {
    Bytes a = Send({kReadPage, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n),
                    static_cast<std::uint8_t>(memtype)});
    EXPECT_EQ(a.size(), n + 2);
    if (a.size() != n + 2 || a.front() != kInSync || a.back() != kOk) return {};
    return Bytes(a.begin() + 1, a.end() - 1);
  }

  SimChip chip;
  SimStk500v1 peer;
  Bytes entered;
};

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

TEST(SimStk500v1, AnswersTheGeneralCommandsAsTheBoardDoes) {
  struct Case {
    Bytes sent;  // without the end marker unless raw
    bool raw;
    Bytes answer;
  } cases[] = {
      {{kGetSync}, false, {kInSync, kOk}},
      {{kGetSignOn}, false, {kInSync, 'A', 'V', 'R', ' ', 'S', 'T', 'K', kOk}},
      {{kGetParameter, kParmHwVer}, false, {kInSync, 2, kOk}},
      {{kGetParameter, kParmSwMajor}, false, {kInSync, 1, kOk}},
      {{kGetParameter, kParmSwMinor}, false, {kInSync, 18, kOk}},
      {{kGetParameter, 0xA7}, false, {kInSync, 0xA7, kFailed}},
      {{kSetParameter, kParmHwVer, 9}, false, {kInSync, kParmHwVer, kFailed}},
      {{0x3F}, false, {kInSync, kUnknown}},
      {{kEnterProgmode}, false, {kInSync, kNoDevice}},
      // No end marker: out of step; the next good command is answered again.
      {{kGetSync, 0x55, kGetSync, kEop}, true, {kNoSync, kInSync, kOk}},
      {{0x3F, kGetSync, kEop}, true, {kNoSync, kInSync, kOk}},
  };
  for (const Case& c : cases) {
    Board board("ATmega328P", {}, false);
    EXPECT_EQ(c.raw ? board.Raw(c.sent) : board.Send(c.sent), c.answer) << int(c.sent[0]);
  }
  Board board("ATmega328P", {}, false);
  EXPECT_EQ(board.Send({kSetParameter, kParmSckDuration, 5}), (Bytes{kInSync, kOk}));
  EXPECT_EQ(board.Send({kGetParameter, kParmSckDuration}), (Bytes{kInSync, 5, kOk}));
  // A command that arrives a byte at a time is answered once it is complete.
  Bytes answer;
  for (std::uint8_t b : Bytes{kGetSignOn, kEop, kGetSync, kEop}) {
    const Bytes part = board.Raw({b});
    answer.insert(answer.end(), part.begin(), part.end());
  }
  EXPECT_EQ(answer.size(), 11u);
}

TEST(SimStk500v1, EntersProgrammingModeOnlyWhereIspReachesTheChip) {
  struct Case {
    const char* what;
    SimConnect connect;
    bool present;
    std::uint8_t high;  // ATmega328P: RSTDISBL 0x80, DWEN 0x40, SPIEN 0x20
    bool enters;
  } cases[] = {
      {"on the cable", SimConnect::kIsp, true, 0xD9, true},
      {"in the socket", SimConnect::kSocket, true, 0xD9, false},
      {"absent", SimConnect::kIsp, false, 0xD9, false},
      {"RSTDISBL programmed", SimConnect::kIsp, true, 0x59, false},
      {"DWEN programmed", SimConnect::kIsp, true, 0x99, false},
      {"SPIEN unprogrammed", SimConnect::kIsp, true, 0xF9, false},
  };
  for (const Case& c : cases) {
    SimStk500v1Options options;
    options.connect = c.connect;
    options.chipPresent = c.present;
    Board board("ATmega328P", options, false);
    board.chip.high = c.high;
    board.Send(Board::Cat({kSetDevice}, Bytes(20, 0)));
    EXPECT_EQ(board.Send({kEnterProgmode}), (Bytes{kInSync, c.enters ? kOk : kFailed})) << c.what;
    EXPECT_EQ(board.peer.InProgMode(), c.enters) << c.what;
  }
}

TEST(SimStk500v1, ErasesWritesAndReadsFlashAndEepromPages) {
  Board board("ATmega328P");
  ASSERT_EQ(board.entered, (Bytes{kInSync, kOk}));
  EXPECT_EQ(board.Send({kReadSign}), (Bytes{kInSync, 0x1E, 0x95, 0x0F, kOk}));
  board.chip.flash[0x80] = 0x00;
  board.chip.eeprom[0x10] = 0x00;
  EXPECT_EQ(board.Send({kChipErase}), (Bytes{kInSync, kOk}));
  EXPECT_EQ(board.chip.flash[0x80], 0xFF);
  EXPECT_EQ(board.chip.eeprom[0x10], 0xFF) << "EESAVE unprogrammed";

  const Bytes page = Pattern(128, 3);
  board.Load(0x40);  // a word address: byte 0x80
  EXPECT_EQ(board.Write('F', page), (Bytes{kInSync, kOk}));
  EXPECT_EQ(Bytes(board.chip.flash.begin() + 0x80, board.chip.flash.begin() + 0x100), page);
  board.Load(0x40);
  EXPECT_EQ(board.Read('F', 128), page);
  EXPECT_EQ(board.Write('X', {1, 2}), (Bytes{kInSync, kFailed}));

  // Both readings of the EEPROM address.
  for (bool words : {false, true}) {
    SimStk500v1Options options;
    options.eepromWordAddress = words;
    Board b("ATmega328P", options);
    b.Load(0x10);
    EXPECT_EQ(b.Write('E', {1, 2, 3, 4}), (Bytes{kInSync, kOk}));
    const std::size_t at = words ? 0x20 : 0x10;
    EXPECT_EQ(Bytes(b.chip.eeprom.begin() + static_cast<std::ptrdiff_t>(at),
                    b.chip.eeprom.begin() + static_cast<std::ptrdiff_t>(at + 4)),
              (Bytes{1, 2, 3, 4}))
        << words;
    b.Load(0x10);
    EXPECT_EQ(b.Read('E', 4), (Bytes{1, 2, 3, 4}));
  }
}

TEST(SimStk500v1, ReachesFlashAbove128KiBThroughTheExtendedAddressInstruction) {
  Board board("ATmega2560");
  ASSERT_EQ(board.entered, (Bytes{kInSync, kOk}));
  const Bytes page = Pattern(256, 11);
  EXPECT_EQ(board.Send({kUniversal, 0x4D, 0x00, 0x01, 0x00}), (Bytes{kInSync, 0x00, kOk}));
  board.Load(0x0000);
  EXPECT_EQ(board.Write('F', page), (Bytes{kInSync, kOk}));
  EXPECT_EQ(Bytes(board.chip.flash.begin() + 0x20000, board.chip.flash.begin() + 0x20100), page);
  EXPECT_EQ(board.chip.flash[0], 0xFF);
  board.Load(0x0000);
  EXPECT_EQ(board.Read('F', 256), page);
  board.Send({kUniversal, 0x4D, 0x00, 0x00, 0x00});
  board.Load(0x0000);
  EXPECT_EQ(board.Read('F', 4), Bytes(4, 0xFF));
}

TEST(SimStk500v1, ReadsAndWritesFusesLockAndCalibrationThroughUniversal) {
  Board board("ATmega328P");
  struct Case {
    Bytes instruction;
    std::uint8_t out;  // byte shifted out during the fourth byte
  } cases[] = {
      {{0xAC, 0xA0, 0x00, 0xE2}, 0x00}, {{0x50, 0x00, 0x00, 0x00}, 0xE2},
      {{0xAC, 0xA8, 0x00, 0xD1}, 0x00}, {{0x58, 0x08, 0x00, 0x00}, 0xD1},
      {{0xAC, 0xA4, 0x00, 0xFD}, 0x00}, {{0x50, 0x08, 0x00, 0x00}, 0xFD},
      {{0x30, 0x00, 0x01, 0x00}, 0x95}, {{0x38, 0x00, 0x00, 0x00}, 0xA0},
      {{0xAC, 0xE0, 0x00, 0xFC}, 0x00}, {{0x58, 0x00, 0x00, 0x00}, 0xFC},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(board.Send(Board::Cat({kUniversal}, c.instruction)), (Bytes{kInSync, c.out, kOk}))
        << int(c.instruction[0]) << " " << int(c.instruction[1]);
  }
  EXPECT_EQ(board.chip.low, 0xE2);
  EXPECT_EQ(board.chip.lock, 0xFC);
  // Locked: the page write is answered but the flash keeps its bytes; erase unlocks.
  board.Load(0);
  EXPECT_EQ(board.Write('F', {0x12, 0x34}), (Bytes{kInSync, kOk}));
  EXPECT_EQ(board.chip.flash[0], 0xFF);
  board.Send({kChipErase});
  EXPECT_EQ(board.chip.lock, 0xFF);
  EXPECT_EQ(board.Send({kReadFuseExt}), (Bytes{kInSync, 0xE2, 0xD1, 0xFD, kOk}));
}

TEST(SimStk500v1, ShowsTheFaultsItIsGiven) {
  struct Case {
    Stk500Fault fault;
    Bytes answer;  // empty: silence
  } cases[] = {
      {{kGetSync, Stk500FaultKind::kSilence, 0}, {}},
      {{kGetSync, Stk500FaultKind::kDeviceFailure, 0}, {kInSync, kFailed}},
      {{kGetSync, Stk500FaultKind::kGarbage, 0}, {kInSync ^ 0xA5, kOk ^ 0xA5}},
      {{kGetSync, Stk500FaultKind::kSilence, 2}, {kInSync, kOk}},  // only the second
  };
  for (const Case& c : cases) {
    SimStk500v1Options options;
    options.faults = {c.fault};
    Board board("ATmega328P", options, false);
    EXPECT_EQ(board.Send({kGetSync}), c.answer) << int(c.fault.kind);
    EXPECT_EQ(board.Send({kGetSignOn}).size(), 9u) << "other commands are untouched";
  }
}

}  // namespace
}  // namespace bq
