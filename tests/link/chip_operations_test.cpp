// Chip operations over a scripted line: the packets they send, what they store, the
// progress they show and the lines they log, including programmers that go out of step.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "link/protocol.h"
#include "link_test_support.h"

namespace bq::test {
namespace {

Bytes Ramp(std::size_t n, std::uint8_t start) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), start);
  return b;
}

std::vector<std::string> Filter(const std::vector<std::string>& events, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.rfind(prefix, 0) == 0) out.push_back(e);
  return out;
}

// ---- memory read and verify ----

TEST(ReadMemory, EepromStreamFillsTheImageAndRefillsItsView) {
  ScriptedBench bench;
  std::fill(bench.flash.data(), bench.flash.data() + 16, 0x11);
  std::fill(bench.eeprom.data(), bench.eeprom.data() + kEepromBufferBytes, 0x00);
  bench.programmer.SetProgrammingMode(PROG_MODE_HVPP);
  bench.programmer.SetTransferParams(MEMORY_EEPROM, 8, 64);
  bench.script->Then({Answer(0xE0), Answer(ANS_DATA, Ramp(256, 0)),
                      Answer(ANS_DATA, Ramp(256, 100)), Answer(ANS_READ_DONE)});
  ASSERT_TRUE(bench.Run([](CProgrammer& p) { return p.StartReadMemory(); }));
  EXPECT_EQ(bench.programmer.Status(), STATUS_OK);
  const Bytes sent0{0x48, 0x56, 0x30, 0x00, 0x05, 0x01, 0x02, 0x08, 0x00, 0x40};
  const Bytes empty{0x48, 0x56, 0x30, 0x00, 0x00};
  EXPECT_EQ(bench.script->Written(), (std::vector<Bytes>{sent0, empty, empty, empty}));
  EXPECT_TRUE(std::equal(bench.eeprom.data(), bench.eeprom.data() + 256, Ramp(256, 0).begin()));
  EXPECT_TRUE(
      std::equal(bench.eeprom.data() + 256, bench.eeprom.data() + 512, Ramp(256, 100).begin()));
  EXPECT_TRUE(std::all_of(bench.eeprom.data() + 512, bench.eeprom.data() + kEepromBufferBytes,
                          [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(bench.flash.data()[0], 0x11);  // the other image is untouched
  EXPECT_EQ(
      bench.events.Events(),
      (std::vector<std::string>{"smooth", "range 64", "pos 0", "show", "pos 0", "pos 32", "pos 64",
                                "hide", "refill 2", "log 1 EEPROM read into buffer"}));
}

TEST(ReadMemory, StartPacketForEepromOf128PagesOf4Bytes) {
  ScriptedBench bench;
  bench.programmer.SetProgrammingMode(PROG_MODE_HVPP);
  bench.programmer.SetTransferParams(MEMORY_EEPROM, 4, 128);
  bench.script->Then({Answer(0xE0), Answer(ANS_DATA, Bytes(256, 1)),
                      Answer(ANS_DATA, Bytes(256, 2)), Answer(ANS_READ_DONE)});
  bench.Run([](CProgrammer& p) { return p.StartReadMemory(); });
  EXPECT_EQ(bench.script->Written().at(0),
            (Bytes{0x48, 0x56, 0x30, 0x00, 0x05, 0x01, 0x02, 0x04, 0x00, 0x80}));
}

TEST(ReadMemory, StreamsOutOfStepAreReportedNotShownAsRead) {
  const struct {
    const char* name;
    std::vector<Reply> replies;
    std::uint8_t status;
  } cases[] = {
      {"ends early",
       {Answer(0xE0), Answer(ANS_DATA, Bytes(256, 1)), Answer(ANS_READ_DONE)},
       STATUS_OUT_OF_STEP},
      {"runs long",
       {Answer(0xE0), Answer(ANS_DATA, Bytes(256, 1)), Answer(ANS_DATA, Bytes(256, 1)),
        Answer(ANS_DATA, Bytes(8, 1)), Answer(ANS_READ_DONE)},
       STATUS_OUT_OF_STEP},
      {"never ends",
       {Answer(0xE0), Answer(ANS_DATA, Bytes(256, 1)), Answer(0xE5), Answer(0xE5), Answer(0xE5),
        Answer(0xE5), Answer(0xE5), Answer(0xE5), Answer(0xE5), Answer(0xE5), Answer(0xE5)},
       STATUS_OUT_OF_STEP},
      {"falls silent", {Answer(0xE0), Answer(ANS_DATA, Bytes(256, 1))}, STATUS_NO_ANSWER},
      {"device error mid-stream", {Answer(0xE0), Answer(ANS_ERROR, {5}), Answer(0xD8)}, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBench bench;
    bench.programmer.SetTransferParams(MEMORY_EEPROM, 8, 64);
    for (const Reply& r : c.replies) bench.script->Then(r);
    bench.Run([](CProgrammer& p) { return p.StartReadMemory(); });
    EXPECT_EQ(bench.programmer.Status(), c.status);
    const auto lines = bench.events.LogTexts();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], LinkStatusText(c.status));
    EXPECT_EQ(Filter(bench.events.Events(), "hide").size(), 1u);
    EXPECT_EQ(Filter(bench.events.Events(), "refill").size(), 1u);  // the image did change
  }
}

TEST(ReadMemory, AFailedReadLeavesTheImageAsItWas) {
  ScriptedBench bench;
  std::fill(bench.eeprom.data(), bench.eeprom.data() + kEepromBufferBytes, 0x00);
  bench.programmer.SetTransferParams(MEMORY_EEPROM, 128, 64);  // the whole 8 KiB image
  bench.script->Then(Answer(0xE0));
  for (int i = 0; i < 32; ++i) bench.script->Then(Answer(ANS_DATA, Bytes(256, 0x20)));
  bench.script->Then(Answer(ANS_DATA, Bytes(256, 0x99)));  // one chunk too many
  bench.Run([](CProgrammer& p) { return p.StartReadMemory(); });
  EXPECT_EQ(bench.programmer.Status(), STATUS_OUT_OF_STEP);
  EXPECT_TRUE(std::all_of(bench.eeprom.data(), bench.eeprom.data() + kEepromBufferBytes,
                          [](std::uint8_t b) { return b == 0x00; }));
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Unknown Error !!!"}));
}

TEST(ReadMemory, GeometryTheImageOrTheWireCannotHoldSendsNothing) {
  const struct {
    std::uint8_t kind, pageSize;
    std::uint32_t pages;
  } cases[] = {
      {MEMORY_EEPROM, 128, 65},    // 8320 bytes > 8192
      {MEMORY_FLASH, 1, 0x10000},  // page count beyond 16 bits
      {MEMORY_FLASH, 0, 4},        // no page size
      {MEMORY_EEPROM, 4, 0},       // no pages
      {MEMORY_NONE, 4, 4},         // no image
  };
  for (const auto& c : cases) {
    for (bool write : {false, true}) {
      ScriptedBench bench;
      bench.programmer.SetTransferParams(c.kind, c.pageSize, c.pages);
      bench.Run([&](CProgrammer& p) { return write ? p.StartWriteMemory() : p.StartReadMemory(); });
      EXPECT_TRUE(bench.script->Written().empty());
      EXPECT_EQ(bench.programmer.Status(), STATUS_OUT_OF_STEP);
      EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Unknown Error !!!"}));
    }
  }
}
TEST(ReadMemory, FirstExchangeFailingLeavesTheBarShown) {
  ScriptedBench bench;
  bench.programmer.SetTransferParams(MEMORY_EEPROM, 8, 64);
  bench.Run([](CProgrammer& p) { return p.StartReadMemory(); });  // silence
  EXPECT_EQ(bench.events.Events(),
            (std::vector<std::string>{"smooth", "range 64", "pos 0", "show",
                                      "log 3 Comunication Error Code 0x02!!!"}));
}

TEST(VerifyMemory, DifferenceStopsTheStreamAndStands) {
  ScriptedBench bench;
  const Bytes image = Ramp(512, 0);
  std::copy(image.begin(), image.end(), bench.flash.data());
  bench.programmer.SetTransferParams(MEMORY_FLASH, 32, 8);  // 512 bytes
  Bytes second(image.begin() + 256, image.end());
  second[10] ^= 0x01;
  // After the stop the programmer still sends one matching chunk before it is done: the
  // verdict must not turn back to OK.
  bench.script->Then({Answer(0xE0), Answer(ANS_DATA, Bytes(image.begin(), image.begin() + 256)),
                      Answer(ANS_DATA, second),
                      Answer(ANS_DATA, Bytes(image.begin(), image.begin() + 16)),
                      Answer(ANS_READ_DONE)});
  bench.Run([](CProgrammer& p) { return p.StartVerifyMemory(); });
  EXPECT_EQ(bench.script->WrittenCodes(), (Bytes{0x30, 0x30, 0x30, 0x31, 0x31}));
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Chip differ !!!"}));
  EXPECT_EQ(bench.events.Log()[0].kind, LogKind::LogWarning);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), bench.flash.data()));  // verify never stores
  EXPECT_TRUE(Filter(bench.events.Events(), "refill").empty());
}

