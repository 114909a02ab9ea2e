// The session's operations against the in-process simulated programmer: values and
// statuses for success and for each kind of failure.

#include "session/chip_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "drivers/stk500v1/stk500v1_driver.h"
#include "sim/sim_fault.h"
#include "sim/sim_port_driver.h"
#include "tests/ui/test_parts.h"

namespace bq {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::FillTestParts(parts);
    driver = std::make_shared<SimPortDriver>(&parts);
  }
  static Bytes Random(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    return b;
  }

  PartDatabase parts;
  std::shared_ptr<SimPortDriver> driver;
};

TEST_F(SessionTest, AWholeChipThroughTheSession) {
  ChipSession s({driver});
  s.SetPartDatabase(&parts);
  ASSERT_TRUE(s.Open("sim:TINYHV:socket"));
  const PartRecord& part = *parts.Find("TINYHV");
  s.SetMode(part.hvMode);

  ProgrammerVersions versions;
  ASSERT_TRUE(s.Versions(versions).ok());
  EXPECT_EQ(versions.hardware, 0x0201u);
  EXPECT_EQ(versions.firmware, 0x0107u);

  IdentifiedChip chip;
  ASSERT_TRUE(s.Identify(chip).ok());
  EXPECT_EQ(chip.signature, 0x1E930Bu);
  EXPECT_TRUE(chip.socket);

  std::uint32_t signature = 0;
  EXPECT_TRUE(s.CheckSignature(part.signature, signature).ok());
  EXPECT_EQ(s.CheckSignature(0x1E950F, signature).status, SessionStatus::Mismatch);

  // Erase, then a program of three pages: written, verified, read back.
  const MemoryGeometry flash = FlashGeometry(part);
  ASSERT_TRUE(s.Erase().ok());
  EXPECT_TRUE(s.BlankCheck(flash).ok());
  const Bytes program = Random(flash.PageBytes() * 3 - 10, 1);
  ASSERT_TRUE(s.WriteMemory(flash, 3, program).ok());
  EXPECT_EQ(s.BlankCheck(flash).status, SessionStatus::NotEmpty);
  std::optional<std::uint32_t> difference;
  EXPECT_TRUE(s.VerifyMemory(flash, 3, program, difference).ok());
  EXPECT_FALSE(difference);
  Bytes back;
  ASSERT_TRUE(s.ReadMemory(flash, 3, back).ok());
  ASSERT_EQ(back.size(), flash.PageBytes() * 3u);
  EXPECT_TRUE(std::equal(program.begin(), program.end(), back.begin()));
  EXPECT_EQ(back.back(), 0xFF);

  // A verify that differs names the first byte that does.
  Bytes changed = program;
  changed[77] ^= 0x01;
  changed[100] ^= 0x01;
  EXPECT_EQ(s.VerifyMemory(flash, 3, changed, difference).status, SessionStatus::Mismatch);
  EXPECT_EQ(difference, std::optional<std::uint32_t>(77));

  // Fuses and lock byte: written, verified, read back.
  FuseByteSlots fuses;
  fuses.low = {0x7F, true};
  fuses.high = {0xDD, true};
  ASSERT_TRUE(s.WriteFuses(fuses).ok());
  int differing = -1;
  EXPECT_TRUE(s.VerifyFuses(fuses, differing).ok());
  fuses.high.value = 0xDF;
  EXPECT_EQ(s.VerifyFuses(fuses, differing).status, SessionStatus::Mismatch);
  EXPECT_EQ(differing, 1);
  FuseByteSlots read;
  read.low.present = read.high.present = true;
  ASSERT_TRUE(s.ReadFuses(read).ok());
  EXPECT_EQ(read.low.value, 0x7F);
  EXPECT_EQ(read.high.value, 0xDD);
  ByteSlot lock{0xFC, true};
  ASSERT_TRUE(s.WriteLock(lock).ok());
  ByteSlot lockRead{0, true};
  ASSERT_TRUE(s.ReadLock(lockRead).ok());
  EXPECT_EQ(lockRead.value, 0xFC);

  std::uint8_t value = 0;
  ASSERT_TRUE(s.ReadCalibration(1, value).ok());
  EXPECT_EQ(value, 0xA1);
}

