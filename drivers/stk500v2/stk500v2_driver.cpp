#include "drivers/stk500v2/stk500v2_driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace bq {

namespace {

using namespace stk500v2;

// Reads and writes are split into blocks of at most this many bytes: within the 275-byte body
// an STK500 takes, and one page of every classic AVR.
constexpr std::uint32_t kBlockBytes = 256;
constexpr int kEraseTimeoutMs = 5000;

// Page-mode flags of the mode byte that the host sets: write the page after loading it, and
// (high-voltage modes) this is the last page.
constexpr std::uint8_t kModeWritePage = 0x80;
constexpr std::uint8_t kModeLastPage = 0x40;

// ISP instructions (the datasheets' serial programming instruction set).
constexpr std::uint8_t kIspReadSignature = 0x30;
constexpr std::uint8_t kIspReadCalibration = 0x38;

// SCK_DURATION values and the ISP clock each gives on an STK500 (3.6864 MHz / 4, / 16,
// / 64): our clock indices 3, 5 and 7. A clock asked for between them gets the slower one.
struct SckStep {
  std::uint8_t duration;
  std::uint8_t clockIndex;
};
constexpr SckStep kSckSteps[] = {{0, ISP_CLOCK_921_KHZ}, {1, ISP_CLOCK_230_KHZ},
                                 {2, ISP_CLOCK_57_KHZ}};

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
    default:
      return STATUS_BAD_HEADER;
  }
}

}  // namespace

Stk500v2Driver::Stk500v2Driver() = default;
Stk500v2Driver::~Stk500v2Driver() { Close(); }

const ProgrammerInfo& Stk500v2Driver::Info() const { return InfoFor(ProgrammerKind::Stk500v2); }

bool Stk500v2Driver::Open(SerialPort& port, const std::string& name, std::string* why) {
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
  // A board that resets when the port opens answers only after its start-up: ask again
  // until then.
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(connection_->MayRestartDeviceOnOpen()
                                                   ? kDeviceStartupMs + 1000
                                                   : 600);
  std::vector<std::uint8_t> answer;
  ExchangeStatus status = ExchangeStatus::NoAnswer;
  do {
    connection_->DiscardInput();
    status = link_->Exchange({kSignOn}, answer, 300);
    if (status == ExchangeStatus::Ok && answer.size() >= 3 && answer[0] == kSignOn &&
        answer[1] == kStatusOk) {
      const std::size_t length = std::min<std::size_t>(answer[2], answer.size() - 3);
      signOn_.assign(answer.begin() + 3, answer.begin() + 3 + static_cast<std::ptrdiff_t>(length));
      return true;
    }
  } while (std::chrono::steady_clock::now() < until && !cancelled_.load());
  if (why != nullptr) {
    *why = "No STK500 version 2 programmer answers on " + name + ": " +
           (status == ExchangeStatus::Ok ? std::string("its sign-on was refused")
                                         : ExchangeStatusText(status)) +
           ". Check the programmer (-c) and the baud rate (--baud).";
  }
  Close();
  return false;
}

void Stk500v2Driver::Close() {
  closing_ = true;
  if (link_ && programming_) LeaveProgramming();
  closing_ = false;
  bootloader_ = false;
  bootloaderChecked_ = false;
  programming_ = false;
  link_.reset();
  connection_.reset();
  if (port_ != nullptr) port_->ClosePort();
  port_ = nullptr;
}

bool Stk500v2Driver::IsOpen() const { return link_ != nullptr && port_ != nullptr && port_->IsOpen(); }

void Stk500v2Driver::SetPart(const std::string& name, const PartRecord* part) {
  if (name != partName_ && programming_) LeaveProgramming();
  ProgrammerDriver::SetPart(name, part);
  params_ = FindPartParams(name);
}

void Stk500v2Driver::SetMode(std::uint8_t mode) {
  if (mode != mode_ && programming_) LeaveProgramming();
  ProgrammerDriver::SetMode(mode);
}

bool Stk500v2Driver::HighVoltage() const {
  return mode_ == PROG_MODE_HVPP || mode_ == PROG_MODE_HVPP2 || mode_ == PROG_MODE_HVSP;
}
bool Stk500v2Driver::Parallel() const {
  return mode_ == PROG_MODE_HVPP || mode_ == PROG_MODE_HVPP2;
}

bool Stk500v2Driver::FlashNeedsExtendedAddress() const {
  return part_ != nullptr && part_->FlashBytes() > 128u * 1024u;
}

