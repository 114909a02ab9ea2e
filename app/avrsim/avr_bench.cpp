#include "app/avrsim/avr_bench.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

extern "C" {
#include <simavr/avr_flash.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_spi.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_cycle_timers.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_io.h>
#include <simavr/sim_irq.h>
#include <simavr/sim_regbit.h>
}

#include "app/avrsim/updi_header.h"
#include "image/image_file.h"
#include "image/memory_buffer.h"
#include "platform/posix/raw_pseudo_terminal.h"
#include "platform/posix/termios_rates.h"

namespace bq::avrsim {
namespace {

constexpr std::uint32_t kCpuHz = 16000000;
// USART0's status A (U2X is bit 1) and rate divider in data space, the same on both chips.
constexpr unsigned kUcsr0a = 0xC0;
constexpr unsigned kUbrr0l = 0xC4;
constexpr unsigned kUbrr0h = 0xC5;
// A rate and the host's may differ by this much (per mille) before characters are lost.
constexpr std::uint32_t kRateToleranceMille = 45;
// The SPI's clock dividers by SPR1:0 (SPI2X halves them): fosc/4, /16, /64, /128.
constexpr unsigned kSpiDividers[4] = {4, 16, 64, 128};
// SPSR's write collision flag: SPDR written while a byte is being shifted out.
constexpr std::uint8_t kWcol = 0x40;
// Simulated time run between two looks at the pseudo-terminal: 0.1 ms, so the bench adds
// little to the time an answer takes to reach the host.
constexpr avr_cycle_count_t kSliceCycles = kCpuHz / 10000;
// With the line quiet this long (wall clock), the bench falls back to real time.
constexpr std::int64_t kIdleAfterNs = 1000000000;
// MCUSR in data space and its external reset flag, the same on both chips.
constexpr unsigned kMcusr = 0x54;
constexpr std::uint8_t kExtrf = 0x02;
// The delay from a reset to the first instruction with the low fuse the boards ship with
// (FF: CKSEL 1111, SUT 11, a crystal): "16K CK/14 CK + 65 ms" in the ATDF's SUT_CKSEL
// values, of which a reset takes the 14 CK + 65 ms.
constexpr Nanos kResetDelayNs = 65000000;
// With a bootloader, how far the board may run ahead of the wall clock since the host's
// last byte: well inside a bootloader's time-out (optiboot's is about a second).
constexpr std::int64_t kMostLeadNs = 200000000;
// How far a bootloader's bytes may run past the end of the flash (see LoadBootloader).
constexpr std::uint32_t kMostPastTheEnd = 256;

std::int64_t WallNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

Nanos CycleToNs(avr_cycle_count_t cycle) {
  return cycle * 125 / 2;
}

avr_cycle_count_t NsToCycle(Nanos ns) {  // rounded up
  return (ns / 125) * 2 + ((ns % 125) * 2 + 124) / 125;
}

// simavr's messages go to standard error (standard output carries the device path only);
// below errors only: a chatty firmware load or UART warning is no news for the user.
void Logger(avr_t* avr, const int level, const char* format, va_list ap) {
  if (level > (avr ? static_cast<int>(avr->log) : static_cast<int>(LOG_ERROR))) return;
  std::vfprintf(stderr, format, ap);
}

}  // namespace

AvrBench::AvrBench(BenchSetup setup) : setup_(setup) {}

Nanos AvrBench::Now() const {
  return std::max(CycleToNs(Cycle()), lastTime_);
}

bool AvrBench::Load(const std::string& elfPath, const std::string& bootloaderPath,
                    std::string& error) {
  avr_global_logger_set(&Logger);
  elf_firmware_t firmware{};
  if (!elfPath.empty() && (::access(elfPath.c_str(), R_OK) != 0 ||
                           elf_read_firmware(elfPath.c_str(), &firmware) != 0)) {
    error = "cannot read the firmware " + elfPath;
    return false;
  }
  const char* mcu = setup_.board == Board::Uno ? "atmega328p" : "atmega2560";
  avr_ = avr_make_mcu_by_name(mcu);
  if (!avr_ || avr_init(avr_) != 0) {
    error = std::string("simavr has no ") + mcu;
    return false;
  }
  g_bench = this;
  coreReset_ = avr_->reset;
  avr_->reset = &AvrBench::OnCoreReset;
  if (!elfPath.empty()) {
    firmware.frequency = kCpuHz;
    avr_load_firmware(avr_, &firmware);
  }
  if (!bootloaderPath.empty() && !LoadBootloader(bootloaderPath, error)) return false;
  avr_->frequency = kCpuHz;
  avr_->log = LOG_ERROR;
  avr_->sleep = &AvrBench::NoSleep;  // the bench paces itself (Service)

  // Serial line: no console copy, no sleeping while the firmware polls the status.
  std::uint32_t flags = 0;
  avr_ioctl(avr_, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
  flags &= ~std::uint32_t{AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO};
  avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
  uartIn_ = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                          &AvrBench::OnUartOut, this);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON),
                          &AvrBench::OnUartXon, this);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                          &AvrBench::OnUartXoff, this);

  if (setup_.updi) setup_.updi->Attach(avr_);

  // simavr's SPI finishes every byte a fixed 100 us after the write of SPDR, whatever the
  // clock: the bench takes SPDR over and times each byte itself (OnSpdrWrite).
  for (avr_io_t* io = avr_->io_port; io != nullptr; io = io->next) {
    if (io->irq_ioctl_get == AVR_IOCTL_SPI_GETIRQ(0)) spi_ = reinterpret_cast<avr_spi_t*>(io);
  }
  if (spi_ == nullptr) {
    error = std::string("simavr's ") + mcu + " has no SPI";
    return false;
  }
  avr_->io[AVR_DATA_TO_IO(spi_->r_spdr)].w.c = &AvrBench::OnSpdrWrite;
  avr_->io[AVR_DATA_TO_IO(spi_->r_spdr)].w.param = this;
  avr_->io[AVR_DATA_TO_IO(spi_->r_spdr)].r.c = &AvrBench::OnSpdrRead;
  avr_->io[AVR_DATA_TO_IO(spi_->r_spdr)].r.param = this;
  spsrRead_ = avr_->io[AVR_DATA_TO_IO(spi_->r_spsr)].r.c;
  spsrReadParam_ = avr_->io[AVR_DATA_TO_IO(spi_->r_spsr)].r.param;
  avr_->io[AVR_DATA_TO_IO(spi_->r_spsr)].r.c = &AvrBench::OnSpsrRead;
  avr_->io[AVR_DATA_TO_IO(spi_->r_spsr)].r.param = this;

  if (setup_.target) {
    for (const Wire& wire : WiresFor(setup_.board, setup_.place)) {
      WireState state;
      state.wire = wire;
      state.irq = avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ(wire.port), wire.bit);
      wires_.push_back(state);
      const bool hooked = std::any_of(hooks_.begin(), hooks_.end(),
                                      [&](const PortHook& h) { return h.port == wire.port; });
      if (!hooked) hooks_.push_back({this, wire.port});
    }
    // A port write raises the port's REG_PORT IRQ after the register changed; a direction
    // change raises DIRECTION_ALL with the new DDR (the register may not hold it yet). The
    // "all pins" IRQ is no use: simavr raises it only when the pins' value changes.
    for (PortHook& hook : hooks_) {
      avr_irq_register_notify(
          avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ(hook.port), IOPORT_IRQ_REG_PORT),
          &AvrBench::OnPortWrite, &hook);
      avr_irq_register_notify(
          avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ(hook.port), IOPORT_IRQ_DIRECTION_ALL),
          &AvrBench::OnDirectionChange, &hook);
    }
    // On the ISP header the chip is powered by its own board all along, and the ISP cable's
    // clock lead takes the firmware's clock pin to its XTAL1.
    if (setup_.place == Place::Isp) {
      setup_.target->Drive(Pin::Vcc, Level::High, 0);
      const Wire lead = ClockLead(setup_.board);
      clockPin_.Attach(avr_, lead.port, lead.bit, kCpuHz,
                       [this](std::uint32_t hz) { ClockOnXtal1(hz); });
    }
    for (const PortHook& hook : hooks_) Sync(hook.port, -1);
  }
  if (bootloader_) ExternalReset();
  return true;
}