TEST(VerifyMemory, OneStopReadWhenDoneFollowsAtOnce) {
  ScriptedBench bench;
  bench.programmer.SetTransferParams(MEMORY_FLASH, 32, 8);
  bench.script->Then({Answer(0xE0), Answer(ANS_DATA, Bytes(256, 0xFF)),
                      Answer(ANS_DATA, Bytes(256, 0x00)), Answer(ANS_READ_DONE)});
  bench.Run([](CProgrammer& p) { return p.StartVerifyMemory(); });
  EXPECT_EQ(bench.script->WrittenCodes(), (Bytes{0x30, 0x30, 0x30, 0x31}));
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Chip differ !!!"}));
}

TEST(VerifyMemory, ShortStreamIsNotVerifiedOk) {
  ScriptedBench bench;
  bench.programmer.SetTransferParams(MEMORY_FLASH, 32, 8);
  bench.script->Then({Answer(0xE0), Answer(ANS_DATA, Bytes(256, 0xFF)), Answer(ANS_READ_DONE)});
  bench.Run([](CProgrammer& p) { return p.StartVerifyMemory(); });
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Unknown Error !!!"}));
}

// ---- memory write ----

TEST(WriteMemory, ThreeFlashPagesOf64WordsGoInTwoPackets) {
  ScriptedBench bench;
  const Bytes image = Ramp(384, 3);
  std::copy(image.begin(), image.end(), bench.flash.data());
  bench.programmer.SetProgrammingMode(PROG_MODE_ISP);
  bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 3);
  bench.script->Then({Answer(ANS_WRITE_READY), Answer(ANS_WRITE_NEXT), Answer(ANS_WRITE_DONE)});
  bench.Run([](CProgrammer& p) { return p.StartWriteMemory(); });
  const auto written = bench.script->Written();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0], (Bytes{0x48, 0x56, 0x32, 0x00, 0x05, 0x04, 0x01, 0x40, 0x00, 0x03}));
  EXPECT_EQ(Bytes(written[1].begin(), written[1].begin() + 5),
            (Bytes{0x48, 0x56, 0x32, 0x01, 0x00}));
  EXPECT_EQ(Bytes(written[1].begin() + 5, written[1].end()),
            Bytes(image.begin(), image.begin() + 256));
  EXPECT_EQ(Bytes(written[2].begin(), written[2].begin() + 5),
            (Bytes{0x48, 0x56, 0x32, 0x00, 0x80}));
  EXPECT_EQ(Bytes(written[2].begin() + 5, written[2].end()),
            Bytes(image.begin() + 256, image.end()));
  EXPECT_EQ(bench.events.Events(),
            (std::vector<std::string>{"smooth", "range 3", "pos 0", "show", "pos 2", "pos 3",
                                      "hide", "log 1 384 bytes written to FLASH"}));
}

