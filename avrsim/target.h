#pragma once
// A chip on the programmer's pins, as the simulated bench sees it: the board's firmware
// drives lines, the chip answers on its own lines, everything in simulated time.
//
// One object is one chip with all its programming interfaces (ISP, HVSP, HVPP): how the
// board brings it into programming mode decides which one it speaks. The bench wires only
// the lines of the place the chip sits in (the ISP header or a socket); lines that are not
// wired are never driven.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "parts/part_package.h"
#include "parts/part_record.h"

namespace bq::avrsim {

// Simulated time in nanoseconds since the bench started. Never goes backwards.
using Nanos = std::uint64_t;
constexpr Nanos kNever = ~Nanos{0};

// A line as the chip sees it. Float: nobody drives it (a chip input then reads its own
// default: RESET has a pull-up, the rest read low). Vpp: 11.5-12.5 V, only ever on RESET.
enum class Level : std::uint8_t { Low, High, Float, Vpp };

// The chip's lines by function. Vcc is the chip's supply (High = on; once driven, Low and
// Float are off). A chip whose Vcc is never driven sits on the board's own supply.
enum class Pin : std::uint8_t {
  Vcc,
  Reset,
  // ISP (serial downloading)
  Sck,
  Mosi,
  Miso,
  // High-voltage serial programming
  Sdi,
  Sii,
  Sdo,
  Sci,
  // High-voltage parallel programming
  Xtal1,
  Oe,
  Wr,
  Bs1,
  Bs2,
  Xa0,
  Xa1,
  Pagel,
  RdyBsy,
  Data0,
  Data1,
  Data2,
  Data3,
  Data4,
  Data5,
  Data6,
  Data7,
  kCount
};

const char* PinName(Pin pin);

// The package decides the socket (parts/part_package.h).
using bq::Package;
using bq::PackageOf;

// The memories and configuration bytes of a chip, for set-up and for checks after a run.
struct ChipState {
  std::vector<std::uint8_t> flash;   // bytes, erased 0xFF
  std::vector<std::uint8_t> eeprom;  // bytes, erased 0xFF
  std::uint8_t low = 0xFF;
  std::uint8_t high = 0xFF;
  std::uint8_t extended = 0xFF;
  std::uint8_t lock = 0xFF;
  std::uint32_t signature = 0;
  std::vector<std::uint8_t> calibration;  // by calibration address
};

// How long the chip stays busy after each programming step. Real chips time themselves and
// are usually faster than the longest wait their datasheets ask for; these defaults lie
// within those limits.
struct BusyTimes {
  Nanos ispFlashPage = 2500000;  // serial: Write Program Memory Page
  Nanos ispEeprom = 3600000;     // serial: Write EEPROM byte or page
  Nanos ispErase = 9000000;      // serial: Chip Erase
  Nanos ispFuse = 4500000;       // serial: fuse or lock bits
  Nanos hvWrite = 3700000;       // high-voltage: Flash or EEPROM page, fuse or lock bits
  Nanos hvErase = 7500000;       // high-voltage: Chip Erase
};

struct TargetConfig {
  std::string partName;  // as the part list names it
  PartRecord part;       // from the part list: geometry, signature, fuse fields, defaults
  // Fuse and lock bytes the chip starts with; unset: the part's defaults, lock 0xFF.
  std::optional<std::uint8_t> low, high, extended, lock;
  // Frequency of the clock on XTAL1 (crystal, resonator or external clock) when the fuses
  // select one; 0 = nothing attached. The internal oscillators need nothing.
  std::uint32_t externalClockHz = 16000000;
  BusyTimes busy;
  // Memories the chip starts with (a chip kept from an earlier run); a size other than the
  // part's leaves that memory erased.
  std::vector<std::uint8_t> flash, eeprom;
};

class Target {
 public:
  virtual ~Target() = default;

  // The board changes a line at `now`.
  virtual void Drive(Pin pin, Level level, Nanos now) = 0;
  // What the chip drives on a line at `now`: Low or High, or Float when it does not drive.
  virtual Level Read(Pin pin, Nanos now) = 0;
  // The next time after `now` at which Read may answer differently without any Drive
  // (a programming step ending), or kNever.
  virtual Nanos NextChange(Nanos now) const = 0;
  // One byte over the board's hardware SPI (the bench moves no SCK/MOSI pin for it): MOSI in,
  // MISO out, shifted at `sckHz`, starting at `now`.
  virtual std::uint8_t SpiByte(std::uint8_t mosi, std::uint32_t sckHz, Nanos now) = 0;
  // The board drives a clock of `hz` onto XTAL1 from `now` on; 0: it stopped. While it runs
  // it is the chip's external clock (in place of the one in TargetConfig).
  virtual void ClockOnXtal1(std::uint32_t hz, Nanos now) = 0;

  virtual const ChipState& State() const = 0;
  // Protocol violations seen so far (each was also passed to the violation callback).
  virtual unsigned Violations() const = 0;
};

// `violation` receives one line per protocol violation (without the "violation: " prefix);
// `note` receives lines worth a look that are not the board's fault (entry not reached, a
// bit sampled wrong at a too fast clock). Either may be empty.
std::unique_ptr<Target> MakeTarget(const TargetConfig& config,
                                   std::function<void(const std::string&)> violation,
                                   std::function<void(const std::string&)> note = {});

}  // namespace bq::avrsim
