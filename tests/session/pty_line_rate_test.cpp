// The faster line of our own protocol, through the engine over a real pseudo-terminal: the
// host and the programmer agree on a rate after the versions exchange, fall back when a rate
// does not carry, agree again after a quiet second, and change nothing with the original
// programmer, which refuses the rate command.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/protocol.h"
#include "link/tracing_port_driver.h"
#include "parts/part_database.h"
#include "platform/posix/posix_port_driver.h"
#include "platform/posix/pty_server.h"
#include "session/chip_session.h"
#include "sim/sim_chip.h"
#include "sim/sim_connection.h"
#include "sim/sim_serial_peer.h"

namespace bq {
namespace {

using namespace std::chrono_literals;

// Test double of our firmware's line around the simulated programmer: it takes the rate
// command, answers at the old rate and then runs at the new one, back at 115200 after a second
// without host bytes. Bytes cross only while the host's line (as the pseudo-terminal reports
// it) runs at the same rate and the cable carries that rate.
class FirmwareLinePeer : public SerialPeer {
 public:
  // idle: how long the firmware's second lasts by the host's clock.
  FirmwareLinePeer(std::shared_ptr<SerialPeer> inner, std::uint32_t carries,
                   std::chrono::milliseconds idle = 1000ms)
      : inner_(std::move(inner)), carries_(carries), idle_(idle) {}

  void LineSet(const LineSettings& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = line.baud;
    inner_->LineSet(line);
  }
  void Receive(const std::uint8_t* data, std::size_t n, Clock::time_point now) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (now - heard_ > idle_) rate_ = kBaseLineRate;
    heard_ = now;
    if (!InStep()) return;
    if (n == 9 && data[0] == kPacketMagic0 && data[2] == CMD_SET_LINE_RATE) {
      next_ = std::uint32_t{data[5]} << 24 | std::uint32_t{data[6]} << 16 |
              std::uint32_t{data[7]} << 8 | data[8];
      pending_ = {kPacketMagic0, kPacketMagic1, ANS_OK, 0, 0};
      return;
    }
    inner_->Receive(data, n, now);
  }
  std::optional<Clock::time_point> TakeDue(Clock::time_point now,
                                           std::vector<std::uint8_t>& out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty()) {
      out.insert(out.end(), pending_.begin(), pending_.end());
      pending_.clear();
      rate_ = next_;
    }
    std::vector<std::uint8_t> answer;
    const auto next = inner_->TakeDue(now, answer);
    if (InStep()) out.insert(out.end(), answer.begin(), answer.end());
    return next;
  }
  std::uint32_t HostRate() {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_;
  }

 private:
  bool InStep() const { return host_ == rate_ && rate_ <= carries_; }

  std::mutex mutex_;
  std::shared_ptr<SerialPeer> inner_;
  std::uint32_t carries_;
  std::chrono::milliseconds idle_;
  std::uint32_t host_ = kBaseLineRate;
  std::uint32_t rate_ = kBaseLineRate;
  std::uint32_t next_ = kBaseLineRate;
  Clock::time_point heard_ = Clock::now();
  std::vector<std::uint8_t> pending_;
};

