// Arbitrary line changes and SPI bytes into the pin-level chip models of the simulated bench.
// A board's firmware may drive the lines in any order and at any pace; whatever it does, a
// model must not crash, read or write outside its memories, or answer a level other than
// Low, High or Float. Violations are expected here and only counted.
//
// Input: byte 0 the part (ATmega328P, ATtiny85, ATmega8, ATtiny13, ATmega2560), byte 1 its
// fuses (bit 0: RESET disabled; bit 1: an external clock that is not there); then events of
// three bytes: a time step (the low 6 bits scaled by 1, 2^10, 2^16 or 2^20 ns by the top two),
// a line (or 0xFF: one SPI byte; 0xFE: the board's clock on XTAL1, stopped when the third
// byte is 0, else at that many times 62.5 kHz), a level (or the SPI byte).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "avrsim/target.h"
#include "parts/part_database.h"
#include "parts/part_names.h"

namespace {

using bq::avrsim::Level;
using bq::avrsim::Nanos;
using bq::avrsim::Pin;

const bq::PartDatabase& Parts() {
  static const bq::PartDatabase* parts = [] {
    auto* db = new bq::PartDatabase;
    if (bq::LoadPartList(*db, BQ_SOURCE_DIR "/PartList.cfg") <= 0) std::abort();
    return db;
  }();
  return *parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const char* const kParts[] = {"ATmega328P", "ATtiny85", "ATmega8", "ATtiny13", "ATmega2560"};
  bq::avrsim::TargetConfig config;
  const bq::PartRecord* record =
      bq::FindPartByAnyName(Parts(), kParts[data[0] % 5], &config.partName);
  if (record == nullptr) std::abort();
  config.part = *record;
  if (data[1] & 1) config.high = 0x5F;  // RSTDISBL on the tinies, a mix of fields elsewhere
  if (data[1] & 2) {
    config.low = 0xE0;
    config.externalClockHz = 0;
  }
  unsigned violations = 0;
  auto target = bq::avrsim::MakeTarget(
      config, [&violations](const std::string&) { ++violations; }, [](const std::string&) {});
  const std::size_t flashBytes = target->State().flash.size();
  const std::size_t eepromBytes = target->State().eeprom.size();

  Nanos now = 0;
  for (std::size_t i = 2; i + 3 <= size; i += 3) {
    static const unsigned kShift[] = {0, 10, 16, 20};
    now += static_cast<Nanos>(data[i] & 0x3F) << kShift[data[i] >> 6];
    const std::uint8_t line = data[i + 1];
    if (line == 0xFF) {
      target->SpiByte(data[i + 2], 125000u << (data[i + 2] & 3), now);
    } else if (line == 0xFE) {
      target->ClockOnXtal1(62500u * data[i + 2], now);
    } else {
      const auto pin = static_cast<Pin>(line % static_cast<unsigned>(Pin::kCount));
      target->Drive(pin, static_cast<Level>(data[i + 2] % 4), now);
    }
    for (Pin out : {Pin::Miso, Pin::Sdo, Pin::RdyBsy, Pin::Data0, Pin::Data7}) {
      const Level level = target->Read(out, now);
      if (level != Level::Low && level != Level::High && level != Level::Float) std::abort();
    }
    const Nanos next = target->NextChange(now);
    if (next != bq::avrsim::kNever && next <= now) std::abort();  // must lie ahead
  }
  if (target->State().flash.size() != flashBytes || target->State().eeprom.size() != eepromBytes)
    std::abort();
  if (target->Violations() != violations) std::abort();
  return 0;
}
