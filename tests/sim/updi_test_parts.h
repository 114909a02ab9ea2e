#pragma once
// Hand-made part records of one tinyAVR 1 part (NVM controller version 0) and one AVR DA part
// (version 2), from their vendor device files, and a host that speaks raw UPDI bytes to the
// simulated chip in process.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "parts/part_record.h"
#include "sim/updi/updi_chip.h"
#include "sim/updi/updi_peer.h"

namespace bq::test {

using Bytes = std::vector<std::uint8_t>;

inline NamedFuseByte Fuse(const std::string& name, std::uint8_t offset, std::uint8_t value,
                          std::vector<BitFieldDesc> fields = {}) {
  NamedFuseByte f;
  f.name = name;
  f.offset = offset;
  f.hasDefault = true;
  f.defaultValue = value;
  f.fields = std::move(fields);
  return f;
}

inline BitFieldDesc Field(const std::string& name, std::uint8_t mask) {
  BitFieldDesc d;
  d.name = name;
  d.mask = mask;
  return d;
}

// ATtiny412: 4 KiB flash in 64-byte pages, 128 bytes EEPROM, UPDI pin shared with RESET/GPIO.
inline PartRecord Tiny412() {
  PartRecord p;
  p.signature = 0x1E9223;
  p.flashPageSizeW = 32;
  p.flashNoOfPages = 64;
  p.eepromPageSize = 32;
  p.eepromNoOfPages = 4;
  UpdiLayout& u = p.updi;
  u.present = true;
  u.nvmVersion = 0;
  u.flashBase = 0x8000;
  u.eepromBase = 0x1400;
  u.userRowBase = 0x1300;
  u.userRowSize = 32;
  u.sigRowBase = 0x1100;
  u.fuseBase = 0x1280;
  u.lockBase = 0x128A;
  u.lockSize = 1;
  u.lockOpenValue = 0xC5;
  u.pinShared = true;
  u.pinFuse = "SYSCFG0";
  u.pinField = "RSTPINCFG";
  u.pinUpdiValue = 1;
  u.fuses = {Fuse("WDTCFG", 0, 0x00),
             Fuse("BODCFG", 1, 0x00),
             Fuse("OSCCFG", 2, 0x02),
             Fuse("TCD0CFG", 4, 0x00),
             Fuse("SYSCFG0", 5, 0xF6, {Field("EESAVE", 0x01), Field("RSTPINCFG", 0x0C)}),
             Fuse("SYSCFG1", 6, 0x07),
             Fuse("APPEND", 7, 0x00),
             Fuse("BOOTEND", 8, 0x00)};
  return p;
}

// AVR128DA48: 128 KiB flash in 512-byte pages at 0x800000, 512 bytes EEPROM, a 4-byte lock key.
inline PartRecord Da128() {
  PartRecord p;
  p.signature = 0x1E9708;
  p.flashPageSizeW = 256;
  p.flashNoOfPages = 256;
  p.eepromPageSize = 1;
  p.eepromNoOfPages = 512;
  UpdiLayout& u = p.updi;
  u.present = true;
  u.nvmVersion = 2;
  u.flashBase = 0x800000;
  u.eepromBase = 0x1400;
  u.userRowBase = 0x1080;
  u.userRowSize = 32;
  u.sigRowBase = 0x1100;
  u.fuseBase = 0x1050;
  u.lockBase = 0x1040;
  u.lockSize = 4;
  u.lockOpenValue = 0x5CC5C55C;
  u.fuses = {Fuse("WDTCFG", 0, 0x00),  Fuse("BODCFG", 1, 0x00),
             Fuse("OSCCFG", 2, 0x00),  Fuse("SYSCFG0", 5, 0xC0, {Field("EESAVE", 0x01)}),
             Fuse("SYSCFG1", 6, 0x08), Fuse("CODESIZE", 7, 0x00),
             Fuse("BOOTSIZE", 8, 0x00)};
  return p;
}

// UPDI instruction bytes, from the instruction set summary.
constexpr std::uint8_t kLdcs = 0x80, kStcs = 0xC0, kRepeat = 0xA0, kKey = 0xE0, kSibKey = 0xE5;
constexpr std::uint8_t kLds16 = 0x04, kSts16 = 0x44, kLds24 = 0x08, kSts24 = 0x48;
constexpr std::uint8_t kStPtr16 = 0x69, kStPtr24 = 0x6A, kStInc = 0x64, kLdInc = 0x24;
constexpr std::uint8_t kAck = 0x40;

// A host on an in-process line: every transfer checks its echo and returns what followed.
class UpdiHost {
 public:
  UpdiHost(const PartRecord& part, const std::string& name, std::uint32_t baud = 115200)
      : chip(std::make_shared<UpdiChip>(part, name)),
        baud_(baud),
        link_(chip, nullptr, Line(baud)) {}

  static LineSettings Line(std::uint32_t baud) {
    LineSettings l;
    l.baud = baud;
    l.parity = LineSettings::Parity::Even;
    l.stopBits = 2;
    l.protocol = "serialupdi";
    return l;
  }

