// One exchange with the programmer: packet bytes, answer decoding and every failure,
// over a scripted line.

#include <gtest/gtest.h>

#include "link/protocol.h"
#include "link_test_support.h"

namespace bq::test {
namespace {

TEST(LinkStatusText, EveryStatusHasItsLine) {
  const struct {
    std::uint8_t status;
    const char* text;
  } cases[] = {
      {1, "ERROR: Unknown Command"},
      {2, "ERROR: Enter Program Mode"},
      {3, "ERROR: Write Lock Bits"},
      {4, "ERROR: Write Fuses"},
      {5, "ERROR: Write Memory"},
      {6, "ERROR: Chip Erase"},
      {7, "ERROR: ISP Speed not set"},
      {8, "Unknown Error !!!"},
      {0, "Unknown Error !!!"},
      {248, "Unknown Error !!!"},
      {249, "Stopped before the end: the operation was cancelled"},
      {250, "Comunication Error Code 0x01!!!"},
      {251, "Comunication Error Code 0x02!!!"},
      {252, "Comunication Error Code 0x03!!!"},
      {253, "Comunication Error Code 0x04!!!"},
      {254, "Unknown Error !!!"},
      {255, "Unknown Error !!!"},
  };
  for (const auto& c : cases) EXPECT_EQ(LinkStatusText(c.status), c.text) << int{c.status};
}

TEST(IspClockText, SevenStepsAndNothingElse) {
  const char* expected[] = {"",           "3.686 MHz",  "1.843 MHz",
                            "921.60 kHz", "460.80 kHz", "230.40 kHz",
                            "115.20 kHz", "57.60 kHz",  ""};
  for (int i = 0; i <= 8; ++i)
    EXPECT_STREQ(IspClockText(static_cast<std::uint8_t>(i)), expected[i]) << i;
}

TEST(Exchange, SignatureAnswerGivesTheValueAndTheModeIsSent) {
  ScriptedBench bench;
  bench.programmer.SetProgrammingMode(PROG_MODE_HVSP);
  bench.script->Then(Reply{Data({0x48, 0x56, 0xD1, 0x00, 0x03, 0x1E, 0x95, 0x0F})});
  std::uint32_t signature = 0;
  EXPECT_TRUE(bench.programmer.ReadSignatureRequest(signature));
  EXPECT_EQ(signature, 0x1E950Fu);
  EXPECT_EQ(bench.script->Written(), (std::vector<Bytes>{{0x48, 0x56, 0x10, 0x00, 0x01, 0x03}}));
  bench.programmer.WaitIdle();
  EXPECT_TRUE(bench.events.Events().empty());  // a waited request touches no view
}

TEST(Exchange, ValueAnswersOfBothCodes) {
  const struct {
    Bytes answer;
    std::uint32_t value;
  } cases[] = {
      {{0x48, 0x56, 0xDA, 0x00, 0x02, 0x01, 0x05}, 0x0105},
      {{0x48, 0x56, 0xDB, 0x00, 0x02, 0x02, 0x01}, 0x0201},
      {{0x48, 0x56, 0xD2, 0x00, 0x01, 0x07}, 0x07},
      {{0x48, 0x56, 0xD9, 0x00, 0x01, 0xA3}, 0xA3},
  };
  for (const auto& c : cases) {
    ScriptedBench bench;
    bench.script->Then(Reply{Data(c.answer)});
    std::uint32_t value = 0;
    EXPECT_TRUE(bench.programmer.QueryHardwareVersion(value));
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(bench.script->Written(), (std::vector<Bytes>{{0x48, 0x56, 0xC1, 0x00, 0x00}}));
  }
}

TEST(Exchange, CalibrationAndIspClockPackets) {
  ScriptedBench bench;
  bench.programmer.SetProgrammingMode(PROG_MODE_ISP);
  bench.script->Then({Answer(0xD9, {0xA5}), Answer(0xD2, {3}), Answer(0xD2, {0})});
  std::uint32_t value = 0;
  EXPECT_TRUE(bench.programmer.ReadCalibrationRequest(0x02, value));
  EXPECT_EQ(value, 0xA5u);
  std::uint8_t clock = 9;
  EXPECT_TRUE(bench.programmer.SetIspClockRequest(3, clock));
  EXPECT_EQ(clock, 3);
  EXPECT_TRUE(bench.programmer.DetectIspClockRequest(clock));
  EXPECT_EQ(clock, 0);
  EXPECT_EQ(bench.script->Written(), (std::vector<Bytes>{{0x48, 0x56, 0x11, 0x00, 0x02, 0x04, 0x02},
                                                         {0x48, 0x56, 0xC3, 0x00, 0x01, 0x03},
                                                         {0x48, 0x56, 0xC2, 0x00, 0x00}}));
}

// Failures of a firmware version query: status, the one error line, and a line that is in
// step again for the next request.
TEST(Exchange, FailuresGiveTheirStatusAndOneErrorLine) {
  const Bytes oversize = [] {
    Bytes b{0x48, 0x56, 0xDA, 0x01, 0x01};
    b.insert(b.end(), 257, 0x55);
    return b;
  }();
  const struct {
    const char* name;
    Reply reply;
    std::uint8_t status;
    const char* line;  // null: nothing logged
  } cases[] = {
      {"silence", {}, STATUS_NO_ANSWER, "Comunication Error Code 0x02!!!"},
      {"partial header",
       {Data({0x48, 0x56, 0xDA}), Timeout()},
       STATUS_NO_ANSWER,
       "Comunication Error Code 0x02!!!"},
      {"bad header",
       {Data({0x47, 0x56, 0xDA, 0x00, 0x00})},
       STATUS_BAD_HEADER,
       "Comunication Error Code 0x03!!!"},
      {"short payload",
       {Data({0x48, 0x56, 0xDA, 0x00, 0x02, 0x01}), Timeout()},
       STATUS_SHORT_ANSWER,
       "Comunication Error Code 0x04!!!"},
      {"length above 256",
       {Data(oversize)},
       STATUS_SHORT_ANSWER,
       "Comunication Error Code 0x04!!!"},
      {"value too short for its code",
       {Data(Packet(0xDA, {0x01}))},
       STATUS_OUT_OF_STEP,
       "Unknown Error !!!"},
      {"unknown answer ignored", {Data(Packet(0xE5, {1, 2, 3, 4, 5, 6, 7}))}, STATUS_OK, nullptr},
      {"device error",
       {Data(Packet(ANS_ERROR, {0x01})), Data(Packet(0xD8))},
       1,
       "ERROR: Unknown Command"},
      {"unknown device error",
       {Data(Packet(ANS_ERROR, {0x42})), Data(Packet(0xD8))},
       0x42,
       "Unknown Error !!!"},
      {"error without code",
       {Data(Packet(ANS_ERROR)), Data(Packet(0xD8))},
       STATUS_OUT_OF_STEP,
       "Unknown Error !!!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBench bench;
    bench.script->Then(c.reply);
    std::uint32_t value = 77;
    EXPECT_EQ(bench.programmer.QueryFirmwareVersion(value), c.status == STATUS_OK);
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), c.status);
    if (c.status == STATUS_OK) {
      EXPECT_EQ(value, 0u);  // nothing stored
    }
    const auto lines = bench.events.LogTexts();
    if (c.line) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], c.line);
      EXPECT_EQ(bench.events.Log()[0].kind, LogKind::LogError);
    } else {
      EXPECT_TRUE(lines.empty());
    }
    // The whole answer was consumed: the next request reads its own answer.
    EXPECT_EQ(bench.script->Unread(), 0u);
    bench.script->Then(Answer(0xDA, {1, 7}));
    EXPECT_TRUE(bench.programmer.QueryFirmwareVersion(value));
    EXPECT_EQ(value, 0x0107u);
  }
}