SessionResult Stk500v2Driver::Command(const std::vector<std::uint8_t>& body,
                                      std::vector<std::uint8_t>& answer, std::uint8_t failure,
                                      int timeoutMs) {
  if (cancelled_.load()) {
    return Failed(SessionStatus::Cancelled, STATUS_CANCELLED, LinkStatusText(STATUS_CANCELLED));
  }
  if (!IsOpen()) return {SessionStatus::PortNotOpen, 0, kPortNotOpenText};
  const ExchangeStatus status = link_->Exchange(body, answer, timeoutMs);
  if (status != ExchangeStatus::Ok) {
    // Whatever the programmer still sends belongs to this exchange, not to the next.
    connection_->DiscardInput();
    return Failed(SessionStatus::LinkError, LinkStatusFor(status),
                  "STK500 version 2: " + ExchangeStatusText(status));
  }
  if (answer.size() < 2 || answer[0] != body[0]) {
    return Failed(SessionStatus::LinkError, STATUS_BAD_HEADER,
                  "STK500 version 2: the programmer answered another command than the one sent");
  }
  if (answer[1] == kStatusUnknown) {
    return Failed(SessionStatus::DeviceError, STATUS_DEVICE_UNKNOWN_COMMAND,
                  LinkStatusText(STATUS_DEVICE_UNKNOWN_COMMAND));
  }
  if (answer[1] != kStatusOk) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", answer[1]);
    return Failed(SessionStatus::DeviceError, failure,
                  LinkStatusText(failure) + " (programmer status " + code + ")");
  }
  return {};
}

SessionResult Stk500v2Driver::Versions(ProgrammerVersions& out) {
  out = {};
  std::vector<std::uint8_t> a;
  std::uint8_t values[3] = {};
  const std::uint8_t params[3] = {kParamHardwareVersion, kParamSoftwareMajor, kParamSoftwareMinor};
  for (int i = 0; i < 3; ++i) {
    if (SessionResult r = Command({kGetParameter, params[i]}, a, STATUS_DEVICE_UNKNOWN_COMMAND);
        !r.ok()) {
      return r;
    }
    if (a.size() < 3) return Failed(SessionStatus::LinkError, STATUS_SHORT_ANSWER, LinkStatusText(STATUS_SHORT_ANSWER));
    values[i] = a[2];
  }
  out.hardware = std::uint32_t{values[0]} << 8;
  out.firmware = (std::uint32_t{values[1]} << 8) | values[2];
  // The target's supply, where the programmer measures it (an STK500 does; many do not).
  if (link_->Exchange({kGetParameter, kParamVTarget}, a, 500) == ExchangeStatus::Ok &&
      a.size() >= 3 && a[1] == kStatusOk) {
    char text[48];
    std::snprintf(text, sizeof text, "Target voltage: %u.%u V", a[2] / 10u, a[2] % 10u);
    Log(LogKind::LogInfo, text);
  }
  return {};
}

SessionResult Stk500v2Driver::SelectIspClock(std::uint8_t index, std::uint8_t& clock) {
  clock = 0;
  if (programming_) LeaveProgramming();
  std::vector<std::uint8_t> a;
  if (index != 0) {
    const SckStep* step = &kSckSteps[std::size(kSckSteps) - 1];
    for (const SckStep& s : kSckSteps) {
      if (s.clockIndex >= index) {
        step = &s;
        break;
      }
    }
    if (SessionResult r = Command({kSetParameter, kParamSckDuration, step->duration}, a,
                                  STATUS_DEVICE_ISP_SPEED);
        !r.ok()) {
      return r;
    }
    clock = step->clockIndex;
    return {};
  }
  // Automatic: the fastest clock at which the chip enters programming mode and gives a
  // signature that is neither all zeros nor all ones.
  for (const SckStep& s : kSckSteps) {
    if (SessionResult r =
            Command({kSetParameter, kParamSckDuration, s.duration}, a, STATUS_DEVICE_ISP_SPEED);
        !r.ok()) {
      return r;
    }
    const auto quiet = std::move(log_);
    std::uint32_t signature = 0;
    const SessionResult r = ReadSignature(signature);
    log_ = quiet;
    if (r.status == SessionStatus::LinkError || r.status == SessionStatus::Cancelled) return r;
    if (r.ok() && signature != 0 && signature != 0xFFFFFF) {
      clock = s.clockIndex;
      return {};
    }
    if (programming_) LeaveProgramming();
  }
  return {};
}

