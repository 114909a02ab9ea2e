#include "sim/sim_fault.h"

#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"

namespace bq::test {
namespace {

TEST(SimFaultSpec, ParsesEveryFormAndWritesItBack) {
  struct Case {
    const char* faultText;
    std::uint8_t code;
    SimFaultKind kind;
    std::uint8_t arg;
    std::uint32_t first, last;
  };
  const Case cases[] = {
      {"0x30:silence", 0x30, SimFaultKind::kSilence, 0, 1, 0},
      {"0xC0:badheader@2", 0xC0, SimFaultKind::kBadHeader, 0, 2, 2},
      {"0x10:short*3", 0x10, SimFaultKind::kShort, 0, 1, 3},
      {"0x10:oversize", 0x10, SimFaultKind::kOversize, 0, 1, 0},
      {"0xCF:error=1", 0xCF, SimFaultKind::kError, 1, 1, 0},
      {"0xB0:error=0x06@1", 0xB0, SimFaultKind::kError, 6, 1, 1},
      {"0xC1:hangup", 0xC1, SimFaultKind::kHangup, 0, 1, 0},
      {"0x32:lastnext", 0x32, SimFaultKind::kLastNext, 0, 1, 0},
      {"48:longdata", 48, SimFaultKind::kLongData, 0, 1, 0},
  };
  for (const Case& c : cases) {
    const auto f = ParseSimFault(c.faultText);
    ASSERT_TRUE(f.has_value()) << c.faultText;
    EXPECT_EQ(f->code, c.code) << c.faultText;
    EXPECT_EQ(f->kind, c.kind) << c.faultText;
    EXPECT_EQ(f->arg, c.arg) << c.faultText;
    EXPECT_EQ(f->first, c.first) << c.faultText;
    EXPECT_EQ(f->last, c.last) << c.faultText;
    const auto again = ParseSimFault(FormatSimFault(*f));
    ASSERT_TRUE(again.has_value()) << FormatSimFault(*f);
    EXPECT_EQ(FormatSimFault(*again), FormatSimFault(*f));
  }
}

TEST(SimFaultSpec, RejectsMalformedSpecsWithAReason) {
  for (const char* bad : {"", "0x30", "0x130:silence", "zz:silence", "0x30:mute", "0x30:error",
                          "0x30:error=300", "0x30:silence=1", "0x30:silence@0", "0x30:silence@",
                          "0x30:silence@x", "0x30:silence*-1", ":silence"}) {
    std::string why;
    EXPECT_FALSE(ParseSimFault(bad, &why).has_value()) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

SimOptions With(std::initializer_list<const char*> faultTexts) {
  SimOptions o;
  for (const char* s : faultTexts) o.faults.push_back(*ParseSimFault(s));
  return o;
}

TEST(SimFaults, MangleTheAnswerTheWayTheirNameSays) {
  struct Case {
    const char* faultText;
    Bytes answer;  // to CMD_READ_SIGNATURE in mode 1
  };
  Bytes oversize = {0x48, 0x56, 0xD1, 0x01, 0x01, 0x1E, 0x93, 0x07};
  oversize.resize(5 + 257, 0x00);
  const Case cases[] = {
      {"0x10:silence", {}},
      {"0x10:badheader", {0xAA, 0x55, 0xD1, 0, 3, 0x1E, 0x93, 0x07}},
      {"0x10:short", {0x48, 0x56, 0xD1, 0, 4, 0x1E, 0x93, 0x07}},
      {"0x10:oversize", oversize},
      {"0x10:error=3", {0x48, 0x56, 0xEF, 0, 1, 3}},
      {"0x10:hangup", {}},
      {"0x11:silence", {0x48, 0x56, 0xD1, 0, 3, 0x1E, 0x93, 0x07}},  // other codes untouched
  };
  for (const Case& c : cases) {
    Bench b(With({c.faultText}));
    EXPECT_EQ(b.Send(0x10, {1}), c.answer) << c.faultText;
  }
}

TEST(SimFaults, CountsSelectWhichPacketsAreHit) {
  struct Case {
    const char* faultText;
    std::vector<bool> hit;  // per CMD_FIRMWARE_VERSION packet: answered by the fault?
  };
  const Case cases[] = {
      {"0xC0:error=1", {true, true, true, true}},
      {"0xC0:error=1@2", {false, true, false, false}},
      {"0xC0:error=1*3", {true, true, true, false}},
  };
  for (const Case& c : cases) {
    Bench b(With({c.faultText}));
    for (std::size_t i = 0; i < c.hit.size(); ++i) {
      EXPECT_EQ(b.Send(0xC0).at(2) == 0xEF, c.hit[i]) << c.faultText << " packet " << i + 1;
    }
  }
}

TEST(SimFaults, ErrorFaultLeavesTheChipAlone) {
  Bench b(With({"0xB0:error=6"}));
  b.chip->flash[0] = 0x00;
  EXPECT_EQ(b.Send(0xB0, {1}), (Bytes{0x48, 0x56, 0xEF, 0, 1, 6}));
  EXPECT_EQ(b.chip->flash[0], 0x00);
}

TEST(SimFaults, RecoverCanFailAgainAndAgain) {
  Bench b(With({"0xCF:error=1"}));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(b.Send(0xCF), (Bytes{0x48, 0x56, 0xEF, 0, 1, 1}));
}

TEST(SimFaults, HangupSilencesTheLineForGood) {
  Bench b(With({"0xC1:hangup"}));
  EXPECT_EQ(b.Send(0xC0).size(), 7u);
  EXPECT_TRUE(b.Send(0xC1).empty());
  EXPECT_TRUE(b.sim.HungUp());
  EXPECT_TRUE(b.Send(0xC0).empty());
}

TEST(SimFaults, LastNextAnswersTheLastPageWithNext) {
  Bench b(With({"0x32:lastnext@2"}));
  for (int transfer = 1; transfer <= 3; ++transfer) {
    ASSERT_EQ(b.Send(0x32, {1, 2, 4, 0, 64}).at(2), 0xD5);
    const std::uint8_t last = b.Send(0x32, Bytes(256, 0x5A)).at(2);
    EXPECT_EQ(last, transfer == 2 ? 0xD6 : 0xD7) << "transfer " << transfer;
  }
  EXPECT_EQ(b.Send(0x32, {1, 2, 4, 0, 64}).at(2), 0xD5) << "the write ended all the same";
}

TEST(SimFaults, LongDataSendsAChunkPastTheRequestedArea) {
  Bench b(With({"0x30:longdata"}));
  ASSERT_EQ(b.Send(0x30, {1, 2, 4, 0, 16}).at(2), 0xDD);
  EXPECT_EQ(b.Send(0x30).size(), 5u + 64);
  const Bytes extra = b.Send(0x30);
  EXPECT_EQ(extra.at(2), 0xD4);
  EXPECT_EQ(extra.size(), 5u + 256);
  EXPECT_EQ(b.Send(0x30), (Bytes{0x48, 0x56, 0xD8, 0, 0}));
}

}  // namespace
}  // namespace bq::test