struct Rig {
  explicit Rig(std::uint8_t hardwareMajor, std::uint32_t carries = 0,
               std::chrono::milliseconds idle = 1000ms) {
    EXPECT_GT(LoadPartList(parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg"), 0);
    part = parts.Find("ATtiny25");
    auto chip = std::make_shared<SimChip>(SimChip::FromPart("ATtiny25", *part));
    SimOptions options;
    options.connect = SimConnect::kIsp;
    options.hardwareMajor = hardwareMajor;
    std::shared_ptr<SerialPeer> peer =
        std::make_shared<SimLinePeer>(std::make_shared<SimLine>(chip, options));
    if (carries != 0) {
      firmware = std::make_shared<FirmwareLinePeer>(peer, carries, idle);
      peer = firmware;
    }
    server = std::make_unique<PtyServer>(peer);
  }

  // Opens a session at --baud `baud` (0: the default), reads the signature; the log and the
  // packets written are kept.
  SessionResult Run(std::uint32_t baud) {
    EXPECT_TRUE(server->Start());
    session = std::make_unique<ChipSession>(
        std::vector<std::shared_ptr<PortDriver>>{
            std::make_shared<TracingPortDriver>(std::make_shared<PosixPortDriver>(),
                                                [this](const std::string& line) {
                                                  std::lock_guard<std::mutex> lock(mutex);
                                                  wire += line + "\n";
                                                })},
        ProgrammerKind::Brindlequartz);
    session->SetProgrammer(ProgrammerKind::Brindlequartz, baud);
    // Warnings and errors only: what would tell the user something went wrong.
    session->SetLogObserver([this](LogKind kind, const std::string& text) {
      if (kind != LogKind::LogWarning && kind != LogKind::LogError) return;
      std::lock_guard<std::mutex> lock(mutex);
      log += text + "\n";
    });
    session->SetPart("ATtiny25", part);
    std::string why;
    if (!session->Open(server->SlavePath(), &why)) return {SessionStatus::PortNotOpen, 0, why};
    session->SetMode(PROG_MODE_ISP);
    std::uint8_t clock = 0;
    if (const SessionResult r = session->SelectIspClock(1, clock); !r.ok()) return r;
    return Signature();
  }
  SessionResult Signature() {
    std::uint32_t signature = 0;
    const SessionResult r = session->ReadSignature(signature);
    EXPECT_EQ(signature, part->signature);
    return r;
  }
  std::string Wire() {
    std::lock_guard<std::mutex> lock(mutex);
    return wire;
  }

  PartDatabase parts;
  const PartRecord* part = nullptr;
  std::shared_ptr<FirmwareLinePeer> firmware;
  std::unique_ptr<PtyServer> server;
  std::unique_ptr<ChipSession> session;  // closed before the server stops
  std::mutex mutex;
  std::string wire, log;
};

constexpr const char* kRateCommand = "-> 48 56 C4 00 04";

TEST(LineRate, OriginalProgrammerRefusesAndTheLineStays) {
  // The original hardware (2.01) is never asked; one that says 4.0 but knows no rate command
  // answers "Unknown Command", quietly, and every operation goes on at 115200.
  for (const std::uint8_t major : {2, 4}) {
    SCOPED_TRACE(major);
    Rig rig(major);
    const SessionResult r = rig.Run(0);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(rig.Wire().find(kRateCommand) != std::string::npos, major == 4) << rig.Wire();
    EXPECT_EQ(rig.Wire().find("-- line at"), std::string::npos) << rig.Wire();
    EXPECT_EQ(rig.log, "") << "nothing to tell the user";
  }
}

struct Agreement {
  const char* name;
  std::uint32_t carries;  // the fastest rate the cable carries
  std::uint32_t baud;     // --baud, 0: not given
  std::uint32_t agreed;
  bool warned;
};

TEST(LineRate, AgreesOnTheFastestRateTheLineCarries) {
  const Agreement kCases[] = {
      {"1000000 carries", 1000000, 0, 1000000, false},
      {"only 500000 carries", 500000, 0, 500000, false},
      {"nothing faster carries", kBaseLineRate, 0, kBaseLineRate, true},
      {"--baud 500000", 1000000, 500000, 500000, false},
      {"--baud 115200 stays", 1000000, 115200, kBaseLineRate, false},
  };
  for (const Agreement& c : kCases) {
    SCOPED_TRACE(c.name);
    Rig rig(4, c.carries);
    const SessionResult r = rig.Run(c.baud);
    EXPECT_TRUE(r.ok()) << r.message << "\n" << rig.log << rig.Wire();
    EXPECT_EQ(rig.firmware->HostRate(), c.agreed) << rig.Wire();
    EXPECT_EQ(rig.log.find("faster rate") != std::string::npos, c.warned) << rig.log;
    if (c.baud == kBaseLineRate) {
      EXPECT_EQ(rig.Wire().find(kRateCommand), std::string::npos);
    }
  }
}

TEST(LineRate, AgreesAgainAfterAQuietSecond) {
  // The firmware is back at 115200 after a second without traffic; the next operation agrees
  // again, on the rate agreed before and with one rate command.
  for (const std::uint32_t carries : {1000000u, 500000u}) {
    SCOPED_TRACE(carries);
    Rig rig(4, carries);
    ASSERT_TRUE(rig.Run(0).ok()) << rig.log;
    ASSERT_EQ(rig.firmware->HostRate(), carries);
    const std::size_t before = rig.Wire().size();
    std::this_thread::sleep_for(1100ms);
    const SessionResult r = rig.Signature();
    EXPECT_TRUE(r.ok()) << r.message << "\n" << rig.Wire();
    EXPECT_EQ(rig.firmware->HostRate(), carries);
    const std::string after = rig.Wire().substr(before);
    const std::size_t first = after.find(kRateCommand);
    EXPECT_NE(first, std::string::npos) << after;
    EXPECT_EQ(after.find(kRateCommand, first + 1), std::string::npos) << after;
    EXPECT_EQ(rig.log, "");
  }
}

TEST(LineRate, AProgrammerStillFastAfterTheHostsSecondStaysFast) {
  // Its second lasts three of the host's: when the host would agree again, it is still at
  // the fast rate, and the next operation goes on there without a warning.
  Rig rig(4, 1000000u, 3000ms);
  ASSERT_TRUE(rig.Run(0).ok()) << rig.log;
  std::this_thread::sleep_for(1300ms);
  const SessionResult r = rig.Signature();
  EXPECT_TRUE(r.ok()) << r.message << "\n" << rig.Wire();
  EXPECT_EQ(rig.firmware->HostRate(), 1000000u);
  EXPECT_EQ(rig.log, "");
}

TEST(LineRate, ARunJustAfterAnotherFindsTheProgrammerStillFast) {
  // A board that does not restart when the port opens is still at the rate the run before
  // agreed on: the next run takes it there, without an error line.
  Rig rig(4, 1000000u);
  ASSERT_TRUE(rig.Run(0).ok()) << rig.log;
  rig.session.reset();
  rig.server->Stop();
  const SessionResult r = rig.Run(0);
  EXPECT_TRUE(r.ok()) << r.message << "\n" << rig.Wire();
  EXPECT_EQ(rig.firmware->HostRate(), 1000000u);
  EXPECT_EQ(rig.log, "");
}

TEST(LineRate, RefusesARateOurProgrammerCannotRun) {
  Rig rig(4, 1000000);
  const SessionResult r = rig.Run(230400);
  EXPECT_EQ(r.status, SessionStatus::PortNotOpen);
  EXPECT_NE(r.message.find("115200, 500000 or 1000000"), std::string::npos) << r.message;
}

}  // namespace
}  // namespace bq