BootSection ShippedBootSection(Board board) {
  // High fuse bits 2:1 (BOOTSZ) pick the boot section: 3 is the smallest (256 words on the
  // ATmega328P, 512 on the ATmega2560), each step down doubles it; it ends with the flash.
  // Bit 0 (BOOTRST) programmed: the reset vector is the section's start.
  const bool uno = board == Board::Uno;
  BootSection boot;
  boot.highFuse = uno ? 0xDE : 0xD8;
  const std::uint32_t smallest = uno ? 512 : 1024;
  const std::uint32_t flash = uno ? 32u * 1024 : 256u * 1024;
  boot.bytes = smallest << (3 - ((boot.highFuse >> 1) & 3));
  boot.start = flash - boot.bytes;
  return boot;
}

bool AvrBench::LoadBootloader(const std::string& path, std::string& error) {
  MemoryBuffer image(kFlashBufferBytes);
  const ImageLoadResult loaded = LoadImage(image, path, ImageFormat::IntelHex);
  if (loaded.count == 0) {
    error =
        loaded.error.empty() ? "cannot read the bootloader " + path + ": not found" : loaded.error;
    return false;
  }
  const BootSection boot = ShippedBootSection(setup_.board);
  const std::uint32_t flashBytes = avr_->flashend + 1;
  bool inBoot = false;
  std::uint32_t last = 0;
  for (const auto& [first, end] : loaded.held) {
    inBoot |= end > boot.start;
    last = std::max(last, end);
  }
  // Some builds of a bootloader run a few bytes past the end of the flash (a newer compiler
  // made the code longer than its section). A real chip has no flash there; the bench keeps
  // them right after the end, so the bootloader runs as it was built, and says so.
  if (last > flashBytes + kMostPastTheEnd) {
    error = path + " holds bytes up to " + std::to_string(last) + ", beyond the " +
            std::to_string(flashBytes) + " bytes of the flash: it is not for this board";
    return false;
  }
  if (!inBoot) {
    char start[16];
    std::snprintf(start, sizeof start, "0x%05X", static_cast<unsigned>(boot.start));
    error = path + " holds nothing in the boot section from " + start +
            ": it is not a bootloader for this board";
    return false;
  }
  if (last > flashBytes) {
    auto* grown = static_cast<std::uint8_t*>(std::realloc(avr_->flash, last));
    if (grown == nullptr) {
      error = "no memory for the flash";
      return false;
    }
    std::fill(grown + flashBytes, grown + last, 0xFF);
    avr_->flash = grown;
    avr_->flashend = last - 1;
    std::fprintf(stderr,
                 "note: %s holds %u bytes past the end of the flash (0x%05X to 0x%05X), where a "
                 "real chip has none: a programmer refuses them or wraps them to address 0; "
                 "the bench keeps them after the end so the bootloader runs as it was built\n",
                 path.c_str(), static_cast<unsigned>(last - flashBytes),
                 static_cast<unsigned>(flashBytes), static_cast<unsigned>(last - 1));
  }
  for (const auto& [first, end] : loaded.held) {
    std::copy(image.data() + first, image.data() + end, avr_->flash + first);
  }
  avr_->fuse[AVR_FUSE_HIGH] = boot.highFuse;
  avr_->reset_pc = boot.start;
  bootStart_ = boot.start;
  // The chip carries out SPM only from the boot section; simavr would from anywhere, and
  // the bytes a host wrote, run as an application, then rewrite the flash.
  for (avr_io_t* io = avr_->io_port; io != nullptr; io = io->next) {
    if (io->kind != nullptr && std::string_view(io->kind) == "flash" && io->ioctl != nullptr) {
      flashIoctl_ = io->ioctl;
      io->ioctl = &AvrBench::OnFlashIoctl;
    }
  }
  // Code may run anywhere in the flash: what the bootloader writes, the bootloader itself.
  avr_->codeend = avr_->flashend;
  bootloader_ = true;
  return true;
}