SessionResult Stk500v2Driver::EnterProgramming() {
  if (programming_) return {};
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  std::vector<std::uint8_t> body;
  if (mode_ == PROG_MODE_HVSP) {
    if (params_ != nullptr && !p.hasHvsp) {
      return Failed(SessionStatus::Refused, 0, "The part has no high-voltage serial mode");
    }
    const HvspParams& h = p.hvsp;
    body = {kEnterProgModeHvsp, h.stabDelay, h.cmdexeDelay, h.synchCycles, h.latchCycles,
            h.toggleVtg, h.powoffDelay, h.resetDelay1, h.resetDelay2};
  } else if (Parallel()) {
    if (params_ != nullptr && !p.hasPp) {
      return Failed(SessionStatus::Refused, 0, "The part has no high-voltage parallel mode");
    }
    const PpParams& h = p.pp;
    body = {kEnterProgModePp, h.stabDelay, h.progModeDelay, h.latchCycles, h.toggleVtg,
            h.powerOffDelay, h.resetDelayMs, h.resetDelayUs};
  } else {
    const IspParams& i = p.isp;
    body = {kEnterProgModeIsp, i.timeout, i.stabDelay, i.cmdexeDelay, i.synchLoops, i.byteDelay,
            i.pollValue, i.pollIndex, 0xAC, 0x53, 0x00, 0x00};
  }
  std::vector<std::uint8_t> a;
  SessionResult r = Command(body, a, STATUS_DEVICE_ENTER_PROG_MODE);
  if (!r.ok()) return r;
  programming_ = true;
  if (!bootloaderChecked_ && !HighVoltage()) {
    bootloaderChecked_ = true;
    // A board's bootloader answers like a programmer but passes no ISP instruction to a
    // chip: the calibration byte, which any chip gives over ISP, it refuses (the Mega 2560's
    // answers STATUS_CMD_FAILED).
    if (link_->Exchange({kReadOsccalIsp, 4, kIspReadCalibration, 0x00, 0x00, 0x00}, a, 1000) ==
            ExchangeStatus::Ok &&
        a.size() >= 2 && a[0] == kReadOsccalIsp && a[1] == kStatusFailed) {
      bootloader_ = true;
      Log(LogKind::LogInfo,
          "The programmer is a board's bootloader: it programs the board's own flash and "
          "EEPROM, not fuses or lock bits, and does not erase the chip");
    }
  }
  return {};
}

SessionResult Stk500v2Driver::BootloaderRefused(const std::string& what) {
  return Failed(SessionStatus::Refused, 0,
                "A bootloader cannot " + what + ": use an ISP programmer for that");
}

// Enters programming mode; false (with result set) when there is none or the other side
// is a bootloader, which cannot do `what`.
bool Stk500v2Driver::ProgrammerFor(const std::string& what, SessionResult& result) {
  result = EnterProgramming();
  if (!result.ok()) return false;
  if (!bootloader_) return true;
  result = BootloaderRefused(what);
  return false;
}

void Stk500v2Driver::LeaveProgramming() {
  // A bootloader leaves by starting the application: only at the end of the session.
  if (bootloader_ && !closing_) return;
  programming_ = false;
  if (!link_) return;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  std::vector<std::uint8_t> body;
  if (mode_ == PROG_MODE_HVSP) {
    body = {kLeaveProgModeHvsp, p.hvsp.leaveStabDelay, p.hvsp.leaveResetDelay};
  } else if (Parallel()) {
    body = {kLeaveProgModePp, p.pp.leaveStabDelay, p.pp.leaveResetDelay};
  } else {
    body = {kLeaveProgModeIsp, p.isp.preDelay, p.isp.postDelay};
  }
  std::vector<std::uint8_t> a;
  link_->Exchange(body, a, 1000);
}

SessionResult Stk500v2Driver::LoadAddress(std::uint32_t address) {
  std::vector<std::uint8_t> a;
  return Command({kLoadAddress, static_cast<std::uint8_t>(address >> 24),
                  static_cast<std::uint8_t>(address >> 16), Hi(address), Lo(address)},
                 a, STATUS_DEVICE_WRITE_MEMORY);
}