// A fuse or lock write is read back: what the chip did not take is a failure that says what
// it holds, never a success. Only the bits the part defines count.
TEST_F(SessionTest, WritesTheChipDidNotTakeFailWithWhatItHolds) {
  ChipSession s({driver});
  ASSERT_TRUE(s.Open("sim:TINYHV:socket"));
  const PartRecord& part = *parts.Find("TINYHV");
  s.SetMode(part.hvMode);
  std::vector<std::string> errors;
  s.SetLogObserver([&](LogKind kind, const std::string& text) {
    if (kind == LogKind::LogError) errors.push_back(text);
  });
  FuseByteSlots fuses;
  fuses.high = {0xDD, true};
  struct Step {
    const char* what;
    std::function<SessionResult()> run;
    SessionStatus status;
    const char* says;
  };
  const Step steps[] = {
      {"lock 0x3C",
       [&] {
         return s.WriteLock({0x3C, true}, &part.lockBits);
       },
       SessionStatus::Ok, ""},
      // Bits 7..6 are no field of the part: that they stay 0 is no failure...
      {"lock 0xFC",
       [&] {
         return s.WriteLock({0xFC, true}, &part.lockBits);
       },
       SessionStatus::Ok, ""},
      // ...unless nothing says which bits count.
      {"lock 0xFC, every bit",
       [&] {
         return s.WriteLock({0xFC, true});
       },
       SessionStatus::Mismatch, "the chip holds LOCKBIT 0x3C (0xFC written)"},
      {"lock 0xFF",
       [&] {
         return s.WriteLock({0xFF, true}, &part.lockBits);
       },
       SessionStatus::Mismatch, "only with a chip erase"},
      {"fuses under a lock", [&] { return s.WriteFuses(fuses, &part.fuseBits); },
       SessionStatus::Mismatch, "the chip holds HIGH 0xDF (0xDD written)"},
      {"erase", [&] { return s.Erase(); }, SessionStatus::Ok, ""},
      {"fuses", [&] { return s.WriteFuses(fuses, &part.fuseBits); }, SessionStatus::Ok, ""},
      {"lock 0xFF after the erase",
       [&] {
         return s.WriteLock({0xFF, true}, &part.lockBits);
       },
       SessionStatus::Ok, ""},
  };
  for (const Step& step : steps) {
    errors.clear();
    const SessionResult r = step.run();
    EXPECT_EQ(r.status, step.status) << step.what << ": " << r.message;
    EXPECT_NE(r.message.find(step.says), std::string::npos) << step.what << ": " << r.message;
    if (step.status != SessionStatus::Ok) {
      EXPECT_EQ(errors, std::vector<std::string>{r.message}) << step.what;
    }
  }
}

TEST_F(SessionTest, FailuresSayWhatFailed) {
  struct Case {
    const char* fault;
    SessionStatus status;
    std::uint8_t linkStatus;
  };
  const Case cases[] = {
      {"0xB0:silence", SessionStatus::LinkError, STATUS_NO_ANSWER},
      {"0xB0:badheader", SessionStatus::LinkError, STATUS_BAD_HEADER},
      {"0xB0:short", SessionStatus::LinkError, STATUS_SHORT_ANSWER},
      {"0xB0:error=6", SessionStatus::DeviceError, 6},
  };
  const PartRecord& part = *parts.Find("TINYHV");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    auto faulty = std::make_shared<SimPortDriver>(&parts);
    ChipSession s({faulty});
    ASSERT_TRUE(s.Open("sim:TINYHV:socket"));
    s.SetMode(part.hvMode);
    const auto fault = ParseSimFault(c.fault);
    ASSERT_TRUE(fault);
    faulty->LineFor("sim:TINYHV:socket")->With([&](SimProgrammer& p) {
      p.options().faults.push_back(*fault);
    });
    const SessionResult result = s.Erase();
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.linkStatus, c.linkStatus);
    EXPECT_EQ(result.message, LinkStatusText(c.linkStatus));
    ProgrammerVersions versions;
    EXPECT_TRUE(s.Versions(versions).ok());  // the next request is served
  }

  // A signature that cannot be read is a link error, never a mismatch.
  auto silent = std::make_shared<SimPortDriver>(&parts);
  ChipSession s({silent});
  ASSERT_TRUE(s.Open("sim:TINYHV:socket"));
  silent->LineFor("sim:TINYHV:socket")->With([](SimProgrammer& p) {
    p.options().faults.push_back(*ParseSimFault("0x10:silence"));
  });
  std::uint32_t signature = 0;
  EXPECT_EQ(s.CheckSignature(part.signature, signature).status, SessionStatus::LinkError);

  // Nothing is sent for a memory the transfer cannot carry, or without an open port.
  MemoryGeometry wide{MEMORY_FLASH, 300, 4};
  Bytes image;
  EXPECT_EQ(s.ReadMemory(wide, 0, image).status, SessionStatus::Refused);
  ChipSession closed({silent});
  EXPECT_EQ(closed.Erase().status, SessionStatus::PortNotOpen);
}

