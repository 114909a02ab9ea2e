// The programmer link end to end: the worker talks through a real pseudo-terminal, opened
// by the POSIX port driver with its real line settings and time-outs, to the simulated
// programmer with a simulated chip.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <thread>

#include "link/programmer.h"
#include "link/protocol.h"
#include "link/tracing_port_driver.h"
#include "link_test_support.h"
#include "platform/posix/posix_port_driver.h"
#include "sim/sim_chip.h"
#include "sim/sim_fault.h"
#include "tests/sim/pty_simulator.h"

namespace bq::test {
namespace {

using namespace std::chrono_literals;

// A chip with flash of 256 pages of 64 words, EEPROM of 256 pages of 4 bytes, high-voltage
// parallel mode 1, and all three fuse bytes.
PartRecord TestPart() {
  PartRecord part;
  part.signature = 0x1E950F;
  part.flashPageSizeW = 64;
  part.flashNoOfPages = 256;
  part.eepromPageSize = 4;
  part.eepromNoOfPages = 256;
  part.hvMode = 1;
  part.hasDefaultLow = part.hasDefaultHigh = part.hasDefaultExtended = true;
  part.defaultLow = 0x62;
  part.defaultHigh = 0xD9;
  part.defaultExtended = 0xFF;
  return part;
}

SimOptions Options(SimConnect connect = SimConnect::kSocket) {
  SimOptions options;
  options.connect = connect;
  options.ispMaxClock = 3;
  return options;
}

// The bytes the host wrote, one line a write ("48 56 C0 00 00").
struct WireLog {
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    if (line.rfind("-> ", 0) == 0) written.push_back(line.substr(3));
  }
  std::vector<std::string> Written() {
    std::lock_guard<std::mutex> lock(mutex);
    return written;
  }
  std::mutex mutex;
  std::vector<std::string> written;
};

struct PtyBench {
  std::shared_ptr<SimChip> chip;
  PtySimulator sim;
  WireLog wire;
  SerialPort port{{std::make_shared<TracingPortDriver>(
      std::make_shared<PosixPortDriver>(), [this](const std::string& line) { wire.Add(line); })}};
  MemoryBuffer flash{kFlashBufferBytes};
  MemoryBuffer eeprom{kEepromBufferBytes};
  FuseByteSlots fuses;
  FuseByteSlots lockBits;
  RecordingEvents events;
  CProgrammer programmer;  // stopped first, before the port and the simulator go

  explicit PtyBench(SimOptions options = Options())
      : chip(std::make_shared<SimChip>(SimChip::FromPart("TestChip", TestPart()))),
        sim(chip, std::move(options)) {
    started = sim.Start() && port.OpenPort(sim.SlavePath()) &&
              programmer.StartWorker({port, flash, eeprom, fuses, lockBits, events});
    programmer.SetProgrammingMode(PROG_MODE_HVPP);
  }
  void Fault(const std::string& faultText) {
    const auto fault = ParseSimFault(faultText);
    ASSERT_TRUE(fault.has_value()) << faultText;
    sim.line().With([&](SimProgrammer& p) { p.options().faults.push_back(*fault); });
  }
  void ClearFaults() {
    sim.line().With([](SimProgrammer& p) { p.options().faults.clear(); });
  }
  template <class F>
  auto Chip(F&& f) {
    return sim.line().With([&](SimProgrammer& p) { return f(p.chip()); });
  }
  template <class F>
  void Run(F&& f) {
    ASSERT_TRUE(f(programmer));
    ASSERT_TRUE(programmer.WaitIdleFor(20s));
  }
  std::string LastLine() {
    const auto lines = events.LogTexts();
    return lines.empty() ? std::string() : lines.back();
  }