AvrBench* AvrBench::g_bench = nullptr;

void AvrBench::OnCoreReset(avr_t* avr) {
  AvrBench* self = g_bench;
  if (self == nullptr) return;
  if (self->coreReset_ != nullptr) self->coreReset_(avr);
  self->cycleAtReset_ = avr->cycle;
  self->resetSeen_ = true;
}

int AvrBench::OnFlashIoctl(avr_io_t* io, std::uint32_t ctl, void* param) {
  AvrBench* self = g_bench;
  if (ctl == AVR_IOCTL_FLASH_SPM && self->avr_->pc < self->bootStart_) return 0;
  return self->flashIoctl_(io, ctl, param);
}

std::uint64_t AvrBench::Cycle() const {
  return cycleBase_ + avr_->cycle;
}

void AvrBench::ExternalReset() {
  halted_ = false;
  avr_reset(avr_);
  AfterReset();
  // What the last host sent and what it left unread belong to that host.
  in_.clear();
  out_.clear();
  // MCUSR: only EXTRF, as the reset pin leaves it (a bootloader reads it to know why it runs).
  avr_->data[kMcusr] = kExtrf;
}

// simavr's reset drops the cycle timers and may count cycles from 0 again: keep the bench's
// time running on, and put back what it had scheduled.
void AvrBench::AfterReset() {
  if (!resetSeen_) return;
  resetSeen_ = false;
  if (avr_->cycle < cycleAtReset_) cycleBase_ += cycleAtReset_ - avr_->cycle;
  ++stats_.resets;
  // A board that has just started waits for the host on the host's clock (a bootloader gives
  // up after its time-out): real time until the host sends again.
  paceUntilInput_ = true;
  holding_ = true;
  holdUntilWallNs_ = WallNs() + static_cast<std::int64_t>(kResetDelayNs);
  xoff_ = false;
  feeding_ = false;
  spiBusy_ = false;   // the reset dropped the byte's timer with the others
  clockPin_.Reset();  // the timer that made the clock is stopped, its pin an input
  if (setup_.target) {
    for (WireState& w : wires_) w.input = -1;
    for (const PortHook& hook : hooks_) Sync(hook.port, -1);
  }
}