SessionResult Stk500v2Driver::ReadByteCommand(std::uint8_t ispCommand, std::uint8_t hvCommand,
                                              std::uint8_t pollIndex, std::uint8_t b1,
                                              std::uint8_t b2, std::uint8_t b3,
                                              std::uint8_t hvAddress, std::uint8_t& value) {
  value = 0;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  std::vector<std::uint8_t> a;
  SessionResult r = HighVoltage() ? Command({hvCommand, hvAddress}, a, STATUS_DEVICE_UNKNOWN_COMMAND)
                                  : Command({ispCommand, pollIndex, b1, b2, b3, 0x00}, a,
                                            STATUS_DEVICE_UNKNOWN_COMMAND);
  if (!r.ok()) return r;
  if (a.size() < 3) {
    return Failed(SessionStatus::LinkError, STATUS_SHORT_ANSWER, LinkStatusText(STATUS_SHORT_ANSWER));
  }
  value = a[2];
  return {};
}

SessionResult Stk500v2Driver::ReadSignature(std::uint32_t& signature) {
  signature = 0;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  const std::uint8_t hv = mode_ == PROG_MODE_HVSP ? kReadSignatureHvsp : kReadSignaturePp;
  for (std::uint8_t i = 0; i < 3; ++i) {
    std::uint8_t byte = 0;
    if (SessionResult r = ReadByteCommand(kReadSignatureIsp, hv, p.isp.readSignPollIndex,
                                          kIspReadSignature, 0x00, i, i, byte);
        !r.ok()) {
      return r;
    }
    signature = (signature << 8) | byte;
  }
  return {};
}

SessionResult Stk500v2Driver::ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                         std::vector<std::uint8_t>& image) {
  image.clear();
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  const bool flash = memory.kind == MEMORY_FLASH;
  const std::uint32_t total = memory.PageBytes() * pages;
  const std::uint32_t address = flash && FlashNeedsExtendedAddress() ? 0x80000000u : 0u;
  if (SessionResult r = LoadAddress(address); !r.ok()) return r;
  std::uint8_t command = 0;
  if (mode_ == PROG_MODE_HVSP) {
    command = flash ? kReadFlashHvsp : kReadEepromHvsp;
  } else if (Parallel()) {
    command = flash ? kReadFlashPp : kReadEepromPp;
  } else {
    command = flash ? kReadFlashIsp : kReadEepromIsp;
  }
  // An ISP read may take any length the frame holds, page or not: the largest block halves
  // the round trips of a flash with 128-byte pages (and more for small EEPROM pages).
  const std::uint32_t block =
      HighVoltage() ? std::min(kBlockBytes, std::max<std::uint32_t>(memory.PageBytes(), 2))
                    : kBlockBytes;
  std::vector<std::uint8_t> a;
  image.reserve(total);
  Progress({0, pages, false, false});
  while (image.size() < total) {
    const std::uint32_t n = std::min<std::uint32_t>(block, total - static_cast<std::uint32_t>(image.size()));
    std::vector<std::uint8_t> body{command, Hi(n), Lo(n)};
    if (command == kReadFlashIsp) body.push_back(0x20);  // Read Program Memory
    if (command == kReadEepromIsp) body.push_back(0xA0);  // Read EEPROM Memory
    if (SessionResult r = Command(body, a, STATUS_DEVICE_UNKNOWN_COMMAND); !r.ok()) {
      Progress({0, 0, false, true});
      image.clear();
      return r;
    }
    if (a.size() < 2 + n) {
      Progress({0, 0, false, true});
      image.clear();
      return Failed(SessionStatus::LinkError, STATUS_SHORT_ANSWER, LinkStatusText(STATUS_SHORT_ANSWER));
    }
    image.insert(image.end(), a.begin() + 2, a.begin() + 2 + n);
    Progress({static_cast<std::uint32_t>(image.size()) / memory.PageBytes(), pages, false, false});
  }
  Progress({pages, pages, false, true});
  return {};
}

