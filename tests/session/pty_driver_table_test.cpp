// Every programmer driver through the engine, over a real pseudo-terminal, against its
// simulated programmer answering at the pace of the driver's line: one table of operations and one
// table of faults for all of them. Each operation ends as it should on an ATtiny25 on the ISP
// cable; each fault ends as the result the engine must report, with a message, and the session
// works again once the fault is gone.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "parts/part_database.h"
#include "platform/posix/posix_port_driver.h"
#include "platform/posix/pty_server.h"
#include "session/chip_session.h"
#include "sim/sim_chip.h"
#include "sim/sim_connection.h"
#include "sim/sim_fault.h"
#include "sim/sim_isp_target.h"
#include "sim/sim_serial_peer.h"
#include "sim/stk500v1/sim_stk500v1.h"
#include "sim/stk500v1/stk500v1_codes.h"
#include "sim/stk500v2/sim_stk500v2.h"
#include "sim/stk500v2/stk500v2_codes.h"

namespace bq {
namespace {

enum class Fault { kSilence, kGarbage, kBadChecksum, kDeviceFailure, kChipAbsent };

// One driver's simulated programmer behind a pseudo-terminal. A fault hits every signature
// read until Clear().
class Rig {
 public:
  virtual ~Rig() = default;
  virtual bool Has(Fault fault) const = 0;
  virtual void Inject(Fault fault) = 0;
  virtual void Clear() = 0;
  bool Start() { return server_->Start(); }
  const std::string& SlavePath() const { return server_->SlavePath(); }

 protected:
  std::unique_ptr<PtyServer> server_;
};

class OursRig : public Rig {
 public:
  explicit OursRig(std::shared_ptr<SimChip> chip) {
    SimOptions options;
    options.connect = SimConnect::kIsp;
    options.pace = true;
    line_ = std::make_shared<SimLine>(std::move(chip), options);
    server_ = std::make_unique<PtyServer>(std::make_shared<SimLinePeer>(line_));
  }
  bool Has(Fault fault) const override { return fault != Fault::kBadChecksum; }
  void Inject(Fault fault) override {
    line_->With([&](SimProgrammer& p) {
      SimFault f;
      f.code = CMD_READ_SIGNATURE;
      switch (fault) {
        case Fault::kSilence:
          f.kind = SimFaultKind::kSilence;
          break;
        case Fault::kGarbage:
          f.kind = SimFaultKind::kBadHeader;
          break;
        case Fault::kDeviceFailure:
          f.kind = SimFaultKind::kError;
          f.arg = STATUS_DEVICE_WRITE_MEMORY;
          break;
        case Fault::kChipAbsent:
          p.options().ispMaxClock = 0;
          return;  // nothing answers ISP
        case Fault::kBadChecksum:
          return;
      }
      p.options().faults.push_back(f);
    });
  }
  void Clear() override {
    line_->With([](SimProgrammer& p) {
      p.options().faults.clear();
      p.options().ispMaxClock = 1;
    });
  }

 private:
  std::shared_ptr<SimLine> line_;
};

template <typename Peer, typename Options>
class Stk500Rig : public Rig {
 public:
  Stk500Rig(std::shared_ptr<SimChip> chip, const PartRecord& part, std::uint8_t signatureCommand,
            bool hasChecksum)
      : chip_(std::move(chip)), signatureCommand_(signatureCommand), hasChecksum_(hasChecksum) {
    Options options;
    options.connect = SimConnect::kIsp;
    options.ispLockout = IspLockoutFields(part);
    peer_ = std::make_shared<Peer>(*chip_, options);
    line_ = std::make_shared<SimPacedPeer>(
        [peer = peer_, chip = chip_](const std::uint8_t* d, std::size_t n) {
          return peer->Receive(d, n);
        },
        /*pace=*/true);
    server_ = std::make_unique<PtyServer>(line_);
  }
  bool Has(Fault fault) const override { return fault != Fault::kBadChecksum || hasChecksum_; }
  void Inject(Fault fault) override {
    line_->With([&] {
      if (fault == Fault::kChipAbsent) {
        peer_->options().chipPresent = false;
        return;
      }
      Stk500FaultKind kind = Stk500FaultKind::kSilence;
      if (fault == Fault::kGarbage) kind = Stk500FaultKind::kGarbage;
      if (fault == Fault::kBadChecksum) kind = Stk500FaultKind::kBadChecksum;
      if (fault == Fault::kDeviceFailure) kind = Stk500FaultKind::kDeviceFailure;
      peer_->options().faults.push_back({signatureCommand_, kind, 0});
    });
  }
  void Clear() override {
    line_->With([&] {
      peer_->options().faults.clear();
      peer_->options().chipPresent = true;
    });
  }