  bool started = false;
};

TEST(PtyLink, VersionsAndIdentifyInTheSocket) {
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  std::uint32_t value = 0;
  EXPECT_TRUE(bench.programmer.QueryFirmwareVersion(value));
  EXPECT_EQ(value, 0x0107u);
  EXPECT_TRUE(bench.programmer.QueryHardwareVersion(value));
  EXPECT_EQ(value, 0x0201u);
  std::uint32_t signature = 0;
  bool socket = false;
  EXPECT_TRUE(bench.programmer.IdentifyRequest(signature, socket));
  EXPECT_EQ(signature, 0x1E950Fu);
  EXPECT_TRUE(socket);
  bench.programmer.WaitIdle();
  EXPECT_TRUE(bench.events.Log().empty());  // the refused probes stay quiet
}

// A board that resets when its port opens (DTR) swallows the first packet in its bootloader:
// that one packet is sent once more after the start-up allowance; a board that answers at
// once sees exactly the same bytes as ever, and nothing else is resent.
TEST(PtyLink, FirstPacketAfterOpeningIsSentOnceMoreWhenItMeetsSilenceOrJunk) {
  using Clock = std::chrono::steady_clock;
  const std::string version = "48 56 C0 00 00";
  const struct {
    const char* fault;  // on the first packet(s) of the fresh port
    bool answered;
    std::vector<std::string> written;  // every packet of the two requests
    double minSeconds, maxSeconds;     // of the first request
  } cases[] = {
      {nullptr, true, {version, "48 56 C1 00 00"}, 0.0, 0.5},
      {"0xC0:silence@1", true, {version, version, "48 56 C1 00 00"}, 2.2, 4.0},
      {"0xC0:badheader@1", true, {version, version, "48 56 C1 00 00"}, 1.45, 2.5},
      {"0xC0:silence*2", false, {version, version, "48 56 C1 00 00"}, 4.4, 6.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault ? c.fault : "no fault");
    PtyBench bench;
    ASSERT_TRUE(bench.started);
    if (c.fault) bench.Fault(c.fault);
    std::uint32_t value = 0;
    const auto start = Clock::now();
    EXPECT_EQ(bench.programmer.QueryFirmwareVersion(value), c.answered);
    ASSERT_TRUE(bench.programmer.WaitIdleFor(10s));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LT(seconds, c.maxSeconds);
    EXPECT_EQ(value, c.answered ? 0x0107u : 0u);
    EXPECT_EQ(bench.events.LogTexts(),
              c.answered ? std::vector<std::string>{}
                         : std::vector<std::string>{"Comunication Error Code 0x02!!!"});
    EXPECT_TRUE(bench.programmer.QueryHardwareVersion(value));
    EXPECT_EQ(bench.wire.Written(), c.written);
  }
  // Only the first exchange after opening: junk later on fails at once, without a resend.
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  bench.Fault("0xC0:badheader@2");
  std::uint32_t value = 0;
  EXPECT_TRUE(bench.programmer.QueryFirmwareVersion(value));
  EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.programmer.Status(), STATUS_BAD_HEADER);
  EXPECT_EQ(bench.wire.Written(), (std::vector<std::string>{version, version}));
}

// An answer that arrives after its request gave up (here: one the programmer sends
// unasked) waits in the line's input; the next request must not take it for its own.
TEST(PtyLink, ALateAnswerIsNotTakenForTheNextRequest) {
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  const std::uint8_t firmwareRequest[] = {0x48, 0x56, CMD_FIRMWARE_VERSION, 0x00, 0x00};
  bench.sim.line().With([&](SimProgrammer& p) {
    p.Receive(firmwareRequest, sizeof firmwareRequest, SimClock::now());
  });
  bench.sim.Wake();
  // Wait until the stray firmware answer has left the simulator for the port's input.
  for (int i = 0; i < 200 && bench.sim.line().With([](SimProgrammer& p) { return p.Pending(); }); ++i)
    std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(50ms);
  std::uint32_t value = 0;
  EXPECT_TRUE(bench.programmer.QueryHardwareVersion(value));
  EXPECT_EQ(value, 0x0201u);  // not the firmware's 0x0107
  EXPECT_TRUE(bench.programmer.QueryFirmwareVersion(value));
  EXPECT_EQ(value, 0x0107u);
}