bool AvrBench::OpenPty(std::string& error) {
  RawPseudoTerminal pty;
  if (!OpenRawPseudoTerminal(pty)) {
    error = "cannot create a pseudo-terminal";
    return false;
  }
  master_ = pty.master;
  slaveKeep_ = pty.slaveKeep;
  slavePath_ = pty.slavePath;
  wallStartNs_ = WallNs();
  lastActivityWallNs_ = wallStartNs_;
  if (bootloader_) WatchHostOpens();
  return true;
}

// A pseudo-terminal has no DTR line: a host opening the slave is what raises it on a real
// board's USB serial chip, whose DTR pulses the reset pin through a capacitor.
void AvrBench::WatchHostOpens() {
  openWatch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (openWatch_ >= 0 && ::inotify_add_watch(openWatch_, slavePath_.c_str(), IN_OPEN) < 0) {
    ::close(openWatch_);
    openWatch_ = -1;
  }
  if (openWatch_ < 0) {
    std::fprintf(stderr,
                 "brindlequartz-avrsim: cannot watch %s for opens: no reset when a host "
                 "opens the line\n",
                 slavePath_.c_str());
  }
}

bool AvrBench::BoardPin(char port, std::uint8_t bit, bool& ddr, bool& out, int ddrNow) const {
  avr_ioport_state_t state{};
  if (avr_ioctl(avr_, AVR_IOCTL_IOPORT_GETSTATE(port), &state) != 0) return false;
  ddr = ((ddrNow >= 0 ? static_cast<unsigned>(ddrNow) : state.ddr) >> bit) & 1;
  out = (state.port >> bit) & 1;
  return true;
}

void AvrBench::Sync(char port, int ddrNow) {
  if (syncing_ || !setup_.target) return;
  syncing_ = true;
  const Nanos now = Now();
  lastTime_ = now;
  bool ddr = false, out = false;
  for (WireState& w : wires_) {
    if (w.wire.port != port || !BoardPin(port, w.wire.bit, ddr, out, ddrNow)) continue;
    // An input with its pull-up on is a weak high; without, the board lets the line float.
    const Level board = ddr ? (out ? Level::High : Level::Low) : (out ? Level::High : Level::Float);
    Level level = board;
    if (w.wire.role == WireRole::Supply) {
      level = board == Level::High ? Level::High : Level::Low;
    } else if (w.wire.role == WireRole::HighVoltage) {
      level = board == Level::High && setup_.twelveVolts ? Level::Vpp : Level::Low;
    }
    if (!w.driven || level != w.level) {
      w.driven = true;
      w.level = level;
      if (setup_.trace) {
        static const char* const kLevels[] = {"low", "high", "float", "12 V"};
        std::fprintf(stderr, "trace: %llu ns %s %s\n", static_cast<unsigned long long>(now),
                     PinName(w.wire.pin), kLevels[static_cast<int>(level)]);
      }
      setup_.target->Drive(w.wire.pin, level, now);
    }
  }
  UpdateInputs(now, port, ddrNow);
  syncing_ = false;
}

