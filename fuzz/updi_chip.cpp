// Arbitrary host bytes, rates, BREAKs and pauses into the simulated UPDI chip. Whatever a host
// sends, the chip must not crash, hang, or grow or shrink its memories, and every host byte's
// echo must come back (no fault is injected here).
//
// Input: byte 0 chooses the chip (even: a tinyAVR with NVM controller version 0, odd: an AVR
// DA with version 2); then pairs of bytes: a control byte and a data byte. Control 0-199: the
// data byte on the line; 200-219: a new host rate; 220-229: a BREAK; 230-239: the high-voltage
// pulse; 240-255: a pause of data * 100 us.

#include "sim/updi/updi_chip.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "parts/part_record.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bq::NamedFuseByte Fuse(const char* name, std::uint8_t offset, std::uint8_t value) {
  bq::NamedFuseByte f;
  f.name = name;
  f.offset = offset;
  f.hasDefault = true;
  f.defaultValue = value;
  return f;
}

bq::PartRecord Part(bool dx) {
  bq::PartRecord p;
  bq::UpdiLayout& u = p.updi;
  u.present = true;
  u.eepromBase = 0x1400;
  u.sigRowBase = 0x1100;
  u.userRowSize = 32;
  if (dx) {
    p.signature = 0x1E9708;
    p.flashPageSizeW = 256;
    p.flashNoOfPages = 16;
    p.eepromPageSize = 1;
    p.eepromNoOfPages = 512;
    u.nvmVersion = 2;
    u.flashBase = 0x800000;
    u.userRowBase = 0x1080;
    u.fuseBase = 0x1050;
    u.lockBase = 0x1040;
    u.lockSize = 4;
    u.lockOpenValue = 0x5CC5C55C;
    u.fuses = {Fuse("WDTCFG", 0, 0), Fuse("SYSCFG0", 5, 0xC0)};
  } else {
    p.signature = 0x1E9223;
    p.flashPageSizeW = 32;
    p.flashNoOfPages = 64;
    p.eepromPageSize = 32;
    p.eepromNoOfPages = 4;
    u.flashBase = 0x8000;
    u.userRowBase = 0x1300;
    u.fuseBase = 0x1280;
    u.lockBase = 0x128A;
    u.pinShared = true;
    u.pinFuse = "SYSCFG0";
    u.pinField = "RSTPINCFG";
    u.pinUpdiValue = 1;
    bq::NamedFuseByte sys = Fuse("SYSCFG0", 5, 0xF6);
    bq::BitFieldDesc pin;
    pin.name = "RSTPINCFG";
    pin.mask = 0x0C;
    sys.fields.push_back(pin);
    u.fuses = {Fuse("WDTCFG", 0, 0), sys};
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bq::PartRecord part = Part((data[0] & 1u) != 0);
  bq::UpdiChip chip(part, (data[0] & 1u) != 0 ? "AVR128DA48" : "ATtiny412");
  static constexpr std::array<std::uint32_t, 10> kRates = {
      300, 600, 9600, 57600, 115200, 230400, 460800, 921600, 1500000, 2000000};
  const std::size_t flash = chip.Flash().size(), eeprom = chip.Eeprom().size();
  const std::size_t fuses = chip.Fuses().size(), lock = chip.Lock().size();
  auto t = bq::UpdiChip::Clock::time_point{} + std::chrono::hours(1);
  std::size_t sent = 0;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    const std::uint8_t control = data[i], value = data[i + 1];
    if (control < 200) {
      t += chip.HostByteTime();
      chip.Receive(value, t);
      ++sent;
    } else if (control < 220) {
      chip.SetHostLine(kRates[value % kRates.size()], (value & 0x80u) == 0);
    } else if (control < 230) {
      chip.Break(t);
    } else if (control < 240) {
      chip.HighVoltagePulse();
    } else {
      t += std::chrono::microseconds(100) * value;
    }
    chip.TakeDue(t, out);
  }
  chip.TakeAll(t, out);
  Check(out.size() >= sent);
  Check(chip.Flash().size() == flash && chip.Eeprom().size() == eeprom);
  Check(chip.Fuses().size() == fuses && chip.Lock().size() == lock);
  return 0;
}