// A read cancelled from another thread ends after the exchange in progress with the
// stop-read command; the programmer serves the next request.
TEST_F(SessionTest, CancelEndsAReadAndTheProgrammerStaysReady) {
  SimOptions paced;
  paced.pace = true;
  auto slow = std::make_shared<SimPortDriver>(&parts, paced);
  ChipSession s({slow});
  std::atomic<std::uint32_t> pagesSeen{0};
  s.SetProgressCallback([&](const SessionProgress& p) { pagesSeen = p.done; });
  ASSERT_TRUE(s.Open("sim:MEGAPP:socket"));
  s.SetMode(1);
  const MemoryGeometry flash = FlashGeometry(*parts.Find("MEGAPP"));  // 32 KiB: about 3 s
  std::thread stopper([&] {
    while (pagesSeen.load() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    s.Cancel();
  });
  Bytes image{1, 2, 3};
  const SessionResult result = s.ReadMemory(flash, 0, image);
  stopper.join();
  EXPECT_EQ(result.status, SessionStatus::Cancelled);
  EXPECT_TRUE(image.empty());
  EXPECT_EQ(slow->LineFor("sim:MEGAPP:socket")->With([](SimProgrammer& p) {
    return p.PacketsReceived(CMD_STOP_READ);
  }),
            1u);
  // The session stays cancelled; the programmer itself answers the next session at once.
  ProgrammerVersions versions;
  EXPECT_EQ(s.Versions(versions).status, SessionStatus::Cancelled);
  s.Close();
  ChipSession next({slow});
  ASSERT_TRUE(next.Open("sim:MEGAPP:socket"));
  EXPECT_TRUE(next.Versions(versions).ok());
}

// Programmers of version 1 differ in what the EEPROM address of LOAD_ADDRESS counts: with
// the driver set to the peer's reading, an EEPROM write lands at its own addresses and reads
// back; set to the other, the data lands elsewhere and the verify says so.
TEST_F(SessionTest, Stk500Version1EepromAddressesInBytesOrWords) {
  const PartRecord& part = *parts.Find("TINYHV");
  const MemoryGeometry eeprom = EepromGeometry(part);
  const Bytes image = Random(eeprom.Bytes(), 3);
  for (const bool peerWords : {false, true}) {
    for (const bool driverWords : {false, true}) {
      SCOPED_TRACE(std::string("peer counts ") + (peerWords ? "words" : "bytes") +
                   ", driver sends " + (driverWords ? "words" : "bytes"));
      SimOptions options;
      options.eepromWordAddress = peerWords;
      auto sim = std::make_shared<SimPortDriver>(&parts, options);
      ChipSession s({sim}, ProgrammerKind::Stk500v1);
      dynamic_cast<Stk500v1Driver&>(s.Driver()).SetEepromWordAddresses(driverWords);
      ASSERT_TRUE(s.Open("sim:TINYHV:isp"));
      s.SetPart("TINYHV", &part);
      s.SetMode(PROG_MODE_ISP);
      const SessionResult written = s.WriteMemory(eeprom, eeprom.pageCount, image);
      std::optional<std::uint32_t> difference;
      const SessionResult verified = s.VerifyMemory(eeprom, eeprom.pageCount, image, difference);
      const bool chipHoldsImage = sim->LineFor("sim:TINYHV:isp")->With([&](SimProgrammer& p) {
        return std::equal(image.begin(), image.end(), p.chip().eeprom.begin());
      });
      if (peerWords == driverWords) {
        EXPECT_TRUE(written.ok()) << written.message;
        EXPECT_TRUE(verified.ok()) << verified.message;
        EXPECT_TRUE(chipHoldsImage);
        Bytes back;
        ASSERT_TRUE(s.ReadMemory(eeprom, eeprom.pageCount, back).ok());
        EXPECT_EQ(back, image);
      } else {
        EXPECT_FALSE(chipHoldsImage);
        EXPECT_FALSE(written.ok() && verified.ok()) << "a misplaced write must not pass";
      }
    }
  }
}

// One sorting of the status codes for the worker, the drivers, the engine and the front-ends.
TEST(StatusClassification, EveryCodeHasOneMeaning) {
  struct Case {
    std::uint8_t status;
    SessionStatus session;
    bool lost;         // a production run stops using the programmer
    bool endsRequest;  // the identify probes stop
  };
  const Case cases[] = {
      {STATUS_OK, SessionStatus::Ok, false, false},
      {STATUS_DEVICE_ENTER_PROG_MODE, SessionStatus::DeviceError, false, false},
      {STATUS_DEVICE_ISP_SPEED, SessionStatus::DeviceError, false, false},
      {240, SessionStatus::DeviceError, false, false},  // an unknown device error code
      {241, SessionStatus::LinkError, true, true},
      {STATUS_CANCELLED, SessionStatus::Cancelled, false, true},
      {STATUS_WRITE_FAILED, SessionStatus::LinkError, true, true},
      {STATUS_NO_ANSWER, SessionStatus::LinkError, true, true},
      {STATUS_OUT_OF_STEP, SessionStatus::LinkError, true, true},
      {STATUS_IDENTIFY_FAILED, SessionStatus::DeviceError, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.status});
    EXPECT_EQ(StatusClass(c.status), c.session);
    EXPECT_EQ(IsLinkFailure(c.status), c.lost);
    EXPECT_EQ(EndsRequest(c.status), c.endsRequest);
    EXPECT_EQ(ProgrammerLost({StatusClass(c.status), c.status, ""}), c.lost);
  }
  // An identify that found nothing because the link failed still loses the programmer; a
  // refusal before anything was sent loses it only when the port is not open.
  EXPECT_TRUE(ProgrammerLost({SessionStatus::DeviceError, STATUS_NO_ANSWER, ""}));
  EXPECT_TRUE(ProgrammerLost({SessionStatus::PortNotOpen, 0, kPortNotOpenText}));
  EXPECT_FALSE(ProgrammerLost({SessionStatus::Busy, 0, kProgrammerBusyText}));
  EXPECT_FALSE(ProgrammerLost({SessionStatus::Refused, 0, "no"}));
}