void AvrBench::UpdateInputs(Nanos now, char port, int ddrNow) {
  const bool wasSyncing = syncing_;
  syncing_ = true;  // our own raises come back through the port's IRQs
  bool ddr = false, out = false;
  for (WireState& w : wires_) {
    if (!IsChipOutput(w.wire.pin)) continue;
    if (!BoardPin(w.wire.port, w.wire.bit, ddr, out, w.wire.port == port ? ddrNow : -1)) continue;
    const bool pullUp = !ddr && out;
    const Level chip = setup_.target->Read(w.wire.pin, now);
    const int input = chip == Level::Float ? (pullUp ? 1 : 0) : (chip == Level::Low ? 0 : 1);
    if (input == w.input) continue;
    w.input = input;
    // simavr lets a pull-up override what drives an input whenever the port is written,
    // unless the port's "external" level says otherwise: keep that at the chip's level.
    PortHook& hook = HookFor(w.wire.port);
    const auto bit = static_cast<std::uint8_t>(1u << w.wire.bit);
    hook.externalMask |= bit;
    hook.externalValue =
        static_cast<std::uint8_t>(input ? hook.externalValue | bit : hook.externalValue & ~bit);
    avr_ioport_external_t external{};
    external.name = static_cast<unsigned char>(w.wire.port);
    external.mask = hook.externalMask;
    external.value = hook.externalValue;
    avr_ioctl(avr_, AVR_IOCTL_IOPORT_SET_EXTERNAL(w.wire.port), &external);
    avr_raise_irq(w.irq, static_cast<std::uint32_t>(input));
  }
  syncing_ = wasSyncing;
  Reschedule(now);
}

void AvrBench::ClockOnXtal1(std::uint32_t hz) {
  const Nanos now = Now();
  lastTime_ = now;
  // Said always, not only with --trace: the clock runs only when a host asks for it.
  if (hz != 0) {
    std::fprintf(stderr, "note: XTAL1: the board's clock lead runs at %u Hz (%llu ns)\n", hz,
                 static_cast<unsigned long long>(now));
  } else {
    std::fprintf(stderr, "note: XTAL1: the board's clock lead stopped (%llu ns)\n",
                 static_cast<unsigned long long>(now));
  }
  setup_.target->ClockOnXtal1(hz, now);
  UpdateInputs(now, 0, -1);  // a chip that lost its clock lets MISO go
}

AvrBench::PortHook& AvrBench::HookFor(char port) {
  for (PortHook& hook : hooks_) {
    if (hook.port == port) return hook;
  }
  return hooks_.front();  // every wired port has a hook
}

void AvrBench::Reschedule(Nanos now) {
  if (inTargetTimer_) return;  // the timer returns its own next time
  avr_cycle_timer_cancel(avr_, &AvrBench::OnTargetTimer, this);
  const Nanos next = setup_.target->NextChange(now);
  if (next == kNever) return;
  const avr_cycle_count_t at = NsToCycle(next);
  avr_cycle_timer_register(avr_, at > Cycle() ? at - Cycle() : 1, &AvrBench::OnTargetTimer, this);
}

avr_cycle_count_t AvrBench::OnTargetTimer(avr_t* avr, avr_cycle_count_t when, void* param) {
  auto* self = static_cast<AvrBench*>(param);
  (void)when;
  const Nanos now = self->Now();
  self->lastTime_ = now;
  self->inTargetTimer_ = true;
  self->UpdateInputs(now, 0, -1);
  self->inTargetTimer_ = false;
  const Nanos next = self->setup_.target->NextChange(now);
  if (next == kNever) return 0;
  const avr_cycle_count_t at = NsToCycle(next);  // the bench's count; simavr wants its own
  return at > self->Cycle() ? at - self->cycleBase_ : avr->cycle + 1;
}

void AvrBench::OnPortWrite(avr_irq_t*, std::uint32_t, void* param) {
  auto* hook = static_cast<PortHook*>(param);
  hook->bench->Sync(hook->port, -1);
}

