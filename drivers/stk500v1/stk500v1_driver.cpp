#include "drivers/stk500v1/stk500v1_driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace bq {

namespace {

using namespace stk500v1;

constexpr std::uint32_t kReadBlockBytes = 256;   // the largest block READ_PAGE carries
constexpr std::uint32_t kEepromBlockBytes = 128;  // EEPROM writes go in blocks of this size
// What the datasheets give as the longest wait after each kind of write when the ready flag
// is not polled (tWD_ERASE 9 ms and tWD_FUSE 4.5 ms, with room).
constexpr auto kEraseWait = std::chrono::milliseconds(20);
constexpr auto kFuseWait = std::chrono::milliseconds(10);

std::uint8_t Hi(std::uint32_t v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }
std::uint8_t Lo(std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFF); }

std::uint8_t LinkStatusFor(ExchangeStatus status) {
  switch (status) {
    case ExchangeStatus::WriteFailed:
      return STATUS_WRITE_FAILED;
    case ExchangeStatus::NoAnswer:
      return STATUS_NO_ANSWER;
    case ExchangeStatus::Short:
      return STATUS_SHORT_ANSWER;
    case ExchangeStatus::NoSync:
      return STATUS_OUT_OF_STEP;
    default:
      return STATUS_BAD_HEADER;
  }
}

}  // namespace

Stk500v1Driver::Stk500v1Driver() = default;
Stk500v1Driver::~Stk500v1Driver() { Close(); }

const ProgrammerInfo& Stk500v1Driver::Info() const { return InfoFor(ProgrammerKind::Stk500v1); }

bool Stk500v1Driver::Open(SerialPort& port, const std::string& name, std::string* why) {
  Close();
  cancelled_.store(false);
  LineSettings line;
  line.baud = Baud();
  line.protocol = Info().name;
  if (!port.OpenPort(name, line)) {
    if (why != nullptr) *why = port.LastOpenError();
    return false;
  }
  port_ = &port;
  connection_ = port.Hold();
  if (!connection_) {
    Close();
    return false;
  }
  link_ = std::make_unique<Link>(*connection_);
  const int wait = connection_->MayRestartDeviceOnOpen() ? kDeviceStartupMs + 1500 : 1000;
  if (link_->Sync(wait)) return true;
  if (why != nullptr) {
    *why = "No STK500 version 1 programmer answers on " + name + " at " +
           std::to_string(line.baud) +
           " baud. Check the programmer (-c), its sketch (Arduino as ISP) and the baud rate "
           "(--baud).";
  }
  Close();
  return false;
}

void Stk500v1Driver::Close() {
  closing_ = true;
  if (link_ && programming_) LeaveProgramming();
  closing_ = false;
  bootloader_ = false;
  bootloaderChecked_ = false;
  eepromChecked_ = false;
  programming_ = false;
  deviceSet_ = false;
  extendedAddress_ = -1;
  link_.reset();
  connection_.reset();
  if (port_ != nullptr) port_->ClosePort();
  port_ = nullptr;
}

bool Stk500v1Driver::IsOpen() const {
  return link_ != nullptr && port_ != nullptr && port_->IsOpen();
}

void Stk500v1Driver::SetPart(const std::string& name, const PartRecord* part) {
  if (name != partName_) {
    if (programming_) LeaveProgramming();
    deviceSet_ = false;
  }
  ProgrammerDriver::SetPart(name, part);
}

SessionResult Stk500v1Driver::HighVoltageRefused() {
  return Failed(SessionStatus::Refused, 0,
                "An STK500 version 1 programmer programs over ISP only: use -m isp, or a "
                "programmer with a high-voltage socket");
}