TEST(WriteMemory, PacketSizesForEveryPageSize) {
  const struct {
    std::uint8_t kind, pageSize;
    std::uint32_t pages;
    std::vector<std::size_t> payloads;
    std::vector<std::string> positions;
  } cases[] = {
      {MEMORY_EEPROM, 4, 128, {256, 256}, {"pos 0", "pos 64", "pos 128"}},
      {MEMORY_FLASH, 32, 5, {256, 64}, {"pos 0", "pos 4", "pos 5"}},
      {MEMORY_FLASH, 128, 2, {256, 256}, {"pos 0", "pos 1", "pos 2"}},
      {MEMORY_EEPROM, 3, 100, {255, 45}, {"pos 0", "pos 85", "pos 100"}},
      // Pages of 320 bytes do not fit one packet: each goes in a piece of 256 and one of 64.
      {MEMORY_FLASH, 160, 2, {256, 64, 256, 64}, {"pos 0", "pos 0", "pos 1", "pos 1", "pos 2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.pageSize) + "x" + std::to_string(c.pages));
    ScriptedBench bench;
    std::uint8_t* image = c.kind == MEMORY_FLASH ? bench.flash.data() : bench.eeprom.data();
    const std::size_t total = std::size_t{c.pages} * PageBytes(c.kind, c.pageSize);
    std::iota(image, image + total, std::uint8_t{0});
    bench.programmer.SetTransferParams(c.kind, c.pageSize, c.pages);
    bench.script->Then(Answer(ANS_WRITE_READY));
    for (std::size_t i = 0; i + 1 < c.payloads.size(); ++i)
      bench.script->Then(Answer(ANS_WRITE_NEXT));
    bench.script->Then(Answer(ANS_WRITE_DONE));
    bench.Run([](CProgrammer& p) { return p.StartWriteMemory(); });
    const auto written = bench.script->Written();
    ASSERT_EQ(written.size(), c.payloads.size() + 1);
    Bytes stream;
    for (std::size_t i = 0; i < c.payloads.size(); ++i) {
      EXPECT_EQ(written[i + 1].size(), c.payloads[i] + 5);
      stream.insert(stream.end(), written[i + 1].begin() + 5, written[i + 1].end());
    }
    EXPECT_EQ(stream, Bytes(image, image + total));
    EXPECT_EQ(Filter(bench.events.Events(), "pos"), c.positions);
    EXPECT_EQ(bench.events.LogTexts(),
              (std::vector<std::string>{std::to_string(total) + " bytes written to " +
                                        (c.kind == MEMORY_FLASH ? "FLASH" : "EEPROM")}));
  }
}

TEST(WriteMemory, SequencesOutOfStepAreErrorsNeverSuccess) {
  const struct {
    const char* name;
    std::vector<Reply> replies;
    std::uint8_t status;
    std::size_t packets;
  } cases[] = {
      {"next after the last page",
       {Answer(ANS_WRITE_READY), Answer(ANS_WRITE_NEXT), Answer(ANS_WRITE_NEXT)},
       STATUS_OUT_OF_STEP,
       3},
      {"done before the last page",
       {Answer(ANS_WRITE_READY), Answer(ANS_WRITE_DONE)},
       STATUS_OUT_OF_STEP,
       2},
      {"neither next nor done", {Answer(ANS_WRITE_READY), Answer(0xE5)}, STATUS_OUT_OF_STEP, 2},
      {"not ready", {Answer(0xE5)}, STATUS_OUT_OF_STEP, 1},
      {"device refuses a page",
       {Answer(ANS_WRITE_READY), Answer(ANS_ERROR, {5}), Answer(0xD8)},
       5,
       3},
      {"silence after a page", {Answer(ANS_WRITE_READY)}, STATUS_NO_ANSWER, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBench bench;
    bench.programmer.SetTransferParams(MEMORY_FLASH, 128, 2);  // two packets
    for (const Reply& r : c.replies) bench.script->Then(r);
    bench.Run([](CProgrammer& p) { return p.StartWriteMemory(); });
    EXPECT_EQ(bench.programmer.Status(), c.status);
    EXPECT_EQ(bench.script->Written().size(), c.packets);
    EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{LinkStatusText(c.status)}));
  }
}

TEST(BlankCheck, ToleratesFiftyNineSilentHeaderReads) {
  ScriptedBench bench;
  bench.programmer.SetProgrammingMode(PROG_MODE_HVPP);
  bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 256);
  Reply reply;
  for (int i = 0; i < 59; ++i) reply.push_back(Timeout());
  reply.push_back(Data(Packet(ANS_BLANK, {0})));
  bench.script->Then(reply);
  bench.Run([](CProgrammer& p) { return p.StartBlankCheck(); });
  EXPECT_EQ(bench.script->Written(),
            (std::vector<Bytes>{{0x48, 0x56, 0xB1, 0x00, 0x05, 0x01, 0x01, 0x40, 0x01, 0x00}}));
  EXPECT_EQ(bench.events.Events(),
            (std::vector<std::string>{"marquee", "marquee-on", "show", "marquee-off", "hide",
                                      "log 1 Chip is empty"}));
}

