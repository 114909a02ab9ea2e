// The UPDI line carried in our protocol's CMD_UPDI_* packets, against a stand-in for the
// firmware's side (it sends, checks the echo and collects answers as the firmware's command
// does) with the wire double behind it: the packets stay inside the protocol's limits, a
// failed echo reads as the plain adapter's would, and the SerialUPDI driver runs over it
// unchanged.

#include "drivers/brindlequartz/updi_tunnel.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "drivers/serialupdi/serialupdi_driver.h"
#include "link/protocol.h"
#include "updi_double.h"

namespace bq {
namespace {

using test::UpdiDouble;
using Bytes = std::vector<std::uint8_t>;

struct Packet {
  std::uint8_t code;
  Bytes payload;
};

// The firmware's side of CMD_UPDI_OPEN / EXCHANGE / BREAK / CLOSE over the wire double.
class FirmwareSide : public UpdiTunnelLink {
 public:
  explicit FirmwareSide(std::shared_ptr<UpdiDouble> chip) : chip_(std::move(chip)) {}

  bool Request(std::uint8_t code, const Bytes& payload, Bytes& answer,
               std::uint8_t& status) override {
    packets.push_back({code, payload});
    answer.clear();
    status = 0;
    if (payload.size() > kMaxPayloadBytes || (code == CMD_UPDI_OPEN && noHeader)) {
      status = STATUS_DEVICE_UNKNOWN_COMMAND;
      return false;
    }
    if (code == CMD_UPDI_OPEN) {
      chip_->rate = (std::uint32_t{payload[0]} << 24) | (std::uint32_t{payload[1]} << 16) |
                    (std::uint32_t{payload[2]} << 8) | payload[3];
    } else if (code == CMD_UPDI_BREAK) {
      chip_->input.clear();
    } else if (code == CMD_UPDI_EXCHANGE) {
      if (payload[0] & 1) chip_->input.clear();
      const Bytes send(payload.begin() + 3, payload.end());
      chip_->Feed(send.data(), send.size());
      answer.push_back(kUpdiEchoOk);
      for (const std::uint8_t b : send) {
        if (chip_->input.empty()) {
          answer[0] = kUpdiEchoMissing;
          break;
        }
        const std::uint8_t echo = chip_->input.front();
        chip_->input.pop_front();
        if (echo != b) answer[0] = kUpdiEchoDiffers;
        answer.push_back(echo);
      }
      if (answer[0] != kUpdiEchoOk) {
        chip_->input.clear();
        return true;
      }
      answer.resize(1);
      for (std::size_t i = 0; i < payload[1] && !chip_->input.empty(); ++i) {
        answer.push_back(chip_->input.front());
        chip_->input.pop_front();
      }
    }
    return true;
  }

  std::vector<Packet> packets;
  bool noHeader = false;  // the original programmer, or the Uno: "Unknown Command"

