#include "session/fuse_write_risks.h"

#include <gtest/gtest.h>

#include "tests/ui/test_parts.h"

namespace bq {
namespace {

// Field masks as parts place them: RSTDISBL, DWEN and SPIEN in HIGH, the clock source in LOW,
// and a part whose lock-out field sits in EXTENDED, which this part does not give.
BitFieldMap Fields() {
  BitFieldMap f;
  f[0] = test::EnumField("SUT_CKSEL", 0x3F, kTargetLow, {{0x22, "Int. RC"}, {0x0F, "Crystal"}});
  f[1] = test::BitField("RSTDISBL", 0x80, kTargetHigh);
  f[2] = test::BitField("DWEN", 0x40, kTargetHigh);
  f[3] = test::BitField("SPIEN", 0x20, kTargetHigh);
  f[4] = test::BitField("CKDIV8", 0x80, kTargetLow);
  f[5] = test::BitField("RSTDISBL", 0x01, kTargetExtended);
  return f;
}

FuseByteSlots Bytes(std::uint8_t low, std::uint8_t high) {
  FuseByteSlots s;
  s.low = {low, true};
  s.high = {high, true};
  s.extended = {0x00, false};  // not written: its RSTDISBL bit reads 0 but does not count
  return s;
}

TEST(FuseWriteRisks, FoundByFieldNameFromWhatIsWrittenAndTheClockChange) {
  const FuseByteSlots chip = Bytes(0x62, 0xDF);  // SUT_CKSEL 0x22, all three lock-out bits safe
  struct Case {
    const char* what;
    std::uint8_t low, high;
    std::vector<FuseWriteRisk> risks;
  } cases[] = {
      {"the chip's own bytes", 0x62, 0xDF, {}},
      {"only CKDIV8 and a safe HIGH bit change", 0xE2, 0xDE, {}},
      {"RSTDISBL programmed", 0x62, 0x5F, {{FuseRisk::ResetDisabled, "RSTDISBL", "", ""}}},
      {"DWEN programmed", 0x62, 0x9F, {{FuseRisk::DebugWireEnabled, "DWEN", "", ""}}},
      {"SPIEN unprogrammed", 0x62, 0xFF, {{FuseRisk::SpiDisabled, "SPIEN", "", ""}}},
      {"clock source changed",
       0x4F,
       0xDF,
       {{FuseRisk::ClockSourceChanged, "SUT_CKSEL", "Int. RC", "Crystal"}}},
      {"clock source to a value without a choice",
       0x61,
       0xDF,
       {{FuseRisk::ClockSourceChanged, "SUT_CKSEL", "Int. RC", "0x21"}}},
      {"all at once, in field order",
       0x0F,
       0x3F,
       {{FuseRisk::ClockSourceChanged, "SUT_CKSEL", "Int. RC", "Crystal"},
        {FuseRisk::ResetDisabled, "RSTDISBL", "", ""},
        {FuseRisk::DebugWireEnabled, "DWEN", "", ""},
        {FuseRisk::SpiDisabled, "SPIEN", "", ""}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IspFuseWriteRisks(Fields(), chip, Bytes(c.low, c.high)), c.risks) << c.what;
  }
  // A byte that is not written risks nothing, whatever its value.
  FuseByteSlots unwritten = Bytes(0x0F, 0x3F);
  unwritten.low.present = unwritten.high.present = false;
  EXPECT_TRUE(IspFuseWriteRisks(Fields(), chip, unwritten).empty());
}

TEST(FuseWriteRisks, TextsNameTheFieldAndWhatFollows) {
  EXPECT_TRUE(LocksIspOut(FuseRisk::ResetDisabled));
  EXPECT_TRUE(LocksIspOut(FuseRisk::DebugWireEnabled));
  EXPECT_TRUE(LocksIspOut(FuseRisk::SpiDisabled));
  EXPECT_FALSE(LocksIspOut(FuseRisk::ClockSourceChanged));
  const std::vector<FuseWriteRisk> risks{{FuseRisk::ResetDisabled, "RSTDISBL", "", ""},
                                         {FuseRisk::ClockSourceChanged, "CKSEL", "A", "B"}};
  EXPECT_EQ(FuseRiskText(risks[1]),
            "CKSEL changes from \"A\" to \"B\": ISP will reach the chip only while that clock "
            "is present.");
  const std::string question = IspFuseWriteQuestion(risks);
  EXPECT_EQ(question.find("This fuse write over ISP:\r\n\r\nRSTDISBL programmed: the reset pin "
                          "becomes an I/O pin and ISP can no longer reach the chip"),
            0u);
  EXPECT_NE(question.find("\r\nCKSEL changes from"), std::string::npos);
  EXPECT_NE(question.find("\r\n\r\nWrite the fuses anyway?"), std::string::npos);
}

}  // namespace
}  // namespace bq