TEST(PtyLink, IdentifyAndClockOverIsp) {
  PtyBench bench(Options(SimConnect::kIsp));
  ASSERT_TRUE(bench.started);
  std::uint32_t signature = 0;
  bool socket = true;
  EXPECT_TRUE(bench.programmer.IdentifyRequest(signature, socket));
  EXPECT_EQ(signature, 0x1E950Fu);
  EXPECT_FALSE(socket);
  std::uint8_t clock = 0;
  EXPECT_TRUE(bench.programmer.DetectIspClockRequest(clock));
  EXPECT_EQ(clock, 3);
  EXPECT_TRUE(bench.programmer.SetIspClockRequest(5, clock));
  EXPECT_EQ(clock, 5);
  bench.programmer.SetProgrammingMode(PROG_MODE_ISP);
  EXPECT_TRUE(bench.programmer.ReadSignatureRequest(signature));
  EXPECT_EQ(signature, 0x1E950Fu);
  std::uint32_t calibration = 0;
  EXPECT_TRUE(bench.programmer.ReadCalibrationRequest(2, calibration));
  EXPECT_EQ(calibration, SimChip::Calibration(2));
}

// Write an image into the chip, read it back into a cleared image, verify it, then
// verify again after one byte of the image changed.
TEST(PtyLink, MemoryWriteReadAndVerify) {
  const struct {
    std::uint8_t kind, pageSize;
    std::uint32_t pages;
    const char* written;
    const char* read;
  } cases[] = {
      {MEMORY_FLASH, 64, 256, "32768 bytes written to FLASH", "FLASH Code read into buffer"},
      {MEMORY_EEPROM, 4, 256, "1024 bytes written to EEPROM", "EEPROM read into buffer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.read);
    PtyBench bench;
    ASSERT_TRUE(bench.started);
    MemoryBuffer& buffer = c.kind == MEMORY_FLASH ? bench.flash : bench.eeprom;
    const std::size_t bytes = std::size_t{c.pages} * PageBytes(c.kind, c.pageSize);
    std::uint8_t* image = buffer.data();
    for (std::size_t i = 0; i < bytes; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    const Bytes pattern(image, image + bytes);
    ASSERT_TRUE(bench.programmer.SetTransferParams(c.kind, c.pageSize, c.pages));

    bench.Run([](CProgrammer& p) { return p.StartWriteMemory(); });
    EXPECT_EQ(bench.LastLine(), c.written);
    EXPECT_EQ(bench.Chip(
                  [&](SimChip& chip) { return c.kind == MEMORY_FLASH ? chip.flash : chip.eeprom; }),
              pattern);

    ClearBuffer(buffer);
    bench.events.Clear();
    bench.Run([](CProgrammer& p) { return p.StartReadMemory(); });
    EXPECT_EQ(bench.LastLine(), c.read);
    EXPECT_EQ(Bytes(image, image + bytes), pattern);
    const auto events = bench.events.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "refill " + std::to_string(c.kind)), 1);

    bench.Run([](CProgrammer& p) { return p.StartVerifyMemory(); });
    EXPECT_EQ(bench.LastLine(), "Verified OK");

    image[bytes - 300] ^= 0x40;
    bench.Run([](CProgrammer& p) { return p.StartVerifyMemory(); });
    EXPECT_EQ(bench.LastLine(), "Chip differ !!!");
    EXPECT_EQ(bench.programmer.Status(), STATUS_OK);
    const LogEntries log = bench.events.Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const LogEntry& e) { return e.kind == LogKind::LogError; }),
              0);
  }
}