SessionResult Stk500v1Driver::Command(const std::vector<std::uint8_t>& command,
                                      std::size_t answerBytes, std::vector<std::uint8_t>& data,
                                      std::uint8_t failure, int timeoutMs) {
  if (cancelled_.load()) {
    return Failed(SessionStatus::Cancelled, STATUS_CANCELLED, LinkStatusText(STATUS_CANCELLED));
  }
  if (!IsOpen()) return {SessionStatus::PortNotOpen, 0, kPortNotOpenText};
  const ExchangeStatus status = link_->Exchange(command, answerBytes, data, timeoutMs);
  switch (status) {
    case ExchangeStatus::Ok:
      return {};
    case ExchangeStatus::Failed:
    case ExchangeStatus::NoDevice:
      return Failed(SessionStatus::DeviceError, failure, LinkStatusText(failure));
    case ExchangeStatus::Unknown:
      return Failed(SessionStatus::DeviceError, STATUS_DEVICE_UNKNOWN_COMMAND,
                    LinkStatusText(STATUS_DEVICE_UNKNOWN_COMMAND));
    default:
      break;
  }
  // Out of step: get back in step, so the next command meets a programmer that listens.
  link_->Sync(500);
  return Failed(SessionStatus::LinkError, LinkStatusFor(status),
                "STK500 version 1: " + ExchangeStatusText(status));
}

SessionResult Stk500v1Driver::Universal(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                        std::uint8_t b4, std::uint8_t& out, std::uint8_t failure) {
  std::vector<std::uint8_t> data;
  SessionResult r = Command({kUniversal, b1, b2, b3, b4}, 1, data, failure);
  out = r.ok() ? data[0] : 0;
  return r;
}

SessionResult Stk500v1Driver::Versions(ProgrammerVersions& out) {
  out = {};
  std::vector<std::uint8_t> data;
  std::uint8_t values[3] = {};
  const std::uint8_t params[3] = {kParamHardwareVersion, kParamSoftwareMajor, kParamSoftwareMinor};
  for (int i = 0; i < 3; ++i) {
    if (SessionResult r = Command({kGetParameter, params[i]}, 1, data, STATUS_DEVICE_UNKNOWN_COMMAND);
        !r.ok()) {
      return r;
    }
    values[i] = data[0];
  }
  out.hardware = std::uint32_t{values[0]} << 8;
  out.firmware = (std::uint32_t{values[1]} << 8) | values[2];
  return {};
}

SessionResult Stk500v1Driver::EnterProgramming() {
  if (mode_ != PROG_MODE_ISP && mode_ != PROG_MODE_NONE) return HighVoltageRefused();
  if (programming_ && bootloaderChecked_) return {};
  if (!programming_) {
    if (SessionResult r = EnterProgrammingMode(); !r.ok()) return r;
  }
  if (!bootloaderChecked_) {
    // A board's bootloader answers like a programmer but passes no ISP instruction to a chip:
    // its own signature command gives the 0x1E every AVR starts with, the instruction Read
    // Signature Byte 0 through the universal command does not.
    std::uint8_t first = 0;
    std::vector<std::uint8_t> sign;
    if (SessionResult r = Command({kReadSign}, 3, sign, STATUS_DEVICE_UNKNOWN_COMMAND); !r.ok()) {
      return r;
    }
    const SessionResult universal =
        Universal(0x30, 0x00, 0x00, 0x00, first, STATUS_DEVICE_UNKNOWN_COMMAND);
    if (universal.status == SessionStatus::LinkError ||
        universal.status == SessionStatus::Cancelled) {
      return universal;
    }
    bootloaderChecked_ = true;
    if (universal.ok() && sign[0] == 0x1E && first != 0x1E) {
      bootloader_ = true;
      Log(LogKind::LogInfo,
          "The programmer is a board's bootloader: it programs the board's own flash, not "
          "fuses or lock bits, and does not erase the chip");
    }
  }
  return {};
}