  // Writes bytes; returns everything that came back, echo included.
  Bytes Raw(const Bytes& out) {
    link_.Write(out.data(), out.size());
    Bytes in(4096);
    const long n = link_.Read(in.data(), in.size());
    in.resize(static_cast<std::size_t>(std::max(n, 0L)));
    return in;
  }
  // Writes bytes; returns what came back after their echo (the echo must be there).
  Bytes Xfer(const Bytes& out) {
    link_.Write(out.data(), out.size());
    Bytes in(4096);
    const long n = link_.Read(in.data(), in.size());
    in.resize(static_cast<std::size_t>(std::max(n, 0L)));
    EXPECT_GE(in.size(), out.size());
    if (in.size() < out.size()) return {};
    EXPECT_EQ(Bytes(in.begin(), in.begin() + static_cast<long>(out.size())), out) << "echo";
    return Bytes(in.begin() + static_cast<long>(out.size()), in.end());
  }
  // A BREAK as the driver sends it over a pseudo-terminal: 0x00 at 300 baud.
  void Break() {
    link_.SetRate(300);
    EXPECT_EQ(Xfer({0x00}), Bytes{});
    link_.SetRate(baud_);
  }
  void SetRate(std::uint32_t baud) {
    baud_ = baud;
    link_.SetRate(baud);
  }
  Bytes Ldcs(std::uint8_t address) {
    return Xfer({0x55, static_cast<std::uint8_t>(kLdcs | address)});
  }
  void Stcs(std::uint8_t address, std::uint8_t value) {
    EXPECT_EQ(Xfer({0x55, static_cast<std::uint8_t>(kStcs | address), value}), Bytes{});
  }
  void Key(const std::string& text) {
    Bytes k = {0x55, kKey};
    for (auto it = text.rbegin(); it != text.rend(); ++it)
      k.push_back(static_cast<std::uint8_t>(*it));
    EXPECT_EQ(Xfer(k), Bytes{});
  }
  static Bytes Address(std::uint32_t a, bool wide) {
    Bytes b = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8)};
    if (wide) b.push_back(static_cast<std::uint8_t>(a >> 16));
    return b;
  }
  Bytes Lds(std::uint32_t address, bool wide = false) {
    Bytes b = {0x55, wide ? kLds24 : kLds16};
    const Bytes a = Address(address, wide);
    b.insert(b.end(), a.begin(), a.end());
    return Xfer(b);
  }
  // STS of one byte; returns the two answers (ACKs).
  Bytes Sts(std::uint32_t address, std::uint8_t value, bool wide = false) {
    Bytes b = {0x55, wide ? kSts24 : kSts16};
    const Bytes a = Address(address, wide);
    b.insert(b.end(), a.begin(), a.end());
    Bytes acks = Xfer(b);
    const Bytes second = Xfer({value});
    acks.insert(acks.end(), second.begin(), second.end());
    return acks;
  }
  // Stores bytes from address on with the pointer, REPEAT and ST *ptr++.
  void Store(std::uint32_t address, const Bytes& data, bool wide = false) {
    Bytes b = {0x55, wide ? kStPtr24 : kStPtr16};
    const Bytes a = Address(address, wide);
    b.insert(b.end(), a.begin(), a.end());
    EXPECT_EQ(Xfer(b), Bytes{kAck});
    EXPECT_EQ(Xfer({0x55, kRepeat, static_cast<std::uint8_t>(data.size() - 1)}), Bytes{});
    EXPECT_EQ(Xfer({0x55, kStInc, data[0]}), Bytes{kAck});
    for (std::size_t i = 1; i < data.size(); ++i) EXPECT_EQ(Xfer({data[i]}), Bytes{kAck}) << i;
  }
  Bytes Load(std::uint32_t address, std::size_t n, bool wide = false) {
    Bytes b = {0x55, wide ? kStPtr24 : kStPtr16};
    const Bytes a = Address(address, wide);
    b.insert(b.end(), a.begin(), a.end());
    EXPECT_EQ(Xfer(b), Bytes{kAck});
    EXPECT_EQ(Xfer({0x55, kRepeat, static_cast<std::uint8_t>(n - 1)}), Bytes{});
    return Xfer({0x55, kLdInc});
  }
  // Waits (polling NVMCTRL.STATUS) until the NVM controller is idle; its last reading.
  std::uint8_t WaitNvm(int polls = 10000) {
    Bytes s;
    for (int i = 0; i < polls; ++i) {
      s = Lds(0x1002);
      if (s.size() == 1 && (s[0] & 0x03) == 0) return s[0];
    }
    ADD_FAILURE() << "NVM still busy";
    return s.empty() ? 0xFF : s[0];
  }
  // SYNCH after a BREAK, the NVM programming key, a system reset; true once in programming.
  bool EnterProgramming() {
    Break();
    Key("NVMProg ");
    Stcs(0x8, 0x59);
    Stcs(0x8, 0x00);
    for (int i = 0; i < 100; ++i) {
      const Bytes s = Ldcs(0xB);
      if (s.size() == 1 && (s[0] & 0x08) != 0) return true;
    }
    return false;
  }

  std::shared_ptr<UpdiChip> chip;

 private:
  std::uint32_t baud_;
  UpdiSimConnection link_;
};

}  // namespace bq::test
