// The SerialUPDI driver through the engine, against the wire double: the line it opens, a
// locked chip that is never erased without being asked, a part the programmer cannot reach.

#include "drivers/serialupdi/serialupdi_driver.h"

#include <gtest/gtest.h>

#include "session/chip_session.h"
#include "updi_double.h"

namespace bq {
namespace {

using test::UpdiDouble;
using test::UpdiDoublePorts;

PartRecord Tiny1614() {
  PartRecord p;
  p.signature = 0x1E9422;
  p.flashPageSizeW = 32;
  p.flashNoOfPages = 256;
  p.eepromPageSize = 32;
  p.eepromNoOfPages = 8;
  p.updi.present = true;
  p.updi.nvmVersion = 0;
  p.updi.flashBase = 0x8000;
  p.updi.eepromBase = 0x1400;
  p.updi.userRowBase = 0x1300;
  p.updi.userRowSize = 32;
  p.updi.sigRowBase = 0x1100;
  p.updi.fuseBase = 0x1280;
  p.updi.lockBase = 0x128A;
  for (std::uint8_t offset : {0, 1}) {
    NamedFuseByte fuse;
    fuse.name = offset == 0 ? "WDTCFG" : "BODCFG";
    fuse.offset = offset;
    p.updi.fuses.push_back(fuse);
  }
  return p;
}

struct Bench {
  std::shared_ptr<UpdiDouble> chip = std::make_shared<UpdiDouble>();
  std::shared_ptr<UpdiDoublePorts> ports = std::make_shared<UpdiDoublePorts>(chip);
  ChipSession session{{ports}, ProgrammerKind::SerialUpdi};
  PartRecord part = Tiny1614();
  Bench() {
    session.SetPart("ATtiny1614", &part);
    chip->memory[0x1002] = 0x00;  // the NVM controller is never busy here
  }
};

TEST(SerialUpdiDriver, OpensAt8E2AndTheDefaultRate) {
  Bench b;
  std::string why;
  ASSERT_TRUE(b.session.Open("updi-double", &why)) << why;
  EXPECT_EQ(b.ports->lastLine.parity, LineSettings::Parity::Even);
  EXPECT_EQ(b.ports->lastLine.stopBits, 2);
  EXPECT_EQ(b.ports->lastLine.dataBits, 8);
  EXPECT_EQ(b.ports->lastLine.baud, 230400u);
  EXPECT_EQ(b.session.Programmer().title, std::string("SerialUPDI (USB-serial adapter)"));
}

TEST(SerialUpdiDriver, ALockedChipRefusesEverythingButTheEraseWithTheKey) {
  Bench b;
  b.chip->locked = true;
  b.chip->memory[0x8000] = 0x12;
  ASSERT_TRUE(b.session.Open("updi-double"));
  std::vector<std::uint8_t> image;
  const SessionResult read = b.session.ReadMemory(FlashGeometry(b.part), 1, image);
  const SessionResult erase = b.session.Erase();
  for (const SessionResult& r : {read, erase}) {
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.message, kUpdiLockedText);
  }
  EXPECT_EQ(b.chip->chipErases, 0);  // never erased without being asked
  ASSERT_TRUE(b.session.EraseLocked().ok());
  EXPECT_EQ(b.chip->chipErases, 1);
  EXPECT_FALSE(b.chip->locked);
  ASSERT_TRUE(b.session.ReadMemory(FlashGeometry(b.part), 1, image).ok());
  EXPECT_EQ(image[0], 0xFF);
}

TEST(SerialUpdiDriver, FlashEepromAndUserRowReadBackAsWritten) {
  Bench b;
  ASSERT_TRUE(b.session.Open("updi-double"));
  for (const MemoryGeometry& memory :
       {FlashGeometry(b.part), EepromGeometry(b.part), UserRowGeometry(b.part)}) {
    SCOPED_TRACE(MemoryName(memory.kind));
    std::vector<std::uint8_t> data(
        memory.PageBytes() * 2 > memory.Bytes() ? memory.Bytes() : memory.PageBytes() * 2);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    const std::uint32_t pages = static_cast<std::uint32_t>(data.size() / memory.PageBytes());
    const SessionResult written = b.session.WriteMemory(memory, pages, data);
    ASSERT_TRUE(written.ok()) << written.message;
    std::optional<std::uint32_t> difference;
    EXPECT_TRUE(b.session.VerifyMemory(memory, pages, data, difference).ok());
  }
}

// An AVR Dx flash page goes out without ACKs; only the status read at its end can tell that
// the NVM controller refused it. The error is reported, and cleared so the next page is taken.
TEST(SerialUpdiDriver, AnAvrDxPageTheControllerRefusedIsReportedAndTheErrorCleared) {
  Bench b;
  b.part.flashPageSizeW = 256;
  b.part.flashNoOfPages = 4;
  b.part.updi.nvmVersion = 2;
  b.part.updi.flashBase = 0x800000;
  b.session.SetPart("AVR128DA48", &b.part);
  ASSERT_TRUE(b.session.Open("updi-double"));
  ASSERT_TRUE(b.session.Erase().ok());
  b.chip->memory[0x1002] = 0x30;  // STATUS.ERROR 3: a command collision
  const std::vector<std::uint8_t> page(512, 0x5A);
  const SessionResult refused = b.session.WriteMemory(FlashGeometry(b.part), 1, page);
  EXPECT_EQ(refused.status, SessionStatus::DeviceError);
  EXPECT_NE(refused.message.find("reported a write error"), std::string::npos) << refused.message;
  EXPECT_EQ(b.chip->memory[0x1002], 0x00);
  ASSERT_TRUE(b.session.WriteMemory(FlashGeometry(b.part), 1, page).ok());
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(b.session.ReadMemory(FlashGeometry(b.part), 1, back).ok());
  EXPECT_EQ(back, page);
}

TEST(SerialUpdiDriver, ThePartMustSuitTheProgrammer) {
  Bench b;
  ASSERT_TRUE(b.session.Open("updi-double"));
  PartRecord classic;
  classic.signature = 0x1E950F;
  classic.flashPageSizeW = 64;
  classic.flashNoOfPages = 256;
  b.session.SetPart("ATmega328P", &classic);
  std::vector<std::uint8_t> image;
  SessionResult r = b.session.ReadMemory(FlashGeometry(classic), 1, image);
  EXPECT_EQ(r.status, SessionStatus::Refused);
  EXPECT_NE(r.message.find("not a UPDI part"), std::string::npos) << r.message;

  // A classic-only programmer (ours reaches UPDI parts on its UPDI header).
  ChipSession classicSession({b.ports}, ProgrammerKind::Stk500v2);
  classicSession.SetPart("ATtiny1614", &b.part);
  r = classicSession.Erase();
  EXPECT_NE(r.message.find("-c serialupdi"), std::string::npos) << r.message;
}

// An adapter without its chip yet opens (its echo works), as a programmer with an empty
// socket does: the operations say the chip did not answer until it is there.
TEST(SerialUpdiDriver, AnAdapterWithoutAChipOpensAndMeetsTheChipWhenItComes) {
  Bench b;
  b.chip->silent = true;
  std::string why;
  ASSERT_TRUE(b.session.Open("updi-double", &why)) << why;
  std::uint32_t signature = 0;
  const SessionResult r = b.session.ReadSignature(signature);
  EXPECT_EQ(r.status, SessionStatus::DeviceError) << r.message;
  EXPECT_FALSE(ProgrammerLost(r));
  EXPECT_NE(r.message.find("No answer from the UPDI pin"), std::string::npos) << r.message;
  b.chip->silent = false;
  b.chip->memory[0x1100] = 0x1E;
  b.chip->memory[0x1101] = 0x94;
  b.chip->memory[0x1102] = 0x22;
  ASSERT_TRUE(b.session.ReadSignature(signature).ok());
  EXPECT_EQ(signature, 0x1E9422u);
  EXPECT_EQ(b.chip->writes.back().rate, 230400u);  // the rate asked for
}

// A chip taken off the line while the adapter stays: a fault of the chip, not a lost
// programmer (a production run waits for the next chip), and the next chip is met at the rate
// the session opened at, not at the slowest one the search for the missing chip ended on.
TEST(SerialUpdiDriver, AChipThatStopsAnsweringIsAChipFaultAndTheNextRunsAtTheOpeningRate) {
  Bench b;
  ASSERT_TRUE(b.session.Open("updi-double"));
  std::uint32_t signature = 0;
  b.chip->silent = true;
  for (int poll = 0; poll < 2; ++poll) {
    const SessionResult r = b.session.ReadSignature(signature);
    EXPECT_EQ(r.status, SessionStatus::DeviceError) << r.message;
    EXPECT_FALSE(ProgrammerLost(r)) << r.message;
    // "the chip did not answer on the UPDI pin", then "No answer from the UPDI pin ..." with
    // what to look at, from the search for the chip.
    EXPECT_NE(r.message.find("answer"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("UPDI pin"), std::string::npos) << r.message;
  }
  EXPECT_LT(b.chip->rate, 230400u);  // the search ended below the opening rate
  b.chip->silent = false;
  b.chip->memory[0x1100] = 0x1E;
  b.chip->memory[0x1101] = 0x94;
  b.chip->memory[0x1102] = 0x22;
  const std::size_t before = b.chip->writes.size();
  ASSERT_TRUE(b.session.ReadSignature(signature).ok());
  EXPECT_EQ(signature, 0x1E9422u);
  EXPECT_EQ(b.chip->writes.back().rate, 230400u);
  EXPECT_GT(b.chip->writes.size(), before);
}

}  // namespace
}  // namespace bq