TEST(Exchange, DeviceErrorReleasesTheWaiterAndSendsOneRecover) {
  ScriptedBench bench;
  bench.programmer.SetProgrammingMode(PROG_MODE_HVPP);
  bench.script->Then({Answer(ANS_ERROR, {0x06}), Answer(0xD8)});
  EXPECT_FALSE(bench.programmer.EraseRequest());
  EXPECT_EQ(bench.programmer.Status(), 6);
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.script->Written(), (std::vector<Bytes>{{0x48, 0x56, 0xB0, 0x00, 0x01, 0x01},
                                                         {0x48, 0x56, 0xCF, 0x00, 0x00}}));
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"ERROR: Chip Erase"}));
  EXPECT_EQ(bench.programmer.Status(), 6);
}

TEST(Exchange, EraseSuccessIsLogged) {
  ScriptedBench bench;
  bench.script->Then(Answer(0xE0));  // any non-error answer
  EXPECT_TRUE(bench.programmer.EraseRequest());
  EXPECT_EQ(bench.events.Log(), (LogEntries{{LogKind::LogSuccess, "Chip erased"}}));
}

TEST(Exchange, RecoverAnsweredByErrorsIsBounded) {
  ScriptedBench bench;
  for (std::uint8_t code : {5, 4, 3, 2, 1, 1, 1}) bench.script->Then(Answer(ANS_ERROR, {code}));
  std::uint32_t value = 0;
  EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.script->WrittenCodes(), (Bytes{0xC0, 0xCF, 0xCF, 0xCF}));
  EXPECT_EQ(bench.programmer.Status(), 2);
  EXPECT_EQ(bench.events.LogTexts(),
            (std::vector<std::string>{"ERROR: Write Memory", "ERROR: Write Fuses",
                                      "ERROR: Write Lock Bits", "ERROR: Enter Program Mode"}));
}

TEST(Exchange, WriteFailuresAndClosedPort) {
  {
    ScriptedBench bench;
    bench.port.ClosePort();
    std::uint32_t value = 0;
    EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), STATUS_WRITE_FAILED);
    EXPECT_EQ(bench.events.LogTexts(),
              (std::vector<std::string>{"Comunication Error Code 0x01!!!"}));
  }
  {
    ScriptedBench bench;
    bench.script->FailWrites();
    std::uint32_t value = 0;
    EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), STATUS_WRITE_FAILED);
  }
  {
    ScriptedBench bench;  // a hung-up line: reads fail at once
    bench.script->HangUp();
    bench.script->Then(Answer(0xDA, {1, 1}));
    std::uint32_t signature = 1;
    EXPECT_FALSE(bench.programmer.ReadSignatureRequest(signature));
    EXPECT_EQ(signature, 0u);
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), STATUS_WRITE_FAILED);
  }
}

}  // namespace
}  // namespace bq::test