SessionResult Stk500v2Driver::WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                          const std::vector<std::uint8_t>& image) {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  const bool flash = memory.kind == MEMORY_FLASH;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  const std::uint32_t pageBytes = memory.PageBytes();
  auto byteAt = [&image](std::uint32_t i) -> std::uint8_t {
    return i < image.size() ? image[i] : 0xFF;
  };
  std::vector<std::uint8_t> a;
  // The programmer's address counter moves on with every byte written: one LOAD_ADDRESS per
  // run of pages is enough, saving a round trip a page. Flash beyond 64K words gets one per
  // page, so the extended address byte is sent again where it changes.
  const bool everyPage = flash && FlashNeedsExtendedAddress();
  std::optional<std::uint32_t> counter;  // where the programmer's counter stands, if known
  Progress({0, pages, false, false});
  for (std::uint32_t page = 0; page < pages; ++page) {
    const std::uint32_t first = page * pageBytes;
    bool blank = true;
    for (std::uint32_t i = 0; i < pageBytes && blank; ++i) blank = byteAt(first + i) == 0xFF;
    // An erased flash page already holds 0xFF, and writing 0xFF changes no flash bit. A
    // bootloader erases no chip but each page it writes: every page is written there.
    if (flash && blank && !bootloader_) {
      Progress({page + 1, pages, false, false});
      continue;
    }
    std::uint32_t address = flash ? first / 2 : first;
    if (flash && FlashNeedsExtendedAddress()) address |= 0x80000000u;
    if (everyPage || counter != address) {
      if (SessionResult r = LoadAddress(address); !r.ok()) return r;
    }
    counter = address + (flash ? pageBytes / 2 : pageBytes);
    for (std::uint32_t done = 0; done < pageBytes;) {
      const std::uint32_t n = std::min(kBlockBytes, pageBytes - done);
      const bool last = done + n == pageBytes;
      std::vector<std::uint8_t> body;
      if (mode_ == PROG_MODE_HVSP || Parallel()) {
        const bool serial = mode_ == PROG_MODE_HVSP;
        std::uint8_t mode = flash ? (serial ? p.hvsp.flashMode : p.pp.flashMode)
                                  : (serial ? p.hvsp.eepromMode : p.pp.eepromMode);
        if (last) mode |= kModeWritePage;
        if (page + 1 == pages && last) mode |= kModeLastPage;
        const std::uint8_t timeout = flash ? (serial ? p.hvsp.flashPollTimeout : p.pp.flashPollTimeout)
                                           : (serial ? p.hvsp.eepromPollTimeout : p.pp.eepromPollTimeout);
        const std::uint8_t command = flash ? (serial ? kProgramFlashHvsp : kProgramFlashPp)
                                           : (serial ? kProgramEepromHvsp : kProgramEepromPp);
        body = {command, Hi(n), Lo(n), mode, timeout};
      } else {
        const IspParams& i = p.isp;
        std::uint8_t mode = flash ? i.flashMode : i.eepromMode;
        if (last && (mode & 0x01)) mode |= kModeWritePage;
        body = flash ? std::vector<std::uint8_t>{kProgramFlashIsp, Hi(n), Lo(n), mode, i.flashDelay,
                                                 i.flashCmd1, i.flashCmd2, i.flashCmd3, i.flashPoll1,
                                                 i.flashPoll2}
                     : std::vector<std::uint8_t>{kProgramEepromIsp, Hi(n), Lo(n), mode, i.eepromDelay,
                                                 i.eepromCmd1, i.eepromCmd2, i.eepromCmd3,
                                                 i.eepromPoll1, i.eepromPoll2};
      }
      for (std::uint32_t k = 0; k < n; ++k) body.push_back(byteAt(first + done + k));
      if (SessionResult r = Command(body, a, STATUS_DEVICE_WRITE_MEMORY); !r.ok()) {
        Progress({0, 0, false, true});
        return r;
      }
      done += n;
    }
    Progress({page + 1, pages, false, false});
  }
  Progress({pages, pages, false, true});
  return {};
}

SessionResult Stk500v2Driver::Erase() {
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (bootloader_) {
    return Failed(SessionStatus::Refused, 0,
                  "A bootloader cannot erase the chip; it erases each flash page it writes. "
                  "Write the flash without erasing first (write --no-erase)");
  }
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  std::vector<std::uint8_t> body;
  if (mode_ == PROG_MODE_HVSP) {
    body = {kChipEraseHvsp, p.hvsp.erasePollTimeout, p.hvsp.eraseTime};
  } else if (Parallel()) {
    body = {kChipErasePp, p.pp.erasePulseWidth, p.pp.erasePollTimeout};
  } else {
    body = {kChipEraseIsp, p.isp.eraseDelay, p.isp.erasePollMethod, 0xAC, 0x80, 0x00, 0x00};
  }
  std::vector<std::uint8_t> a;
  SessionResult r = Command(body, a, STATUS_DEVICE_CHIP_ERASE, kEraseTimeoutMs);
  if (!r.ok()) return r;
  // The fuses latched at entry may have changed meaning for nothing, but the erase ends the
  // chip's programming state on some parts: enter again for what follows.
  LeaveProgramming();
  return {};
}

