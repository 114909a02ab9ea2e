// Our programmer with a UPDI part, through the engine: the packets go to a stand-in for our
// firmware's UPDI header (the CMD_UPDI_* commands as docs/firmware.md gives them) with the
// UPDI chip model behind it. The part makes our programmer a UPDI programmer, the rescue
// brings back a chip whose UPDI pin is GPIO with the 12 V pulse and nothing else changed, and
// a programmer without the header says so.

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

#include "link/protocol.h"
#include "parts/part_database.h"
#include "session/chip_session.h"
#include "session/rescue.h"
#include "sim/updi/updi_chip.h"

namespace bq {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Header {
  explicit Header(const PartRecord& part) : chip(part, "ATtiny1614") {}
  UpdiChip chip;
  bool present = true;     // false: the original programmer, no UPDI header
  bool twelveVolts = true;  // false: the 12 V supply is missing
  bool powered = false;
  int pulses = 0;
  std::mutex mutex;
};

// Our firmware's packets: versions, the identify's probes (no classic chip anywhere) and the
// UPDI header's commands.
class FirmwareConnection : public SerialConnection {
 public:
  explicit FirmwareConnection(Header& h) : h_(h) {}

  bool Write(const std::uint8_t* data, std::size_t n) override {
    std::lock_guard<std::mutex> lock(h_.mutex);
    in_.insert(in_.end(), data, data + n);
    while (in_.size() >= 5) {
      const std::size_t len = (std::size_t{in_[3]} << 8) | in_[4];
      if (in_.size() < 5 + len) break;
      const std::uint8_t code = in_[2];
      const Bytes payload(in_.begin() + 5, in_.begin() + 5 + static_cast<std::ptrdiff_t>(len));
      in_.erase(in_.begin(), in_.begin() + 5 + static_cast<std::ptrdiff_t>(len));
      Handle(code, payload);
    }
    return true;
  }
  long Read(std::uint8_t* data, std::size_t n) override {
    std::lock_guard<std::mutex> lock(h_.mutex);
    std::size_t got = 0;
    for (; got < n && !out_.empty(); ++got) {
      data[got] = out_.front();
      out_.pop_front();
    }
    return static_cast<long>(got);
  }

 private:
  void Answer(std::uint8_t code, const Bytes& payload = {}) {
    const Bytes head{kPacketMagic0, kPacketMagic1, code,
                     static_cast<std::uint8_t>(payload.size() >> 8),
                     static_cast<std::uint8_t>(payload.size())};
    out_.insert(out_.end(), head.begin(), head.end());
    out_.insert(out_.end(), payload.begin(), payload.end());
  }
  UpdiChip::Clock::time_point Now() const {
    return std::max(UpdiChip::Clock::now(), h_.chip.Latest());
  }

  void Handle(std::uint8_t code, const Bytes& p) {
    const bool updi = code >= CMD_UPDI_OPEN && code <= CMD_UPDI_CLOSE;
    if (code == CMD_HARDWARE_VERSION) return Answer(ANS_VALUE16_ALT, {static_cast<std::uint8_t>(h_.present ? 4 : 2), 0});
    if (code == CMD_FIRMWARE_VERSION) return Answer(ANS_VALUE16, {1, 0});
    if (code == CMD_DETECT_ISP_CLOCK) return Answer(ANS_VALUE8, {0});
    if (code == CMD_RECOVER) return Answer(ANS_OK);
    if (code == CMD_READ_SIGNATURE) return Answer(ANS_ERROR, {STATUS_DEVICE_ENTER_PROG_MODE});
    if (!updi || !h_.present) return Answer(ANS_ERROR, {STATUS_DEVICE_UNKNOWN_COMMAND});
    if (code == CMD_UPDI_OPEN) {
      const std::uint32_t baud = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                 (std::uint32_t{p[2]} << 8) | p[3];
      if (p.size() == 6 || !h_.powered) h_.chip.PowerCycle();
      h_.powered = true;
      if (p.size() == 6 && h_.twelveVolts) {
        h_.chip.HighVoltagePulse();
        ++h_.pulses;
      }
      h_.chip.SetHostLine(baud, true);
      ring_.clear();
      return Answer(ANS_OK);
    }
    if (code == CMD_UPDI_BREAK) {
      h_.chip.Break(Now() + std::chrono::milliseconds(41));
      Bytes drop;
      h_.chip.TakeAll(Now(), drop);
      ring_.clear();
      return Answer(ANS_OK);
    }
    if (code == CMD_UPDI_CLOSE) {
      h_.powered = false;
      return Answer(ANS_OK);
    }
    // CMD_UPDI_EXCHANGE
    if (p[0] & 1) ring_.clear();
    auto t = Now();
    for (std::size_t i = 3; i < p.size(); ++i) {
      t += h_.chip.HostByteTime();
      h_.chip.Receive(p[i], t);
    }
    Bytes wire;
    h_.chip.TakeAll(t, wire);
    ring_.insert(ring_.end(), wire.begin(), wire.end());
    Bytes answer{kUpdiEchoOk};
    for (std::size_t i = 3; i < p.size(); ++i) {
      if (ring_.empty() || ring_.front() != p[i]) return Answer(ANS_UPDI, {kUpdiEchoDiffers});
      ring_.pop_front();
    }
    for (std::size_t i = 0; i < p[1] && !ring_.empty(); ++i) {
      answer.push_back(ring_.front());
      ring_.pop_front();
    }
    Answer(ANS_UPDI, answer);
  }