// A request made while the worker still runs another is refused as busy, never as a port
// that is not open; the running request ends as it would have.
TEST_F(SessionTest, ABusyProgrammerIsNotReportedAsPortNotOpen) {
  SimOptions slowBlankCheck;
  slowBlankCheck.blankCheckTime = std::chrono::milliseconds(800);
  auto slow = std::make_shared<SimPortDriver>(&parts, slowBlankCheck);
  ChipSession s({slow});
  ASSERT_TRUE(s.Open("sim:TINYHV:socket"));
  const PartRecord& part = *parts.Find("TINYHV");
  s.SetMode(part.hvMode);
  SessionResult blank;
  std::thread running([&] { blank = s.BlankCheck(FlashGeometry(part)); });
  auto line = slow->LineFor("sim:TINYHV:socket");
  while (line->With([](SimProgrammer& p) { return p.PacketsReceived(CMD_BLANK_CHECK); }) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ProgrammerVersions versions;
  const SessionResult refused = s.Versions(versions);
  running.join();
  EXPECT_EQ(refused.status, SessionStatus::Busy);
  EXPECT_EQ(refused.message, kProgrammerBusyText);
  EXPECT_TRUE(s.IsOpen());
  EXPECT_TRUE(blank.ok()) << blank.message;
  EXPECT_TRUE(s.Versions(versions).ok());
}

}  // namespace
}  // namespace bq