namespace {
// ISP write and read instructions of each fuse byte, and its address in the high-voltage
// commands.
struct FuseCodes {
  std::uint8_t target, write2, read1, read2, hvAddress;
};
constexpr FuseCodes kFuseCodes[] = {{kTargetLow, 0xA0, 0x50, 0x00, 0},
                                    {kTargetHigh, 0xA8, 0x58, 0x08, 1},
                                    {kTargetExtended, 0xA4, 0x50, 0x08, 2}};
}  // namespace

SessionResult Stk500v2Driver::ReadFuses(FuseByteSlots& bytes) {
  if (SessionResult r; !ProgrammerFor("read fuses", r)) return r;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  const std::uint8_t hv = mode_ == PROG_MODE_HVSP ? kReadFuseHvsp : kReadFusePp;
  for (const FuseCodes& f : kFuseCodes) {
    ByteSlot* slot = bytes.Slot(f.target);
    if (!slot->present) continue;
    if (SessionResult r = ReadByteCommand(kReadFuseIsp, hv, p.isp.readFusePollIndex, f.read1,
                                          f.read2, 0x00, f.hvAddress, slot->value);
        !r.ok()) {
      return r;
    }
  }
  if (bytes.lock.present) return ReadLock(bytes.lock);
  return {};
}

SessionResult Stk500v2Driver::WriteFuses(const FuseByteSlots& bytes) {
  if (SessionResult r; !ProgrammerFor("write fuses", r)) return r;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  std::vector<std::uint8_t> a;
  for (const FuseCodes& f : kFuseCodes) {
    const ByteSlot* slot = bytes.Slot(f.target);
    if (!slot->present) continue;
    std::vector<std::uint8_t> body;
    if (mode_ == PROG_MODE_HVSP) {
      body = {kProgramFuseHvsp, f.hvAddress, slot->value, p.hvsp.fusePollTimeout};
    } else if (Parallel()) {
      body = {kProgramFusePp, f.hvAddress, slot->value, p.pp.fusePulseWidth, p.pp.fusePollTimeout};
    } else {
      body = {kProgramFuseIsp, 0xAC, f.write2, 0x00, slot->value};
    }
    if (SessionResult r = Command(body, a, STATUS_DEVICE_WRITE_FUSES); !r.ok()) return r;
  }
  // New fuse values take effect when the chip leaves programming mode.
  LeaveProgramming();
  return {};
}

SessionResult Stk500v2Driver::ReadLock(ByteSlot& lock) {
  if (SessionResult r; !ProgrammerFor("read lock bits", r)) return r;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  const std::uint8_t hv = mode_ == PROG_MODE_HVSP ? kReadLockHvsp : kReadLockPp;
  return ReadByteCommand(kReadLockIsp, hv, p.isp.readLockPollIndex, 0x58, 0x00, 0x00, 0,
                         lock.value);
}

SessionResult Stk500v2Driver::WriteLock(const ByteSlot& lock) {
  if (SessionResult r; !ProgrammerFor("write lock bits", r)) return r;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  std::vector<std::uint8_t> body;
  if (mode_ == PROG_MODE_HVSP) {
    body = {kProgramLockHvsp, 0, lock.value, p.hvsp.lockPollTimeout};
  } else if (Parallel()) {
    body = {kProgramLockPp, 0, lock.value, p.pp.lockPulseWidth, p.pp.lockPollTimeout};
  } else {
    body = {kProgramLockIsp, 0xAC, 0xE0, 0x00, lock.value};
  }
  std::vector<std::uint8_t> a;
  return Command(body, a, STATUS_DEVICE_WRITE_LOCK_BITS);
}

SessionResult Stk500v2Driver::ReadCalibration(std::uint8_t address, std::uint8_t& value) {
  if (SessionResult r; !ProgrammerFor("read calibration bytes", r)) return r;
  const PartParams& p = params_ != nullptr ? *params_ : GenericParams();
  const std::uint8_t hv = mode_ == PROG_MODE_HVSP ? kReadOsccalHvsp : kReadOsccalPp;
  return ReadByteCommand(kReadOsccalIsp, hv, p.isp.readOsccalPollIndex, kIspReadCalibration, 0x00,
                         address, address, value);
}

}  // namespace bq
