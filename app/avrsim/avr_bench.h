#pragma once
// The programmer board in simavr: its firmware runs on the simulated AVR, its serial line
// is a pseudo-terminal, and a chip model sits on the pins of the place it was put in.

#include <csignal>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "app/avrsim/board_wiring.h"
#include "app/avrsim/clock_pin.h"
#include "avrsim/target.h"

struct avr_t;
struct avr_irq_t;
struct avr_io_t;
struct avr_spi_t;

namespace bq::avrsim {

class UpdiHeader;

struct BenchSetup {
  Board board = Board::Uno;
  Place place = Place::None;
  bool twelveVolts = true;      // false: the 12 V supply is missing (RESET stays at 0 V)
  bool realTime = false;        // true: never run ahead of the wall clock
  std::uint32_t lineLimit = 0;  // the fastest rate the board's USB serial chip carries (0: any)
  Target* target = nullptr;     // null: nothing on any pin
  bool trace = false;           // every line change and SPI byte on stderr
  UpdiHeader* updi = nullptr;   // a UPDI chip on the Mega's UPDI header (updi_header.h)
};

// Where a board with a stock bootloader starts after a reset: the boot section that its high
// fuse selects (BOOTSZ) and BOOTRST programmed, as the boards are shipped.
struct BootSection {
  std::uint8_t highFuse = 0;
  std::uint32_t start = 0;  // byte address
  std::uint32_t bytes = 0;
};
BootSection ShippedBootSection(Board board);

// Counters for the stats file; times in simulated nanoseconds.
struct BenchStats {
  Nanos firstByteIn = 0;
  Nanos lastByteOut = 0;
  std::uint64_t bytesIn = 0;
  std::uint64_t bytesOut = 0;
  Nanos now = 0;
  double wallSeconds = 0;
  double sleptSeconds = 0;     // wall time spent waiting for the wall clock or the host
  std::uint64_t resets = 0;    // resets after the start: the host's opens and the watchdog's
  std::uint64_t spiBytes = 0;  // bytes the board's hardware SPI shifted (as master)
  std::uint32_t spiSckHz = 0;  // the SCK of the last of them
};

class AvrBench {
 public:
  explicit AvrBench(BenchSetup setup);
  AvrBench(const AvrBench&) = delete;
  AvrBench& operator=(const AvrBench&) = delete;

  // Loads a fresh ATmega328P (Uno) or ATmega2560 (Mega) at 16 MHz with the firmware ELF
  // (empty: none) and the bootloader, an Intel HEX file (empty: none). With a bootloader the
  // board starts in it as after an external reset, and every open of the serial line by a
  // host resets it again, as DTR does on the real board; without one the firmware starts at 0.
  bool Load(const std::string& elfPath, const std::string& bootloaderPath, std::string& error);
  // Creates the pseudo-terminal (raw, 115200 8N1 on the slave side).
  bool OpenPty(std::string& error);
  const std::string& SlavePath() const { return slavePath_; }

  // Runs the firmware until `stop` is set. `dump` set: calls onDump and clears it.
  // Returns false when the firmware stopped by itself (crash or sleep with interrupts off);
  // `why` then says how.
  template <typename OnDump>
  bool Run(volatile std::sig_atomic_t& stop, volatile std::sig_atomic_t& dump, OnDump onDump,
           std::string& why) {
    while (!stop) {
      if (!RunSlice(why)) return false;
      if (dump) {
        dump = 0;
        onDump();
      }
    }
    return true;
  }

  BenchStats Stats() const;

 private:
  struct WireState {
    Wire wire;
    avr_irq_t* irq = nullptr;  // the board pin
    bool driven = false;       // a level was given to the chip yet
    Level level = Level::Float;
    int input = -1;  // what the board's pin reads from the chip (-1: not yet)
  };
  struct PortHook {
    AvrBench* bench;
    char port;
    std::uint8_t externalMask = 0;  // pins the chip drives, and their levels
    std::uint8_t externalValue = 0;
  };