 private:
  std::shared_ptr<UpdiDouble> chip_;
};

struct Rig {
  std::shared_ptr<UpdiDouble> chip = std::make_shared<UpdiDouble>();
  FirmwareSide firmware{chip};
  UpdiTunnelConnection connection{firmware};
  updi::Link link{connection};
  Rig() { link.SetReplyTimeoutMs(0); }
};

TEST(UpdiTunnel, InstructionsGoOutInExchangesAndTheirAnswersComeBack) {
  Rig rig;
  std::uint8_t value = 0;
  ASSERT_TRUE(rig.link.Ldcs(updi::kStatusA, value));
  EXPECT_EQ(value, 0x30);
  ASSERT_TRUE(rig.link.Stcs(updi::kCtrlA, 0x06));
  EXPECT_EQ(rig.chip->Stream(), (Bytes{0x55, 0x80, 0x55, 0xC2, 0x06}));
  // LDCS: the instruction with its echo checked, then one exchange for the answer byte.
  ASSERT_GE(rig.firmware.packets.size(), 3u);
  EXPECT_EQ(rig.firmware.packets[0].payload, (Bytes{0, 0, 1, 0x55, 0x80}));
  EXPECT_EQ(rig.firmware.packets[1].payload[1], 1);  // one answer byte wanted
  for (const Packet& p : rig.firmware.packets) EXPECT_EQ(p.code, CMD_UPDI_EXCHANGE);
}

TEST(UpdiTunnel, LongWritesAndReadsStayInsideThePacketLimits) {
  Rig rig;
  ASSERT_TRUE(rig.link.SetResponseSignatures(false, 0x06));
  Bytes data(512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
  ASSERT_TRUE(rig.link.Write(0x8000, data.data(), data.size(), true));
  ASSERT_TRUE(rig.link.SetResponseSignatures(true, 0x06));
  Bytes back(300);
  ASSERT_TRUE(rig.link.Read(0x8000, back.data(), back.size()));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
  for (const Packet& p : rig.firmware.packets) {
    ASSERT_GE(p.payload.size(), 3u);
    EXPECT_LE(p.payload.size() - 3, kUpdiExchangeMaxSend);
  }
  // The 256-byte block's answer needs two exchanges of at most 255 bytes.
  const auto wanted = std::count_if(rig.firmware.packets.begin(), rig.firmware.packets.end(),
                                    [](const Packet& p) { return p.payload[1] == 255; });
  EXPECT_EQ(wanted, 1);
}

TEST(UpdiTunnel, AFailedEchoReadsAsTheAdaptersWould) {
  struct Case {
    UpdiDouble::Echo echo;
    updi::Fault fault;
  };
  for (const Case c : {Case{UpdiDouble::Echo::None, updi::Fault::NoEcho},
                       Case{UpdiDouble::Echo::Garbled, updi::Fault::BadEcho}}) {
    Rig rig;
    rig.chip->echo = c.echo;
    std::uint8_t value = 0;
    EXPECT_FALSE(rig.link.Ldcs(updi::kStatusA, value));
    EXPECT_EQ(rig.link.LastFault(), c.fault);
    // After a bad echo the next exchange drops what the firmware still holds.
    rig.chip->echo = UpdiDouble::Echo::Normal;
    rig.connection.DiscardInput();
    const std::size_t before = rig.firmware.packets.size();
    ASSERT_TRUE(rig.link.Ldcs(updi::kStatusA, value));
    EXPECT_EQ(rig.firmware.packets[before].payload[0], 1);
  }
  // A chip that never answers: the echo is fine, the answer does not come.
  Rig rig;
  rig.chip->silent = true;
  std::uint8_t value = 0;
  EXPECT_FALSE(rig.link.Ldcs(updi::kStatusA, value));
  EXPECT_EQ(rig.link.LastFault(), updi::Fault::NoAnswer);
}

TEST(UpdiTunnel, BreaksAndRatesAreTheFirmwaresCommands) {
  Rig rig;
  rig.link.SetRate(115200);
  rig.link.DoubleBreak();
  std::vector<std::uint8_t> codes;
  for (const Packet& p : rig.firmware.packets) codes.push_back(p.code);
  EXPECT_EQ(codes.front(), CMD_UPDI_OPEN);
  EXPECT_NE(std::find(codes.begin(), codes.end(), CMD_UPDI_BREAK), codes.end());
  EXPECT_EQ(rig.firmware.packets.front().payload, (Bytes{0x00, 0x01, 0xC2, 0x00}));
  EXPECT_EQ(rig.chip->rate, 115200u);  // back at the working rate after the slow zeros
}

TEST(UpdiTunnel, OpeningTheLineCarriesThePulseOnceAndSaysWhenThereIsNoHeader) {
  EXPECT_EQ(UpdiOpenPayload(230400, 0), (Bytes{0x00, 0x03, 0x84, 0x00}));
  EXPECT_EQ(UpdiOpenPayload(230400, 500), (Bytes{0x00, 0x03, 0x84, 0x00, 0x01, 0xF4}));
  auto chip = std::make_shared<UpdiDouble>();
  FirmwareSide firmware(chip);
  UpdiTunnelPortDriver ports(firmware);
  LineSettings line;
  line.baud = 230400;
  EXPECT_EQ(ports.OpenAt(kUpdiTunnelPortName, line), nullptr);  // 8N1: not the UPDI's framing
  line.parity = LineSettings::Parity::Even;
  line.stopBits = 2;
  ports.ArmPulse(kUpdiPulseUs);
  EXPECT_NE(ports.OpenAt(kUpdiTunnelPortName, line), nullptr);
  EXPECT_NE(ports.OpenAt(kUpdiTunnelPortName, line), nullptr);
  ASSERT_EQ(firmware.packets.size(), 2u);
  EXPECT_EQ(firmware.packets[0].payload.size(), 6u);  // with the pulse
  EXPECT_EQ(firmware.packets[1].payload.size(), 4u);  // the next open without
  firmware.noHeader = true;
  EXPECT_EQ(ports.OpenAt(kUpdiTunnelPortName, line), nullptr);
  EXPECT_EQ(ports.LastOpenStatus(), STATUS_DEVICE_UNKNOWN_COMMAND);
  EXPECT_NE(ports.LastOpenError().find("no UPDI header"), std::string::npos);
}

TEST(UpdiTunnel, TheSerialUpdiDriverReadsTheSignatureOverIt) {
  auto chip = std::make_shared<UpdiDouble>();
  chip->memory[0x1100] = 0x1E;
  chip->memory[0x1101] = 0x94;
  chip->memory[0x1102] = 0x22;
  FirmwareSide firmware(chip);
  SerialPort port({std::make_shared<UpdiTunnelPortDriver>(firmware)});
  SerialUpdiDriver driver;
  std::string why;
  ASSERT_TRUE(driver.Open(port, kUpdiTunnelPortName, &why)) << why;
  std::uint32_t signature = 0;
  ASSERT_TRUE(driver.ReadSignature(signature).ok());
  EXPECT_EQ(signature, 0x1E9422u);
  driver.Close();
  // The UPDI pin is GPIO: the echo comes, the chip stays silent. The line opens as an empty
  // socket does; the first command fails and says why.
  chip->silent = true;
  ASSERT_TRUE(driver.Open(port, kUpdiTunnelPortName, &why)) << why;
  const SessionResult r = driver.ReadSignature(signature);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.message.find("No answer from the UPDI pin"), std::string::npos) << r.message;
}

}  // namespace
}  // namespace bq