SessionResult Stk500v1Driver::EnterProgrammingMode() {
  std::vector<std::uint8_t> data;
  if (!deviceSet_) {
    // The device parameters: what programmers of this kind need to write pages.
    const std::uint32_t pageBytes = part_ != nullptr ? part_->flashPageSizeW * 2u : 128u;
    const std::uint32_t eepromBytes = part_ != nullptr ? part_->EepromBytes() : 0u;
    const std::uint32_t flashBytes = part_ != nullptr ? part_->FlashBytes() : 0x8000u;
    std::uint8_t fuseBytes = 0;
    if (part_ != nullptr) {
      fuseBytes = static_cast<std::uint8_t>((part_->hasDefaultLow ? 1 : 0) +
                                            (part_->hasDefaultHigh ? 1 : 0) +
                                            (part_->hasDefaultExtended ? 1 : 0));
    }
    const std::vector<std::uint8_t> device = {
        kSetDevice, 0x00 /* device code: not used by ISP programmers */, 0x00, 0x00, 0x01,
        0x01, 0x01, 0x01, fuseBytes, 0xFF, 0xFF, 0xFF, 0xFF, Hi(pageBytes), Lo(pageBytes),
        Hi(eepromBytes), Lo(eepromBytes), static_cast<std::uint8_t>(flashBytes >> 24),
        static_cast<std::uint8_t>(flashBytes >> 16), Hi(flashBytes), Lo(flashBytes)};
    if (SessionResult r = Command(device, 0, data, STATUS_DEVICE_ENTER_PROG_MODE); !r.ok()) {
      return r;
    }
    // The extended parameters: a count that counts itself, then four bytes. Older
    // programmers do not know the command; they manage without it.
    const std::uint8_t eepromPage =
        static_cast<std::uint8_t>(part_ != nullptr ? part_->eepromPageSize : 0);
    bool hasRstdisbl = false;
    if (part_ != nullptr) {
      for (const auto& [row, field] : part_->fuseBits) hasRstdisbl |= field.name == "RSTDISBL";
    }
    const ExchangeStatus ext = link_->Exchange(
        {kSetDeviceExt, 0x05, eepromPage, 0xD7, 0xA0, hasRstdisbl ? std::uint8_t{1} : std::uint8_t{0}},
        0, data, 500);
    if (ext != ExchangeStatus::Ok && ext != ExchangeStatus::Unknown &&
        ext != ExchangeStatus::Failed) {
      link_->Sync(500);
    }
    deviceSet_ = true;
  }
  SessionResult r = Command({kEnterProgMode}, 0, data, STATUS_DEVICE_ENTER_PROG_MODE);
  if (!r.ok()) return r;
  programming_ = true;
  extendedAddress_ = -1;
  return {};
}

SessionResult Stk500v1Driver::BootloaderRefused(const std::string& what) {
  return Failed(SessionStatus::Refused, 0,
                "A bootloader cannot " + what + ": use an ISP programmer for that");
}

void Stk500v1Driver::LeaveProgramming() {
  // A bootloader leaves by starting the application: only at the end of the session.
  if (bootloader_ && !closing_) return;
  programming_ = false;
  if (!link_) return;
  std::vector<std::uint8_t> data;
  link_->Exchange({kLeaveProgMode}, 0, data, 500);
}

SessionResult Stk500v1Driver::ReadSignature(std::uint32_t& signature) {
  signature = 0;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  std::vector<std::uint8_t> data;
  SessionResult r = Command({kReadSign}, 3, data, STATUS_DEVICE_UNKNOWN_COMMAND);
  if (!r.ok()) return r;
  signature = (std::uint32_t{data[0]} << 16) | (std::uint32_t{data[1]} << 8) | data[2];
  return {};
}

SessionResult Stk500v1Driver::LoadAddress(bool flash, std::uint32_t byteAddress) {
  std::uint32_t address = byteAddress;
  if (flash || eepromWordAddresses_) address /= 2;
  if (flash && part_ != nullptr && part_->FlashBytes() > 128u * 1024u) {
    // Above 64K words the chip takes the high address byte from Load Extended Address.
    const int extended = static_cast<int>((address >> 16) & 0xFF);
    if (extended != extendedAddress_) {
      std::uint8_t ignored = 0;
      if (SessionResult r = Universal(0x4D, 0x00, static_cast<std::uint8_t>(extended), 0x00,
                                      ignored, STATUS_DEVICE_WRITE_MEMORY);
          !r.ok()) {
        return r;
      }
      extendedAddress_ = extended;
    }
  }
  std::vector<std::uint8_t> data;
  return Command({kLoadAddress, Lo(address), Hi(address)}, 0, data, STATUS_DEVICE_WRITE_MEMORY);
}