 private:
  std::shared_ptr<SimChip> chip_;  // outlives the peer that works on it
  std::shared_ptr<Peer> peer_;
  std::shared_ptr<SimPacedPeer> line_;
  std::uint8_t signatureCommand_;
  bool hasChecksum_;
};

std::unique_ptr<Rig> MakeRig(ProgrammerKind kind, std::shared_ptr<SimChip> chip,
                             const PartRecord& part) {
  switch (kind) {
    case ProgrammerKind::Brindlequartz:
      return std::make_unique<OursRig>(std::move(chip));
    case ProgrammerKind::Stk500v1:
      return std::make_unique<Stk500Rig<SimStk500v1, SimStk500v1Options>>(
          std::move(chip), part, stk500v1::kReadSign, false);
    case ProgrammerKind::Stk500v2:
      return std::make_unique<Stk500Rig<SimStk500v2, SimStk500v2Options>>(
          std::move(chip), part, stk500v2::kReadSignatureIsp, true);
    case ProgrammerKind::SerialUpdi:  // programs UPDI parts only: tests/drivers
      break;
  }
  return nullptr;
}

// A session on one driver's rig, and what the operations work with.
struct Bench {
  const PartRecord& part;
  ChipSession& session;
  const SimChip& chip;
  MemoryGeometry flash, eeprom;
  std::vector<std::uint8_t> program, data;
};

struct Operation {
  const char* name;
  SessionStatus expected;
  std::function<SessionResult(Bench&)> run;  // checks what it read itself
};

// A small chip keeps the whole-memory reads (blank checks) short at 19200 baud.
constexpr const char* kPart = "ATtiny25";
constexpr std::uint32_t kFlashPages = 4;
constexpr std::uint32_t kEepromPages = 8;

// In order: each works on what the ones before left on the chip.
const Operation kOperations[] = {
    {"signature", SessionStatus::Ok,
     [](Bench& b) {
       std::uint32_t signature = 0;
       const SessionResult r = b.session.ReadSignature(signature);
       EXPECT_EQ(signature, b.part.signature);
       return r;
     }},
    {"identify", SessionStatus::Ok,
     [](Bench& b) {
       IdentifiedChip chip;
       const SessionResult r = b.session.Identify(chip);
       EXPECT_EQ(chip.signature, b.part.signature);
       EXPECT_FALSE(chip.socket);
       return r;
     }},
    {"erase", SessionStatus::Ok, [](Bench& b) { return b.session.Erase(); }},
    {"blank check, erased", SessionStatus::Ok,
     [](Bench& b) { return b.session.BlankCheck(b.flash); }},
    {"write flash", SessionStatus::Ok,
     [](Bench& b) { return b.session.WriteMemory(b.flash, kFlashPages, b.program); }},
    {"verify flash", SessionStatus::Ok,
     [](Bench& b) {
       std::optional<std::uint32_t> difference;
       return b.session.VerifyMemory(b.flash, kFlashPages, b.program, difference);
     }},
    {"verify flash, other data", SessionStatus::Mismatch,
     [](Bench& b) {
       std::vector<std::uint8_t> other = b.program;
       other[77] ^= 0x10;
       std::optional<std::uint32_t> difference;
       const SessionResult r = b.session.VerifyMemory(b.flash, kFlashPages, other, difference);
       EXPECT_EQ(difference, std::optional<std::uint32_t>(77));
       return r;
     }},
    {"read flash", SessionStatus::Ok,
     [](Bench& b) {
       std::vector<std::uint8_t> back;
       const SessionResult r = b.session.ReadMemory(b.flash, kFlashPages, back);
       EXPECT_EQ(back, b.program);
       return r;
     }},
    {"blank check, programmed", SessionStatus::NotEmpty,
     [](Bench& b) { return b.session.BlankCheck(b.flash); }},
    {"write EEPROM", SessionStatus::Ok,
     [](Bench& b) { return b.session.WriteMemory(b.eeprom, kEepromPages, b.data); }},
    {"verify and read EEPROM", SessionStatus::Ok,
     [](Bench& b) {
       std::optional<std::uint32_t> difference;
       const SessionResult v = b.session.VerifyMemory(b.eeprom, kEepromPages, b.data, difference);
       EXPECT_TRUE(v.ok()) << v.message;
       std::vector<std::uint8_t> back;
       const SessionResult r = b.session.ReadMemory(b.eeprom, kEepromPages, back);
       EXPECT_EQ(back, b.data);
       EXPECT_EQ(b.chip.eeprom[5], b.data[5]) << "on the chip itself";
       return r;
     }},
    {"write and read fuses", SessionStatus::Ok,
     [](Bench& b) {
       FuseByteSlots fuses;
       fuses.low = {0xE2, true};  // CKDIV8 unprogrammed
       const SessionResult w = b.session.WriteFuses(fuses);
       EXPECT_TRUE(w.ok()) << w.message;
       FuseByteSlots back;
       back.low.present = back.high.present = true;
       const SessionResult r = b.session.ReadFuses(back);
       EXPECT_EQ(back.low.value, 0xE2);
       EXPECT_EQ(back.high.value, b.part.defaultHigh);
       return r;
     }},
    {"calibration", SessionStatus::Ok,
     [](Bench& b) {
       if (!b.session.Programmer().can.calibration) return SessionResult{};
       std::uint8_t value = 0;
       const SessionResult r = b.session.ReadCalibration(0, value);
       EXPECT_EQ(value, SimChip::Calibration(0));
       return r;
     }},
    {"write and read lock", SessionStatus::Ok,
     [](Bench& b) {
       const SessionResult w = b.session.WriteLock({0xFE, true});  // further writes disabled
       EXPECT_TRUE(w.ok()) << w.message;
       ByteSlot back{0, true};
       const SessionResult r = b.session.ReadLock(back);
       EXPECT_EQ(back.value & 0x03, 0x02);
       return r;
     }},
};

struct FaultCase {
  const char* name;
  Fault fault;
  SessionStatus expected;
  const char* says;  // what the message names, whichever the driver ("": its own words)
  // The fault is there when the session opens: an STK500 programmer looks for the chip when
  // it enters programming mode, which it stays in from one operation to the next.
  bool atOpen;
};

const FaultCase kFaults[] = {
    {"silence", Fault::kSilence, SessionStatus::LinkError, "", false},
    {"garbage", Fault::kGarbage, SessionStatus::LinkError, "", false},
    {"bad checksum", Fault::kBadChecksum, SessionStatus::LinkError, "checksum", false},
    {"device failure", Fault::kDeviceFailure, SessionStatus::DeviceError, "ERROR: ", false},
    {"chip absent", Fault::kChipAbsent, SessionStatus::DeviceError, "Enter Program Mode", true},
};

class DriverTable : public testing::TestWithParam<ProgrammerKind> {};

TEST_P(DriverTable, OperationsAndFaultsOverAPseudoTerminal) {
  PartDatabase parts;
  ASSERT_GT(LoadPartList(parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg"), 0);
  const PartRecord& part = *parts.Find(kPart);
  auto chip = std::make_shared<SimChip>(SimChip::FromPart(kPart, part));
  const std::unique_ptr<Rig> rig = MakeRig(GetParam(), chip, part);
  ASSERT_TRUE(rig->Start());

  ChipSession session({std::make_shared<PosixPortDriver>()}, GetParam());
  std::string log;
  session.SetLogObserver([&](LogKind, const std::string& text) { log += text + "\n"; });
  session.SetPart(kPart, &part);
  auto open = [&] {
    std::string why;
    const bool opened = session.Open(rig->SlavePath(), &why);
    session.SetMode(PROG_MODE_ISP);
    return opened ? std::string() : why + " ";
  };
  ASSERT_EQ(open(), "");
  if (session.Programmer().can.ispClock) {
    std::uint8_t clock = 0;
    ASSERT_TRUE(session.SelectIspClock(1, clock).ok()) << log;
  }

  Bench bench{part, session, *chip, FlashGeometry(part), EepromGeometry(part), {}, {}};
  for (std::size_t i = 0; i < kFlashPages * bench.flash.PageBytes(); ++i) {
    bench.program.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  }
  for (std::size_t i = 0; i < kEepromPages * bench.eeprom.PageBytes(); ++i) {
    bench.data.push_back(static_cast<std::uint8_t>(0xA0 ^ i));
  }
  for (const Operation& op : kOperations) {
    SCOPED_TRACE(op.name);
    const SessionResult r = op.run(bench);
    EXPECT_EQ(r.status, op.expected) << r.message << "\n" << log;
  }

  for (const FaultCase& c : kFaults) {
    if (!rig->Has(c.fault)) continue;
    SCOPED_TRACE(c.name);
    rig->Inject(c.fault);
    if (c.atOpen) {
      session.Close();
      ASSERT_EQ(open(), "");
    }
    std::uint32_t signature = 0;
    const SessionResult r = session.ReadSignature(signature);
    EXPECT_EQ(r.status, c.expected) << r.message;
    EXPECT_FALSE(r.message.empty());
    EXPECT_NE(r.message.find(c.says), std::string::npos) << r.message;
    rig->Clear();
    const SessionResult again = session.ReadSignature(signature);
    EXPECT_TRUE(again.ok()) << again.message;
    EXPECT_EQ(signature, part.signature);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryDriver, DriverTable,
                         testing::Values(ProgrammerKind::Brindlequartz, ProgrammerKind::Stk500v1,
                                         ProgrammerKind::Stk500v2),
                         [](const testing::TestParamInfo<ProgrammerKind>& info) {
                           return std::string(InfoFor(info.param).name);
                         });

}  // namespace
}  // namespace bq