void AvrBench::OnDirectionChange(avr_irq_t*, std::uint32_t value, void* param) {
  auto* hook = static_cast<PortHook*>(param);
  hook->bench->Sync(hook->port, static_cast<int>(value & 0xFF));
}

std::uint8_t AvrBench::SpiByte(std::uint8_t mosi, std::uint32_t sckHz, Nanos start) {
  if (!setup_.target || setup_.place != Place::Isp) {
    // Nothing drives MISO: the board reads its pull-up or a floating low.
    bool ddr = false, out = false;
    const char port = 'B';
    const std::uint8_t bit = setup_.board == Board::Uno ? 4 : 3;
    return BoardPin(port, bit, ddr, out, -1) && !ddr && out ? 0xFF : 0x00;
  }
  const Nanos now = Now();
  // The chip model's clock never runs back: a change it timed during the byte came first.
  const std::uint8_t miso = setup_.target->SpiByte(mosi, sckHz, std::max(start, lastTime_));
  lastTime_ = now;
  if (setup_.trace) {
    std::fprintf(stderr, "trace: %llu ns SPI %02X -> %02X at %u Hz\n",
                 static_cast<unsigned long long>(start), mosi, miso, sckHz);
  }
  UpdateInputs(now, 0, -1);
  return miso;
}

void AvrBench::SpdrAccess() {
  // SPIF and WCOL clear when SPDR is accessed after SPSR was read with them set, and only
  // then: an access with no status read in between leaves them.
  if (!spsrSeen_) return;
  spsrSeen_ = false;
  avr_regbit_clear(avr_, spi_->spi.raised);
  avr_->data[spi_->r_spsr] &= static_cast<std::uint8_t>(~kWcol);
}

void AvrBench::OnSpdrWrite(avr_t* avr, avr_io_addr_t addr, std::uint8_t value, void* param) {
  auto* self = static_cast<AvrBench*>(param);
  avr_spi_t* spi = self->spi_;
  self->SpdrAccess();
  if (self->spiBusy_) {
    // During a transfer the write is lost and WCOL says so; the byte on the wire goes on.
    avr->data[spi->r_spsr] |= kWcol;
    return;
  }
  avr_core_watch_write(avr, addr, value);
  if (!avr_regbit_get(avr, spi->spe) || !avr_regbit_get(avr, spi->mstr)) return;
  // A slave shifts only on another master's clock; no other master sits on this bus.
  const unsigned divider =
      kSpiDividers[avr_regbit_get(avr, spi->spr[1]) << 1 | avr_regbit_get(avr, spi->spr[0])] /
      (avr_regbit_get(avr, spi->spr[2]) ? 2u : 1u);
  self->spiBusy_ = true;
  self->spiMosi_ = value;
  self->spiSckHz_ = kCpuHz / divider;
  self->spiStart_ = self->Now();
  ++self->stats_.spiBytes;
  self->stats_.spiSckHz = self->spiSckHz_;
  avr_cycle_timer_register(avr, avr_cycle_count_t{8} * divider, &AvrBench::OnSpiDone, self);
}

avr_cycle_count_t AvrBench::OnSpiDone(avr_t* avr, avr_cycle_count_t, void* param) {
  auto* self = static_cast<AvrBench*>(param);
  self->spiBusy_ = false;
  // SPE cleared during the byte stops the SPI: no flag, no byte.
  if (!avr_regbit_get(avr, self->spi_->spe)) return 0;
  // The byte received goes to the receive buffer, where it stays readable while the next
  // one shifts; SPIF is set and the interrupt raised when SPIE enables it.
  self->spiReceived_ = self->SpiByte(self->spiMosi_, self->spiSckHz_, self->spiStart_);
  avr_raise_interrupt(avr, &self->spi_->spi);
  return 0;
}

std::uint8_t AvrBench::OnSpdrRead(avr_t*, avr_io_addr_t, void* param) {
  auto* self = static_cast<AvrBench*>(param);
  self->SpdrAccess();
  return self->spiReceived_;
}

std::uint8_t AvrBench::OnSpsrRead(avr_t* avr, avr_io_addr_t addr, void* param) {
  auto* self = static_cast<AvrBench*>(param);
  const std::uint8_t value =
      self->spsrRead_ ? self->spsrRead_(avr, addr, self->spsrReadParam_) : avr->data[addr];
  self->spsrSeen_ = avr_regbit_get(avr, self->spi_->spi.raised) || (value & kWcol) != 0;
  return value;
}