// Some bootloaders take an EEPROM request for a flash one (the Uno's optiboot reads and
// writes the flash then): the same first block from both memories gives them away.
SessionResult Stk500v1Driver::BootloaderEeprom() {
  if (eepromChecked_) {
    if (!eepromIsFlash_) return {};
    return BootloaderRefused("reach the EEPROM (it reads and writes the flash instead)");
  }
  std::vector<std::uint8_t> blocks[2];
  for (int i = 0; i < 2; ++i) {
    SessionResult r = LoadAddress(i == 0, 0);
    if (r.ok()) {
      r = Command({kReadPage, 0, kEepromBlockBytes, static_cast<std::uint8_t>(i == 0 ? 'F' : 'E')},
                  kEepromBlockBytes, blocks[i], STATUS_DEVICE_UNKNOWN_COMMAND);
    }
    if (!r.ok()) return r;
  }
  eepromChecked_ = true;
  eepromIsFlash_ = blocks[0] == blocks[1];
  return BootloaderEeprom();
}

SessionResult Stk500v1Driver::ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                         std::vector<std::uint8_t>& image) {
  image.clear();
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  const bool flash = memory.kind == MEMORY_FLASH;
  if (bootloader_ && !flash) {
    if (SessionResult r = BootloaderEeprom(); !r.ok()) return r;
  }
  const std::uint32_t total = memory.PageBytes() * pages;
  // Flash blocks stay within a page pair of 64K words so one extended address serves each.
  const std::uint32_t block = flash ? std::min(kReadBlockBytes, std::max<std::uint32_t>(memory.PageBytes(), 2))
                                    : std::min(kReadBlockBytes, std::max<std::uint32_t>(total, 1));
  std::vector<std::uint8_t> data;
  image.reserve(total);
  Progress({0, pages, false, false});
  while (image.size() < total) {
    const auto at = static_cast<std::uint32_t>(image.size());
    const std::uint32_t n = std::min(block, total - at);
    SessionResult r = LoadAddress(flash, at);
    if (r.ok()) {
      r = Command({kReadPage, Hi(n), Lo(n), static_cast<std::uint8_t>(flash ? 'F' : 'E')}, n, data,
                  STATUS_DEVICE_UNKNOWN_COMMAND);
    }
    if (!r.ok()) {
      Progress({0, 0, false, true});
      image.clear();
      return r;
    }
    image.insert(image.end(), data.begin(), data.end());
    Progress({static_cast<std::uint32_t>(image.size()) / memory.PageBytes(), pages, false, false});
  }
  Progress({pages, pages, false, true});
  return {};
}

SessionResult Stk500v1Driver::WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                          const std::vector<std::uint8_t>& image) {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  const bool flash = memory.kind == MEMORY_FLASH;
  if (bootloader_ && !flash) {
    if (SessionResult r = BootloaderEeprom(); !r.ok()) return r;
  }
  const std::uint32_t total = memory.PageBytes() * pages;
  // Flash goes a page at a time (the programmer writes the page it was given); EEPROM in
  // larger blocks, which the programmer writes byte by byte or by its pages.
  const std::uint32_t block = flash ? memory.PageBytes() : std::min(kEepromBlockBytes, total);
  auto byteAt = [&image](std::uint32_t i) -> std::uint8_t {
    return i < image.size() ? image[i] : 0xFF;
  };
  std::vector<std::uint8_t> data;
  Progress({0, pages, false, false});
  for (std::uint32_t at = 0; at < total; at += block) {
    const std::uint32_t n = std::min(block, total - at);
    bool blank = true;
    for (std::uint32_t i = 0; i < n && blank; ++i) blank = byteAt(at + i) == 0xFF;
    // Writing 0xFF changes no flash bit, and an erased page holds it already. A bootloader
    // erases no chip but each page it writes: every page is written there.
    if (!(flash && blank && !bootloader_)) {
      std::vector<std::uint8_t> command{kProgPage, Hi(n), Lo(n),
                                        static_cast<std::uint8_t>(flash ? 'F' : 'E')};
      for (std::uint32_t i = 0; i < n; ++i) command.push_back(byteAt(at + i));
      SessionResult r = LoadAddress(flash, at);
      if (r.ok()) r = Command(command, 0, data, STATUS_DEVICE_WRITE_MEMORY, 5000);
      if (!r.ok()) {
        Progress({0, 0, false, true});
        return r;
      }
    }
    Progress({(at + n) / memory.PageBytes(), pages, false, false});
  }
  Progress({pages, pages, false, true});
  return {};
}