TEST(BlankCheck, SixtySilentReadsAreNoAnswer) {
  ScriptedBench bench;
  bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 256);
  Reply reply;
  for (int i = 0; i < 60; ++i) reply.push_back(Timeout());
  reply.push_back(Data(Packet(ANS_BLANK, {0})));
  bench.script->Then(reply);
  bench.Run([](CProgrammer& p) { return p.StartBlankCheck(); });
  EXPECT_EQ(bench.programmer.Status(), STATUS_NO_ANSWER);
  EXPECT_EQ(bench.events.Events(),
            (std::vector<std::string>{"marquee", "marquee-on", "show",
                                      "log 3 Comunication Error Code 0x02!!!"}));
}

TEST(BlankCheck, Verdicts) {
  const struct {
    Reply reply;
    const char* line;
  } cases[] = {
      {Answer(ANS_BLANK, {1}), "log 2 Chip not empty !!!"},
      {Answer(ANS_BLANK, {0}), "log 1 Chip is empty"},
      {Answer(ANS_BLANK), "log 3 Unknown Error !!!"},  // no verdict byte: not "empty"
      {Answer(0xE5), "log 3 Unknown Error !!!"},       // no verdict at all
  };
  for (const auto& c : cases) {
    ScriptedBench bench;
    bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 256);
    bench.script->Then(c.reply);
    bench.Run([](CProgrammer& p) { return p.StartBlankCheck(); });
    EXPECT_EQ(bench.events.Events().back(), c.line);
  }
}