TEST(PtyLink, EraseAndASlowBlankCheck) {
  SimOptions options = Options();
  options.blankCheckTime = 2600ms;  // longer than one header read may wait
  PtyBench bench(options);
  ASSERT_TRUE(bench.started);
  bench.Chip([](SimChip& c) { return c.flash[100] = 0x00; });
  ASSERT_TRUE(bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 256));
  bench.Run([](CProgrammer& p) { return p.StartBlankCheck(); });
  EXPECT_EQ(bench.LastLine(), "Chip not empty !!!");
  EXPECT_TRUE(bench.programmer.EraseRequest());
  EXPECT_EQ(bench.LastLine(), "Chip erased");
  bench.Run([](CProgrammer& p) { return p.StartBlankCheck(); });
  EXPECT_EQ(bench.LastLine(), "Chip is empty");
  EXPECT_EQ(bench.events.Events().back(), "log 1 Chip is empty");
}

TEST(PtyLink, FusesAndLockBits) {
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  bench.fuses.low = {0xE2, true};
  bench.fuses.high = {0xDE, true};
  bench.fuses.extended = {0xFD, true};
  bench.Run([](CProgrammer& p) { return p.StartWriteFuses(); });
  EXPECT_EQ(bench.Chip([](SimChip& c) {
    return Bytes{c.low, c.high, c.extended};
  }),
            (Bytes{0xE2, 0xDE, 0xFD}));
  bench.Run([](CProgrammer& p) { return p.StartVerifyFuses(); });
  EXPECT_EQ(bench.LastLine(), "Fuse bits verification OK");
  bench.fuses.high.value = 0xD9;
  bench.Run([](CProgrammer& p) { return p.StartVerifyFuses(); });
  EXPECT_EQ(bench.LastLine(), "Fuse bits verification FAILED");
  bench.fuses.low.value = bench.fuses.extended.value = 0;
  bench.Run([](CProgrammer& p) { return p.StartReadFuses(); });
  EXPECT_EQ(bench.fuses.low.value, 0xE2);
  EXPECT_EQ(bench.fuses.high.value, 0xDE);
  EXPECT_EQ(bench.fuses.extended.value, 0xFD);
  EXPECT_EQ(bench.events.Events().back(), "redraw 0");

  bench.lockBits.lock = {0xFC, true};
  bench.Run([](CProgrammer& p) { return p.StartWriteLockBits(); });
  bench.lockBits.lock.value = 0xFF;
  bench.Run([](CProgrammer& p) { return p.StartReadLockBits(); });
  EXPECT_EQ(bench.lockBits.lock.value, 0xFC);
  bench.Run([](CProgrammer& p) { return p.StartVerifyLockBits(); });
  EXPECT_EQ(bench.LastLine(), "Lock bits verification OK");

  // A locked chip refuses a memory write: a device error, and no success line.
  ASSERT_TRUE(bench.programmer.SetTransferParams(MEMORY_EEPROM, 4, 256));
  bench.Run([](CProgrammer& p) { return p.StartWriteMemory(); });
  EXPECT_EQ(bench.programmer.Status(), STATUS_DEVICE_WRITE_MEMORY);
  EXPECT_EQ(bench.LastLine(), "ERROR: Write Memory");
  EXPECT_EQ(bench.events.Events().back(), "log 3 ERROR: Write Memory");  // the bar stays shown
}