void AvrBench::OnUartOut(avr_irq_t*, std::uint32_t value, void* param) {
  auto* self = static_cast<AvrBench*>(param);
  if (self->out_.size() < 65536) self->out_.push_back(static_cast<std::uint8_t>(value));
  ++self->stats_.bytesOut;
  self->stats_.lastByteOut = CycleToNs(self->Cycle() + self->CyclesPerByte());
}

void AvrBench::OnUartXon(avr_irq_t*, std::uint32_t, void* param) {
  static_cast<AvrBench*>(param)->xoff_ = false;
}

void AvrBench::OnUartXoff(avr_irq_t*, std::uint32_t, void* param) {
  static_cast<AvrBench*>(param)->xoff_ = true;
}

avr_cycle_count_t AvrBench::OnFeedTimer(avr_t*, avr_cycle_count_t when, void* param) {
  auto* self = static_cast<AvrBench*>(param);
  if (!self->in_.empty() && !self->xoff_) self->FeedByte();
  if (self->in_.empty()) {
    self->feeding_ = false;
    return 0;
  }
  return when + self->CyclesPerByte();
}

void AvrBench::FeedByte() {
  const std::uint8_t byte = in_.front();
  in_.pop_front();
  if (stats_.bytesIn++ == 0) stats_.firstByteIn = CycleToNs(Cycle());
  avr_raise_irq(uartIn_, byte);
}

avr_cycle_count_t AvrBench::CyclesPerByte() const {
  // 10 bits of 16 (8 with U2X) x (UBRR + 1) cycles: 1360 at 115200 baud, 80 at 1000000.
  const unsigned ubrr = (avr_->data[kUbrr0h] & 0x0Fu) << 8 | avr_->data[kUbrr0l];
  const unsigned perBit = (avr_->data[kUcsr0a] & 0x02u) ? 8u : 16u;
  return avr_cycle_count_t{10} * perBit * (ubrr + 1);
}

bool AvrBench::LineInStep() const {
  // Only a fast line is checked: a bootloader's or a terminal's near-115200 is taken as is.
  termios tio{};
  if (::tcgetattr(master_, &tio) != 0) return true;
  const std::uint64_t host = BaudFor(::cfgetospeed(&tio));
  const std::uint64_t board = kCpuHz * 10ull / CyclesPerByte();
  if (setup_.lineLimit != 0 && host > setup_.lineLimit) return false;
  if (host == 0 || (host < 460800 && board < 460800)) return true;
  const std::uint64_t off = host > board ? host - board : board - host;
  return off * 1000 <= board * kRateToleranceMille;
}

void AvrBench::NoSleep(avr_t*, avr_cycle_count_t) {}

bool AvrBench::RunSlice(std::string& why) {
  if (holding_) {
    // The reset's time-out: the chip does not run yet and its UART takes nothing, for as
    // long on the wall clock as on the chip, so a host that writes right after opening the
    // line loses those bytes as it does with a real board.
    if (WallNs() < holdUntilWallNs_) {
      pollfd fds[2] = {{master_, POLLIN, 0}, {openWatch_, POLLIN, 0}};
      ::poll(fds, 2, 1);
      Service(false);
      return true;
    }
    holding_ = false;
    // The bench's clock moves on; simavr's own (its watchdog's timer) stood still in reset.
    cycleBase_ += NsToCycle(kResetDelayNs);
  }
  if (halted_) {
    // A board that ran into code it cannot execute stays there until its reset pin is
    // pulsed: serve the line, wait for a host to open it.
    pollfd fds[2] = {{master_, POLLIN, 0}, {openWatch_, POLLIN, 0}};
    ::poll(fds, 2, 10);
    Service(false);
    return true;
  }
  const std::uint64_t end = Cycle() + kSliceCycles;
  while (Cycle() < end) {
    const avr_flashaddr_t pc = avr_->pc;
    const int state = avr_run(avr_);
    if (resetSeen_) {  // the watchdog's: the time-out follows
      AfterReset();
      break;
    }
    if (state == cpu_Crashed && bootloader_) {
      // What a bootloader starts may be any bytes a host wrote: a real chip runs off into
      // them; simavr stops at what is no instruction.
      std::fprintf(stderr,
                   "note: the program crashed at 0x%05X; the board waits for a reset "
                   "(a host opening the line)\n",
                   static_cast<unsigned>(pc));
      halted_ = true;
      return true;
    }
    if (state == cpu_Done || state == cpu_Crashed) {
      why = state == cpu_Crashed ? "the firmware crashed"
                                 : "the firmware stopped (sleep with interrupts off)";
      return false;
    }
  }
  Service(true);
  return true;
}