// ---- fuses and lock bits ----

TEST(Fuses, WritePacketForLowAndHighInIsp) {
  ScriptedBench bench;
  bench.fuses.low = {0xE1, true};
  bench.fuses.high = {0xD9, true};
  bench.fuses.lock = {0x00, true};  // not the fuse editor's business
  bench.programmer.SetProgrammingMode(PROG_MODE_ISP);
  bench.script->Then(Answer(0xE0));
  bench.Run([](CProgrammer& p) { return p.StartWriteFuses(); });
  EXPECT_EQ(bench.script->Written(),
            (std::vector<Bytes>{{0x48, 0x56, 0x21, 0x00, 0x05, 0x04, 0x01, 0xE1, 0x02, 0xD9}}));
  EXPECT_EQ(bench.events.Log(), (LogEntries{{LogKind::LogSuccess, "Write fuses"},
                                            {LogKind::LogInfo, "Write LOW: 0xE1"},
                                            {LogKind::LogInfo, "Write HIGH: 0xD9"}}));
}

TEST(Fuses, WriteLockAndRefusal) {
  ScriptedBench bench;
  bench.lockBits.lock = {0xFC, true};
  bench.programmer.SetProgrammingMode(PROG_MODE_HVSP);
  bench.script->Then({Answer(ANS_ERROR, {3}), Answer(0xD8)});
  bench.Run([](CProgrammer& p) { return p.StartWriteLockBits(); });
  EXPECT_EQ(bench.script->Written().at(0), (Bytes{0x48, 0x56, 0x21, 0x00, 0x03, 0x03, 0x04, 0xFC}));
  EXPECT_EQ(bench.events.LogTexts(),
            (std::vector<std::string>{"Write lock bits", "Write LOCKBIT: 0xFC",
                                      "ERROR: Write Lock Bits"}));
}

