// Both STK500 drivers through the engine against their simulated programmers, with the
// faults a real line and a real programmer show: each ends as the result it should be, with
// a message, and the next operation works again where the programmer still answers.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "session/chip_session.h"
#include "sim/sim_chip.h"
#include "sim/stk500v1/sim_stk500v1.h"
#include "sim/stk500v1/stk500v1_codes.h"
#include "sim/stk500v2/sim_stk500v2.h"
#include "sim/stk500v2/stk500v2_codes.h"
#include "tests/ui/test_parts.h"

namespace bq {
namespace {

// One port whose connection is a simulated STK500 programmer with the given options.
template <typename Peer, typename Options>
class PeerPort : public PortDriver {
 public:
  PeerPort(SimChip& chip, Options options) : chip_(chip), options_(std::move(options)) {}
  bool Handles(const std::string&) const override { return true; }
  std::unique_ptr<SerialConnection> Open(const std::string&) override { return Make(); }
  std::unique_ptr<SerialConnection> OpenAt(const std::string&, const LineSettings&) override {
    return Make();
  }
  std::vector<std::string> Enumerate() override { return {"peer"}; }

 private:
  class Connection : public SerialConnection {
   public:
    Connection(SimChip& chip, const Options& options) : peer_(chip, options) {}
    bool Write(const std::uint8_t* d, std::size_t n) override {
      const auto answer = peer_.Receive(d, n);
      pending_.insert(pending_.end(), answer.begin(), answer.end());
      return true;
    }
    long Read(std::uint8_t* d, std::size_t n) override {
      const std::size_t take = std::min(n, pending_.size());
      std::copy_n(pending_.begin(), take, d);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
      return static_cast<long>(take);
    }
    void DiscardInput() override { pending_.clear(); }

   private:
    Peer peer_;
    std::vector<std::uint8_t> pending_;
  };
  std::unique_ptr<SerialConnection> Make() { return std::make_unique<Connection>(chip_, options_); }
  SimChip& chip_;
  Options options_;
};

struct Case {
  const char* name;
  Stk500FaultKind kind;
  bool chipPresent;
  SessionStatus expected;
};

const Case kCases[] = {
    {"no fault", Stk500FaultKind::kSilence, true, SessionStatus::Ok},
    {"silence", Stk500FaultKind::kSilence, true, SessionStatus::LinkError},
    {"garbage", Stk500FaultKind::kGarbage, true, SessionStatus::LinkError},
    {"bad checksum", Stk500FaultKind::kBadChecksum, true, SessionStatus::LinkError},
    {"device failure", Stk500FaultKind::kDeviceFailure, true, SessionStatus::DeviceError},
    {"no chip", Stk500FaultKind::kSilence, false, SessionStatus::DeviceError},
};

template <typename Peer, typename Options>
void RunCases(ProgrammerKind kind, std::uint8_t signatureCommand) {
  PartDatabase parts;
  test::FillTestParts(parts);
  const PartRecord& part = *parts.Find("TINYHV");
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(InfoFor(kind).name) + ": " + c.name);
    SimChip chip = SimChip::FromPart("TINYHV", part);
    Options options;
    options.chipPresent = c.chipPresent;
    const bool faulty = std::string(c.name) != "no fault" && c.chipPresent;
    // The signature read of the first try fails; nothing else does.
    if (faulty) options.faults.push_back({signatureCommand, c.kind, 1});
    ChipSession session({std::make_shared<PeerPort<Peer, Options>>(chip, options)}, kind);
    ASSERT_TRUE(session.Open("peer"));
    session.SetPart("TINYHV", &part);
    session.SetMode(PROG_MODE_ISP);
    std::uint32_t signature = 0;
    const SessionResult r = session.ReadSignature(signature);
    EXPECT_EQ(r.status, c.expected) << r.message;
    if (c.expected == SessionStatus::Ok) {
      EXPECT_EQ(signature, part.signature);
    } else {
      EXPECT_FALSE(r.message.empty());
    }
    if (faulty) {
      // The programmer is in step again: the next read answers.
      const SessionResult again = session.ReadSignature(signature);
      EXPECT_TRUE(again.ok()) << again.message;
      EXPECT_EQ(signature, part.signature);
    }
  }
}

TEST(DriverFaults, Stk500Version1) {
  RunCases<SimStk500v1, SimStk500v1Options>(ProgrammerKind::Stk500v1, stk500v1::kReadSign);
}

TEST(DriverFaults, Stk500Version2) {
  RunCases<SimStk500v2, SimStk500v2Options>(ProgrammerKind::Stk500v2, stk500v2::kReadSignatureIsp);
}

}  // namespace
}  // namespace bq