void AvrBench::Service(bool mayWait) {
  std::array<std::uint8_t, 4096> buffer{};
  if (openWatch_ >= 0) {
    alignas(inotify_event) char events[4096];
    bool opened = false;
    for (ssize_t n; (n = ::read(openWatch_, events, sizeof events)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        opened |= (event->mask & IN_OPEN) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (opened) {
      ExternalReset();
      lastActivityWallNs_ = WallNs();
    }
  }
  const auto readMaster = [&] {
    if (in_.size() >= 65536) return;
    const ssize_t n = ::read(master_, buffer.data(), buffer.size());
    if (n <= 0) return;
    lastActivityWallNs_ = WallNs();
    if (!LineInStep()) return;  // the board's UART hears only framing errors
    if (!holding_) paceUntilInput_ = false;
    inputCycle_ = Cycle();
    inputWallNs_ = WallNs();
    in_.insert(in_.end(), buffer.begin(), buffer.begin() + n);
    lastActivityWallNs_ = WallNs();
  };
  readMaster();
  if (holding_) in_.clear();                         // a chip in reset receives nothing
  if (!out_.empty() && !LineInStep()) out_.clear();  // the host's UART makes nothing of them
  if (!out_.empty()) {
    const ssize_t n = ::write(master_, out_.data(), out_.size());
    if (n > 0) out_.erase(out_.begin(), out_.begin() + n);
    lastActivityWallNs_ = WallNs();
  }

  // Run free while the host and the board talk; otherwise keep to the wall clock, so an idle
  // bench costs no processor time and simulated waits last as long as on a real board.
  const std::int64_t wall = WallNs();
  // A bootloader times out on the host: running far ahead of the wall clock while the host
  // thinks would shorten its waits. Since the host's last byte, run ahead by kMostLeadNs at
  // most.
  const bool leadUsed = bootloader_ && static_cast<std::int64_t>(CycleToNs(Cycle() - inputCycle_)) -
                                               (wall - inputWallNs_) >
                                           kMostLeadNs;
  const bool pace = setup_.realTime || (in_.empty() && (paceUntilInput_ || leadUsed)) ||
                    (in_.empty() && wall - lastActivityWallNs_ > kIdleAfterNs);
  if (pace && !paced_) {
    anchorCycle_ = Cycle();
    anchorWallNs_ = wall;
  }
  paced_ = pace;
  if (pace && mayWait) {
    const std::int64_t simNs = static_cast<std::int64_t>(CycleToNs(Cycle() - anchorCycle_));
    const std::int64_t ahead = simNs - (wall - anchorWallNs_);
    if (ahead < -50000000) {  // far behind: do not race to catch up
      anchorCycle_ = Cycle();
      anchorWallNs_ = wall;
    } else if (ahead > 1000000) {
      pollfd fds[2] = {{master_, POLLIN, 0}, {openWatch_, POLLIN, 0}};
      timespec ts{ahead / 1000000000, ahead % 1000000000};
      ::ppoll(fds, openWatch_ >= 0 ? 2 : 1, &ts, nullptr);
      sleptNs_ += static_cast<std::uint64_t>(WallNs() - wall);
      readMaster();
    }
  }
  if (!in_.empty() && !feeding_) {
    feeding_ = true;
    avr_cycle_timer_register(avr_, CyclesPerByte(), &AvrBench::OnFeedTimer, this);
  }
}

BenchStats AvrBench::Stats() const {
  BenchStats stats = stats_;
  stats.now = avr_ ? CycleToNs(Cycle()) : 0;
  stats.wallSeconds = static_cast<double>(WallNs() - wallStartNs_) / 1e9;
  stats.sleptSeconds = static_cast<double>(sleptNs_) / 1e9;
  return stats;
}

}  // namespace bq::avrsim