TEST(Fuses, ReadWithoutExtendedByte) {
  ScriptedBench bench;
  bench.fuses.low = {0, true};
  bench.fuses.high = {0, true};
  bench.fuses.extended = {0x55, false};
  bench.programmer.SetProgrammingMode(PROG_MODE_HVPP);
  bench.script->Then(Answer(ANS_FUSES, {0x62, 0xD9}));
  bench.Run([](CProgrammer& p) { return p.StartReadFuses(); });
  EXPECT_EQ(bench.script->Written(),
            (std::vector<Bytes>{{0x48, 0x56, 0x20, 0x00, 0x03, 0x01, 0x01, 0x02}}));
  EXPECT_EQ(bench.fuses.low.value, 0x62);
  EXPECT_EQ(bench.fuses.high.value, 0xD9);
  EXPECT_EQ(bench.fuses.extended.value, 0x55);
  EXPECT_EQ(bench.events.Events(),
            (std::vector<std::string>{"log 1 Read fuses", "log 0 Read LOW: 0x62",
                                      "log 0 Read HIGH: 0xD9", "redraw 0"}));
}

TEST(Fuses, ReadAllThreeAndLock) {
  ScriptedBench bench;
  bench.fuses.low = {0, true};
  bench.fuses.high = {0, true};
  bench.fuses.extended = {0, true};
  bench.lockBits.lock = {0xFF, true};
  bench.script->Then({Answer(ANS_FUSES, {0x01, 0x02, 0xFD}), Answer(ANS_FUSES, {0xFC})});
  bench.Run([](CProgrammer& p) { return p.StartReadFuses(); });
  bench.Run([](CProgrammer& p) { return p.StartReadLockBits(); });
  EXPECT_EQ(bench.script->Written().at(1), (Bytes{0x48, 0x56, 0x20, 0x00, 0x02, 0x00, 0x04}));
  EXPECT_EQ(bench.fuses.extended.value, 0xFD);
  EXPECT_EQ(bench.lockBits.lock.value, 0xFC);
  EXPECT_EQ(
      bench.events.LogTexts(),
      (std::vector<std::string>{"Read fuses", "Read LOW: 0x01", "Read HIGH: 0x02",
                                "Read EXTENDEND: 0xFD", "Read lock bits", "Read LOCKBIT: 0xFC"}));
  EXPECT_EQ(Filter(bench.events.Events(), "redraw"),
            (std::vector<std::string>{"redraw 0", "redraw 1"}));
}

TEST(Fuses, HeadingOnlyWithALowByte) {
  ScriptedBench bench;
  bench.fuses.high = {0, true};
  bench.script->Then(Answer(ANS_FUSES, {0x99}));
  bench.Run([](CProgrammer& p) { return p.StartReadFuses(); });
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Read HIGH: 0x99"}));
}

TEST(Fuses, AbsentBytesSendNothing) {
  ScriptedBench bench;  // no byte present in either editor
  bench.Run([](CProgrammer& p) { return p.StartReadLockBits(); });
  bench.Run([](CProgrammer& p) { return p.StartVerifyFuses(); });
  bench.Run([](CProgrammer& p) { return p.StartWriteFuses(); });
  EXPECT_TRUE(bench.script->Written().empty());
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"Write fuses"}));
}