// Each fault is reported once, and the worker takes the next request, which works.
TEST(PtyLink, FaultsAreReportedAndTheNextRequestWorks) {
  const struct {
    const char* fault;
    std::uint8_t status;
    const char* line;
  } cases[] = {
      {"0xC0:error=7@1", STATUS_DEVICE_ISP_SPEED, "ERROR: ISP Speed not set"},
      {"0xC0:silence@1", STATUS_NO_ANSWER, "Comunication Error Code 0x02!!!"},
      {"0xC0:short@1", STATUS_SHORT_ANSWER, "Comunication Error Code 0x04!!!"},
      {"0xC0:oversize@1", STATUS_SHORT_ANSWER, "Comunication Error Code 0x04!!!"},
  };
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    bench.ClearFaults();
    bench.sim.line().With([](SimProgrammer& p) { p.options().faults.clear(); });
    bench.Fault(std::string(c.fault));
    // Occurrences count from the start of the line: aim at the next one.
    const std::uint32_t next =
        bench.sim.line().With([](SimProgrammer& p) { return p.PacketsReceived(0xC0); }) + 1;
    bench.sim.line().With([&](SimProgrammer& p) {
      p.options().faults.back().first = p.options().faults.back().last = next;
    });
    bench.events.Clear();
    std::uint32_t value = 0;
    EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));
    ASSERT_TRUE(bench.programmer.WaitIdleFor(10s));
    EXPECT_EQ(bench.programmer.Status(), c.status);
    EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{c.line}));
    EXPECT_TRUE(bench.programmer.QueryFirmwareVersion(value));
    EXPECT_EQ(value, 0x0107u);
  }
}

TEST(PtyLink, DeviceErrorOnEraseThenRecovery) {
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  bench.Fault("0xB0:error=6@1");
  EXPECT_FALSE(bench.programmer.EraseRequest());
  EXPECT_EQ(bench.programmer.Status(), STATUS_DEVICE_CHIP_ERASE);
  bench.programmer.WaitIdle();
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{"ERROR: Chip Erase"}));
  EXPECT_EQ(bench.sim.line().With([](SimProgrammer& p) { return p.PacketsReceived(CMD_RECOVER); }),
            1u);
  EXPECT_TRUE(bench.programmer.EraseRequest());
  EXPECT_EQ(bench.LastLine(), "Chip erased");
}

TEST(PtyLink, StreamsOutOfStepAreErrors) {
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  ASSERT_TRUE(bench.programmer.SetTransferParams(MEMORY_EEPROM, 4, 256));
  bench.Fault("0x32:lastnext@1");
  bench.Run([](CProgrammer& p) { return p.StartWriteMemory(); });
  EXPECT_EQ(bench.programmer.Status(), STATUS_OUT_OF_STEP);
  EXPECT_EQ(bench.LastLine(), "Unknown Error !!!");
  bench.Run([](CProgrammer& p) { return p.StartWriteMemory(); });  // the second transfer is fine
  EXPECT_EQ(bench.LastLine(), "1024 bytes written to EEPROM");

  bench.Fault("0x30:longdata@1");
  bench.Run([](CProgrammer& p) { return p.StartReadMemory(); });
  EXPECT_EQ(bench.programmer.Status(), STATUS_OUT_OF_STEP);
  EXPECT_EQ(bench.LastLine(), "Unknown Error !!!");
  bench.Run([](CProgrammer& p) { return p.StartReadMemory(); });
  EXPECT_EQ(bench.LastLine(), "EEPROM read into buffer");
}

TEST(PtyLink, HangUpFailsFastAndTheWorkerStaysResponsive) {
  PtyBench bench;
  ASSERT_TRUE(bench.started);
  bench.Fault("0xC1:hangup");
  std::uint32_t value = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(bench.programmer.QueryHardwareVersion(value));
  ASSERT_TRUE(bench.programmer.WaitIdleFor(10s));
  const std::uint8_t status = bench.programmer.Status();
  EXPECT_TRUE(IsLinkFailure(status)) << int{status};
  EXPECT_EQ(bench.events.LogTexts(), (std::vector<std::string>{LinkStatusText(status)}));
  // Further requests are taken and fail as link failures too; none of them hangs.
  ASSERT_TRUE(bench.programmer.SetTransferParams(MEMORY_FLASH, 64, 256));
  bench.Run([](CProgrammer& p) { return p.StartBlankCheck(); });
  EXPECT_TRUE(IsLinkFailure(bench.programmer.Status()));
  EXPECT_FALSE(bench.programmer.QueryFirmwareVersion(value));
  ASSERT_TRUE(bench.programmer.WaitIdleFor(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  bench.port.ClosePort();
}

}  // namespace
}  // namespace bq::test
