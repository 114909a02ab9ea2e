// The UPDI wire layer against a small double of the adapter and chip: what goes on the wire,
// the echo check, the BREAK, the fall-back to lower rates and what the user is told when the
// link never comes up.

#include "drivers/serialupdi/updi_link.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "updi_double.h"

namespace bq {
namespace {

using test::UpdiDouble;
using test::UpdiDoubleConnection;
using Bytes = std::vector<std::uint8_t>;

struct Rig {
  std::shared_ptr<UpdiDouble> chip = std::make_shared<UpdiDouble>();
  UpdiDoubleConnection connection{chip};
  updi::Link link{connection};
  Rig() {
    link.SetRate(115200);
    link.SetReplyTimeoutMs(0);
  }
};

TEST(UpdiLink, EachInstructionStartsWithSynchAndItsEchoIsRead) {
  Rig rig;
  std::uint8_t value = 0;
  ASSERT_TRUE(rig.link.Ldcs(updi::kStatusA, value));
  EXPECT_EQ(value, 0x30);
  ASSERT_TRUE(rig.link.Stcs(updi::kCtrlA, 0x06));
  EXPECT_EQ(rig.chip->Stream(), (Bytes{0x55, 0x80, 0x55, 0xC2, 0x06}));
  EXPECT_TRUE(rig.chip->input.empty());  // echo and answer both taken
}

TEST(UpdiLink, BlockReadsUseThePointerAndRepeatWithTwoOrThreeAddressBytes) {
  Rig rig;
  for (std::uint32_t i = 0; i < 300; ++i)
    rig.chip->memory[0x8000 + i] = static_cast<std::uint8_t>(i * 7);
  rig.chip->memory[0x800010] = 0xA5;
  Bytes data(300);
  ASSERT_TRUE(rig.link.Read(0x8000, data.data(), data.size()));
  for (std::uint32_t i = 0; i < 300; ++i) ASSERT_EQ(data[i], static_cast<std::uint8_t>(i * 7)) << i;
  const Bytes stream = rig.chip->Stream();
  // ST ptr (2-byte address), REPEAT 255, LD *ptr++; then the remaining 44 bytes.
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 9),
            (Bytes{0x55, 0x69, 0x00, 0x80, 0x55, 0xA0, 0xFF, 0x55, 0x24}));
  rig.chip->writes.clear();
  std::uint8_t one = 0;
  ASSERT_TRUE(rig.link.Read(0x800010, &one, 1));
  EXPECT_EQ(one, 0xA5);
  EXPECT_EQ(rig.chip->Stream(), (Bytes{0x55, 0x6A, 0x10, 0x00, 0x80, 0x55, 0x24}));
}

TEST(UpdiLink, WritesWithoutResponseSignaturesGoInOneBlock) {
  Rig rig;
  Bytes page(64);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(rig.link.SetResponseSignatures(false, 0x06));
  rig.chip->writes.clear();
  ASSERT_TRUE(rig.link.Write(0x8040, page.data(), page.size()));
  ASSERT_EQ(rig.chip->writes.size(), 2u);  // the pointer, then the whole block
  ASSERT_TRUE(rig.link.SetResponseSignatures(true, 0x06));
  ASSERT_TRUE(rig.link.Write(0x1400, page.data(), 4));
  for (std::size_t i = 0; i < page.size(); ++i) EXPECT_EQ(rig.chip->memory[0x8040 + i], page[i]);
  EXPECT_EQ(rig.chip->memory[0x1403], 3);
}

TEST(UpdiLink, DoubleBreakIsTwoZerosAt300BaudThenTheWorkingRate) {
  Rig rig;
  rig.link.DoubleBreak();
  ASSERT_EQ(rig.chip->writes.size(), 1u);
  EXPECT_EQ(rig.chip->writes[0].rate, 300u);
  EXPECT_EQ(rig.chip->writes[0].bytes, (Bytes{0x00, 0x00}));
  EXPECT_EQ(rig.chip->rate, 115200u);
  EXPECT_TRUE(rig.chip->input.empty());  // the BREAK's echo is dropped
}

TEST(UpdiLink, AboveTheStartClockTheUpdiClockIsRaisedAtASlowerRateFirst) {
  Rig rig;
  std::string why;
  EXPECT_EQ(rig.link.Attach(460800, 0x06, &why), 460800u);
  EXPECT_EQ(rig.chip->cs[updi::kAsiCtrlA], 0x01);  // 16 MHz carries 460800
  EXPECT_EQ(rig.chip->cs[updi::kCtrlA], 0x06);     // guard time 2 bits
  const auto& w = rig.chip->writes;
  EXPECT_EQ(w[1].rate, 115200u);      // first contact after the BREAK
  EXPECT_EQ(w.back().rate, 460800u);  // then checked at the rate asked for
  EXPECT_EQ(rig.chip->rate, 460800u);
}

TEST(UpdiLink, FallsBackToALowerRateWhenTheEchoIsGarbledAtTheRateAsked) {
  Rig rig;
  rig.chip->echo = UpdiDouble::Echo::Garbled;
  rig.chip->garbleAbove = 115200;
  std::string why;
  EXPECT_EQ(rig.link.Attach(230400, 0x06, &why), 115200u);
}

struct AdapterFault {
  const char* name;
  UpdiDouble::Echo echo;
  bool silent;
  const char* says;
  const char* alsoSays;
};

TEST(UpdiLink, ALinkThatNeverComesUpNamesTheAdaptersLikelyFault) {
  const AdapterFault cases[] = {
      {"no echo", UpdiDouble::Echo::None, false, "No echo from the adapter", "4.7 kOhm"},
      {"garbled", UpdiDouble::Echo::Garbled, false, "garbled", "RX LED"},
      {"pin off", UpdiDouble::Echo::Normal, true, "No answer from the UPDI pin", "GPIO or RESET"},
  };
  for (const AdapterFault& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.chip->echo = c.echo;
    rig.chip->silent = c.silent;
    std::string why;
    EXPECT_EQ(rig.link.Attach(230400, 0x06, &why), 0u);
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
    EXPECT_NE(why.find(c.alsoSays), std::string::npos) << why;
    EXPECT_NE(why.find("57600"), std::string::npos) << why;  // every rate was tried
    if (c.echo == UpdiDouble::Echo::Garbled) {
      EXPECT_NE(why.find("3.3 V"), std::string::npos);
    }
  }
}

struct WireFault {
  const char* name;
  UpdiDouble::Echo echo;
  bool silent;
  bool nack;
  updi::Fault expected;
};

TEST(UpdiLink, EachWireFaultIsReportedAsItself) {
  const WireFault cases[] = {
      {"missing echo", UpdiDouble::Echo::None, false, false, updi::Fault::NoEcho},
      {"wrong echo", UpdiDouble::Echo::Garbled, false, false, updi::Fault::BadEcho},
      {"silence", UpdiDouble::Echo::Normal, true, false, updi::Fault::NoAnswer},
      {"NACK", UpdiDouble::Echo::Normal, false, true, updi::Fault::NoAck},
  };
  for (const WireFault& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.chip->echo = c.echo;
    rig.chip->silent = c.silent;
    rig.chip->nack = c.nack;
    EXPECT_FALSE(rig.link.Sts(0x1000, 0x01));
    EXPECT_EQ(rig.link.LastFault(), c.expected);
    EXPECT_FALSE(updi::FaultText(c.expected).empty());
  }
}

}  // namespace
}  // namespace bq