TEST(Fuses, VerifyVerdicts) {
  const struct {
    bool lock;
    Reply reply;
    LogEntry line;
  } cases[] = {
      {false,
       Answer(ANS_FUSES, {0x62, 0xD9, 0xFF}),
       {LogKind::LogSuccess, "Fuse bits verification OK"}},
      {false,
       Answer(ANS_FUSES, {0x62, 0xD8, 0xFF}),
       {LogKind::LogWarning, "Fuse bits verification FAILED"}},
      {false,
       Answer(ANS_FUSES, {0x62, 0xD9}),
       {LogKind::LogError, "Unknown Error !!!"}},                       // one byte short
      {false, Answer(0xE5), {LogKind::LogError, "Unknown Error !!!"}},  // no values
      {true, Answer(ANS_FUSES, {0xFC}), {LogKind::LogSuccess, "Lock bits verification OK"}},
      {true, Answer(ANS_FUSES, {0xFF}), {LogKind::LogWarning, "Lock bits verification FAILED"}},
  };
  for (const auto& c : cases) {
    ScriptedBench bench;
    bench.fuses.low = {0x62, true};
    bench.fuses.high = {0xD9, true};
    bench.fuses.extended = {0xFF, true};
    bench.lockBits.lock = {0xFC, true};
    const FuseByteSlots fusesBefore = bench.fuses, lockBefore = bench.lockBits;
    bench.script->Then(c.reply);
    bench.Run(
        [&](CProgrammer& p) { return c.lock ? p.StartVerifyLockBits() : p.StartVerifyFuses(); });
    EXPECT_EQ(bench.events.Log(), (LogEntries{c.line})) << c.line.text;
    EXPECT_EQ(bench.fuses, fusesBefore);  // a verify never changes the editor
    EXPECT_EQ(bench.lockBits, lockBefore);
  }
}

TEST(Fuses, ShortReadAnswerStoresNothing) {
  ScriptedBench bench;
  bench.fuses.low = {0x11, true};
  bench.fuses.high = {0x22, true};
  bench.script->Then(Answer(ANS_FUSES, {0x62}));
  bench.Run([](CProgrammer& p) { return p.StartReadFuses(); });
  EXPECT_EQ(bench.fuses.low.value, 0x11);
  EXPECT_EQ(bench.fuses.high.value, 0x22);
  EXPECT_EQ(bench.events.Events(),
            (std::vector<std::string>{"log 3 Unknown Error !!!", "redraw 0"}));
}

TEST(Answers, StrayAnswersDoNotTouchImagesEditorsOrLog) {
  ScriptedBench bench;
  bench.fuses.low = {0x11, true};
  bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 4);
  bench.script->Then(Answer(ANS_DATA, Bytes(16, 0x00)));
  bench.script->Then(Answer(ANS_FUSES, {0x00}));
  bench.script->Then(Answer(ANS_BLANK, {0x00}));
  std::uint32_t value = 0;
  bench.programmer.QueryFirmwareVersion(value);
  bench.programmer.QueryHardwareVersion(value);
  bench.programmer.ReadSignatureRequest(value);
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.flash.data()[0], 0xFF);
  EXPECT_EQ(bench.fuses.low.value, 0x11);
  EXPECT_TRUE(bench.events.Events().empty());
}

// ---- identify ----

TEST(Identify, ChipInTheSocketAnsweringInHvsp) {
  ScriptedBench bench;
  bench.script->Then({Answer(ANS_VALUE8, {0}), Answer(ANS_SIGNATURE, {0x1E, 0x93, 0x0B})});
  std::uint32_t signature = 0;
  bool socket = false;
  EXPECT_TRUE(bench.programmer.IdentifyRequest(signature, socket));
  EXPECT_EQ(signature, 0x1E930Bu);
  EXPECT_TRUE(socket);
  EXPECT_EQ(bench.script->Written(), (std::vector<Bytes>{{0x48, 0x56, 0xC2, 0x00, 0x00},
                                                         {0x48, 0x56, 0x10, 0x00, 0x01, 0x03}}));
}