  Header& h_;
  Bytes in_;
  std::deque<std::uint8_t> out_, ring_;
};

class FirmwarePorts : public PortDriver {
 public:
  explicit FirmwarePorts(Header& h) : h_(h) {}
  bool Handles(const std::string& name) const override { return name == "our-firmware"; }
  std::unique_ptr<SerialConnection> Open(const std::string&) override {
    return std::make_unique<FirmwareConnection>(h_);
  }
  std::vector<std::string> Enumerate() override { return {"our-firmware"}; }

 private:
  Header& h_;
};

class Answering : public RescueHost {
 public:
  explicit Answering(bool yes) : yes_(yes) {}
  bool Confirm(const std::string&, const std::string&) override {
    ++asked;
    return yes_;
  }
  bool PlaceChip(ChipPlace, const std::string&) override { return false; }
  int asked = 0;

 private:
  bool yes_;
};

struct Bench {
  PartDatabase parts;
  const PartRecord* part = nullptr;
  std::unique_ptr<Header> header;
  std::unique_ptr<ChipSession> session;
  std::uint8_t syscfg0 = 0;  // SYSCFG0's offset from the fuse base

  Bench() {
    LoadPartList(parts, std::string(BQ_SOURCE_DIR) + "/PartList.cfg");
    part = parts.Find("ATtiny1614");
    header = std::make_unique<Header>(*part);
    for (const NamedFuseByte& f : part->updi.fuses) {
      if (f.name == "SYSCFG0") syscfg0 = f.offset;
    }
    session = std::make_unique<ChipSession>(
        std::vector<std::shared_ptr<PortDriver>>{std::make_shared<FirmwarePorts>(*header)});
    session->SetProgrammer(ProgrammerKind::Brindlequartz, kBaseLineRate);
    session->SetPart("ATtiny1614", part);
  }
  bool Open() { return session->Open("our-firmware"); }
  RescueReport Rescue(bool yes) {
    Answering host(yes);
    return RunRescue(*session, "ATtiny1614", *part, host);
  }
};

TEST(OurFirmwareUpdi, AUpdiPartMakesItAUpdiProgrammerOnTheHeader) {
  Bench b;
  ASSERT_NE(b.part, nullptr);
  ASSERT_TRUE(b.Open());
  EXPECT_TRUE(b.session->Programmer().can.updi);
  EXPECT_TRUE(b.session->Programmer().can.updiHighVoltage);
  IdentifiedChip chip;
  ASSERT_TRUE(b.session->Identify(chip).ok());
  EXPECT_EQ(chip.signature, 0x1E9422u);
  Bytes image(128);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  ASSERT_TRUE(b.session->WriteMemory(FlashGeometry(*b.part), 2, image).ok());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), b.header->chip.Flash().begin()));
  // A classic part: our programmer is the classic one again.
  PartRecord classic;
  classic.signature = 0x1E950F;
  b.session->SetPart("ATmega328P", &classic);
  EXPECT_FALSE(b.session->Programmer().can.updi);
  EXPECT_TRUE(b.session->Programmer().can.highVoltageParallel);
}

TEST(OurFirmwareUpdi, TheRescueBringsBackAPinTurnedToGpioAndChangesNothingElse) {
  Bench b;
  std::uint8_t& fuse = b.header->chip.Fuses()[b.syscfg0];
  fuse = 0xC1;  // RSTPINCFG GPIO, EESAVE set
  ASSERT_TRUE(b.Open());
  const RescueReport declined = b.Rescue(false);
  EXPECT_EQ(declined.verdict, RescueVerdict::Declined);
  EXPECT_NE(declined.diagnosis.find("RSTPINCFG"), std::string::npos) << declined.diagnosis;
  EXPECT_EQ(b.header->pulses, 0);
  EXPECT_EQ(fuse, 0xC1);

  const RescueReport rescued = b.Rescue(true);
  ASSERT_EQ(rescued.verdict, RescueVerdict::Rescued) << rescued.outcome;
  EXPECT_EQ(b.header->pulses, 1);
  EXPECT_EQ(fuse, 0xC5);  // RSTPINCFG UPDI, EESAVE as it was
  EXPECT_FALSE(b.header->chip.LineIgnored());

  // Now it answers: nothing to do, no pulse.
  EXPECT_EQ(b.Rescue(true).verdict, RescueVerdict::NothingWrong);
  EXPECT_EQ(b.header->pulses, 1);
}

TEST(OurFirmwareUpdi, WithoutTheTwelveVoltsOrTheHeaderTheRescueSaysWhatFailed) {
  Bench noVpp;
  noVpp.header->twelveVolts = false;
  noVpp.header->chip.Fuses()[noVpp.syscfg0] = 0xC0;
  ASSERT_TRUE(noVpp.Open());
  const RescueReport r = noVpp.Rescue(true);
  EXPECT_EQ(r.verdict, RescueVerdict::Failed);
  EXPECT_NE(r.outcome.find("did not answer after the 12 V pulse"), std::string::npos)
      << r.outcome;
  EXPECT_EQ(noVpp.header->chip.Fuses()[noVpp.syscfg0], 0xC0);

  Bench original;  // the original programmer answers "Unknown Command" to the header's commands
  original.header->present = false;
  ASSERT_TRUE(original.Open());
  Bytes image;
  const SessionResult read = original.session->ReadMemory(FlashGeometry(*original.part), 1, image);
  EXPECT_EQ(read.status, SessionStatus::Refused);
  EXPECT_NE(read.message.find("no UPDI header"), std::string::npos) << read.message;
  EXPECT_EQ(original.Rescue(true).verdict, RescueVerdict::Failed);
}

}  // namespace
}  // namespace bq