SessionResult Stk500v1Driver::Erase() {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (bootloader_) {
    return Failed(SessionStatus::Refused, 0,
                  "A bootloader cannot erase the chip; it erases each flash page it writes. "
                  "Write the flash without erasing first (write --no-erase)");
  }
  std::uint8_t ignored = 0;
  if (SessionResult r = Universal(0xAC, 0x80, 0x00, 0x00, ignored, STATUS_DEVICE_CHIP_ERASE);
      !r.ok()) {
    return r;
  }
  std::this_thread::sleep_for(kEraseWait);
  // Enter again: the next operation meets a chip in a fresh programming mode.
  LeaveProgramming();
  return {};
}

namespace {
struct FuseCodes {
  std::uint8_t target, write2, read1, read2;
};
constexpr FuseCodes kFuseCodes[] = {{kTargetLow, 0xA0, 0x50, 0x00},
                                    {kTargetHigh, 0xA8, 0x58, 0x08},
                                    {kTargetExtended, 0xA4, 0x50, 0x08}};
}  // namespace

SessionResult Stk500v1Driver::ReadFuses(FuseByteSlots& bytes) {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (bootloader_) return BootloaderRefused("read fuses");
  for (const FuseCodes& f : kFuseCodes) {
    ByteSlot* slot = bytes.Slot(f.target);
    if (!slot->present) continue;
    if (SessionResult r = Universal(f.read1, f.read2, 0x00, 0x00, slot->value,
                                    STATUS_DEVICE_UNKNOWN_COMMAND);
        !r.ok()) {
      return r;
    }
  }
  if (bytes.lock.present) return ReadLock(bytes.lock);
  return {};
}

SessionResult Stk500v1Driver::WriteFuses(const FuseByteSlots& bytes) {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (bootloader_) return BootloaderRefused("write fuses");
  for (const FuseCodes& f : kFuseCodes) {
    const ByteSlot* slot = bytes.Slot(f.target);
    if (!slot->present) continue;
    std::uint8_t ignored = 0;
    if (SessionResult r =
            Universal(0xAC, f.write2, 0x00, slot->value, ignored, STATUS_DEVICE_WRITE_FUSES);
        !r.ok()) {
      return r;
    }
    std::this_thread::sleep_for(kFuseWait);
  }
  // New fuse values take effect when the chip leaves programming mode.
  LeaveProgramming();
  return {};
}

SessionResult Stk500v1Driver::ReadLock(ByteSlot& lock) {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (bootloader_) return BootloaderRefused("read lock bits");
  return Universal(0x58, 0x00, 0x00, 0x00, lock.value, STATUS_DEVICE_UNKNOWN_COMMAND);
}

SessionResult Stk500v1Driver::WriteLock(const ByteSlot& lock) {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (bootloader_) return BootloaderRefused("write lock bits");
  std::uint8_t ignored = 0;
  SessionResult r = Universal(0xAC, 0xE0, 0x00, lock.value, ignored, STATUS_DEVICE_WRITE_LOCK_BITS);
  if (r.ok()) std::this_thread::sleep_for(kFuseWait);
  return r;
}

SessionResult Stk500v1Driver::ReadCalibration(std::uint8_t address, std::uint8_t& value) {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (bootloader_) return BootloaderRefused("read calibration bytes");
  return Universal(0x38, 0x00, address, 0x00, value, STATUS_DEVICE_UNKNOWN_COMMAND);
}

}  // namespace bq