TEST(Identify, IspTargetFoundFirst) {
  ScriptedBench bench;
  bench.script->Then({Answer(ANS_VALUE8, {2}), Answer(ANS_SIGNATURE, {0x1E, 0x95, 0x0F})});
  std::uint32_t signature = 0;
  bool socket = true;
  EXPECT_TRUE(bench.programmer.IdentifyRequest(signature, socket));
  EXPECT_EQ(signature, 0x1E950Fu);
  EXPECT_FALSE(socket);
  EXPECT_EQ(bench.script->Written().at(1), (Bytes{0x48, 0x56, 0x10, 0x00, 0x01, 0x04}));
}

TEST(Identify, ProbesInOrderAndRejectsImplausibleSignatures) {
  ScriptedBench bench;
  bench.script->Then({Answer(ANS_VALUE8, {1}),
                      Answer(ANS_SIGNATURE, {0x1E, 0x1E, 0x05}),    // ISP: second byte 0x1E
                      Answer(ANS_ERROR, {2}), Answer(0xD8),         // mode 3: device error, quietly
                      Answer(ANS_SIGNATURE, {0x00, 0x95, 0x0F}),    // mode 2: no 0x1E
                      Answer(ANS_SIGNATURE, {0x1E, 0x97, 0x02})});  // mode 1
  std::uint32_t signature = 0;
  bool socket = false;
  EXPECT_TRUE(bench.programmer.IdentifyRequest(signature, socket));
  EXPECT_EQ(signature, 0x1E9702u);
  EXPECT_TRUE(socket);
  const auto written = bench.script->Written();
  ASSERT_EQ(written.size(), 6u);
  EXPECT_EQ(written[1][5], 4);
  EXPECT_EQ(written[2][5], 3);
  EXPECT_EQ(written[3][2], 0xCF);
  EXPECT_EQ(written[4][5], 2);
  EXPECT_EQ(written[5][5], 1);
  bench.programmer.WaitIdle();
  EXPECT_TRUE(bench.events.Log().empty());  // device errors are quiet during identify
}

TEST(Identify, NothingFoundAndLinkFailures) {
  {
    ScriptedBench bench;  // every mode answers with a device error
    bench.script->Then({Answer(ANS_VALUE8, {0}), Answer(ANS_ERROR, {2}), Answer(0xD8),
                        Answer(ANS_ERROR, {2}), Answer(0xD8), Answer(ANS_ERROR, {2}),
                        Answer(0xD8)});
    std::uint32_t signature = 0;
    bool socket = false;
    EXPECT_FALSE(bench.programmer.IdentifyRequest(signature, socket));
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), STATUS_IDENTIFY_FAILED);
    EXPECT_TRUE(bench.events.Log().empty());
  }
  {
    ScriptedBench bench;  // silence stops the search and is reported even though quiet
    bench.script->Then({Answer(ANS_VALUE8, {0})});
    std::uint32_t signature = 0;
    bool socket = false;
    EXPECT_FALSE(bench.programmer.IdentifyRequest(signature, socket));
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), STATUS_IDENTIFY_FAILED);
    EXPECT_EQ(bench.script->Written().size(), 2u);
    EXPECT_EQ(bench.events.LogTexts(),
              (std::vector<std::string>{"Comunication Error Code 0x02!!!"}));
  }
  {
    ScriptedBench bench;  // a closed port fails quietly
    bench.port.ClosePort();
    std::uint32_t signature = 0;
    bool socket = false;
    EXPECT_FALSE(bench.programmer.IdentifyRequest(signature, socket));
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.programmer.Status(), STATUS_IDENTIFY_FAILED);
    EXPECT_TRUE(bench.events.Log().empty());
    // The quiet flag does not outlive the identify request.
    bench.programmer.QueryFirmwareVersion(signature);
    bench.programmer.WaitIdle();
    EXPECT_EQ(bench.events.LogTexts(),
              (std::vector<std::string>{"Comunication Error Code 0x01!!!"}));
  }
}

}  // namespace
}  // namespace bq::test