  bool RunSlice(std::string& why);
  // The clock on the ISP cable's clock lead started, changed or stopped (0).
  void ClockOnXtal1(std::uint32_t hz);
  bool LoadBootloader(const std::string& path, std::string& error);
  void WatchHostOpens();
  void ExternalReset();
  void AfterReset();
  static void OnCoreReset(avr_t* avr);
  static int OnFlashIoctl(avr_io_t* io, std::uint32_t ctl, void* param);
  static AvrBench* g_bench;  // simavr's reset hook carries no pointer of its own
  // Cycles since the start; simavr counts its own from 0 again at every reset.
  std::uint64_t Cycle() const;
  void Service(bool mayWait);
  Nanos Now() const;
  // ddrNow: the port's new DDR when it is being changed, else -1.
  void Sync(char port, int ddrNow);
  void UpdateInputs(Nanos now, char port, int ddrNow);
  PortHook& HookFor(char port);
  void Reschedule(Nanos now);
  bool BoardPin(char port, std::uint8_t bit, bool& ddr, bool& out, int ddrNow) const;
  // The chip's answer to one SPI byte clocked out from `start` at `sckHz`.
  std::uint8_t SpiByte(std::uint8_t mosi, std::uint32_t sckHz, Nanos start);
  void FeedByte();
  // Simulated time of one character at the rate the firmware set (UBRR0, U2X0).
  std::uint64_t CyclesPerByte() const;
  // False when the host's line and the board's UART run at rates too far apart to talk.
  bool LineInStep() const;

  static void OnPortWrite(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnDirectionChange(avr_irq_t* irq, std::uint32_t value, void* param);
  // The SPI as the datasheet times it: a write of SPDR in master mode shifts the byte out in
  // 8 SCK periods at the rate SPCR and SPSR select, then SPIF (and the interrupt) follow.
  static void OnSpdrWrite(avr_t* avr, std::uint16_t addr, std::uint8_t value, void* param);
  static std::uint64_t OnSpiDone(avr_t* avr, std::uint64_t when, void* param);
  static std::uint8_t OnSpdrRead(avr_t* avr, std::uint16_t addr, void* param);
  static std::uint8_t OnSpsrRead(avr_t* avr, std::uint16_t addr, void* param);
  void SpdrAccess();
  static void OnUartOut(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnUartXon(avr_irq_t* irq, std::uint32_t value, void* param);
  static void OnUartXoff(avr_irq_t* irq, std::uint32_t value, void* param);
  static std::uint64_t OnTargetTimer(avr_t* avr, std::uint64_t when, void* param);
  static std::uint64_t OnFeedTimer(avr_t* avr, std::uint64_t when, void* param);
  static void NoSleep(avr_t* avr, std::uint64_t howLong);

  BenchSetup setup_;
  avr_t* avr_ = nullptr;
  std::vector<WireState> wires_;
  std::vector<PortHook> hooks_;
  bool syncing_ = false;
  bool inTargetTimer_ = false;
  Nanos lastTime_ = 0;
  avr_irq_t* uartIn_ = nullptr;
  avr_spi_t* spi_ = nullptr;
  bool spiBusy_ = false;  // a byte is being shifted out
  std::uint8_t spiMosi_ = 0;
  std::uint8_t spiReceived_ = 0;  // the receive buffer: the last byte shifted in
  bool spsrSeen_ = false;         // SPSR read with SPIF or WCOL set since the last SPDR access
  std::uint8_t (*spsrRead_)(avr_t*, std::uint16_t, void*) = nullptr;  // simavr's own, if any
  void* spsrReadParam_ = nullptr;
  std::uint32_t spiSckHz_ = 0;
  Nanos spiStart_ = 0;
  bool xoff_ = false;
  bool feeding_ = false;
  std::deque<std::uint8_t> in_;
  std::vector<std::uint8_t> out_;
  std::string slavePath_;
  int master_ = -1;
  int slaveKeep_ = -1;
  BenchStats stats_;
  std::int64_t wallStartNs_ = 0;
  std::int64_t lastActivityWallNs_ = 0;
  std::uint64_t anchorCycle_ = 0;  // real-time pacing: simulated and wall time at the anchor
  std::int64_t anchorWallNs_ = 0;
  bool paced_ = false;
  std::uint64_t sleptNs_ = 0;
  bool bootloader_ = false;
  bool halted_ = false;   // crashed: stopped until the next reset
  bool holding_ = false;  // in the reset's time-out until holdUntilWallNs_
  std::int64_t holdUntilWallNs_ = 0;
  bool paceUntilInput_ = false;   // after a reset: real time until the host sends
  std::uint64_t inputCycle_ = 0;  // the bench's cycle and the wall clock at the host's last byte
  std::int64_t inputWallNs_ = 0;
  std::uint32_t bootStart_ = 0;
  int (*flashIoctl_)(avr_io_t*, std::uint32_t, void*) = nullptr;
  int openWatch_ = -1;           // inotify descriptor: the host opening the slave
  std::uint64_t cycleBase_ = 0;  // cycles counted before simavr's last reset
  std::uint64_t cycleAtReset_ = 0;
  bool resetSeen_ = false;
  void (*coreReset_)(avr_t*) = nullptr;
  ClockPin clockPin_;  // the firmware's clock for the chip's XTAL1 (ISP header only)
};

}  // namespace bq::avrsim
