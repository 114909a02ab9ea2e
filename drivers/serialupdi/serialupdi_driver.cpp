#include "drivers/serialupdi/serialupdi_driver.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace bq {

namespace {

using namespace updi;

// CTRLA.GTVAL 0x6: 2 idle bits before each reply, the least the vendor recommends (the
// default is 128). The response signatures stay on but for page-buffer fills and AVR Dx
// flash pages (updi_nvm_v0.cpp, updi_nvm_v2.cpp).
constexpr std::uint8_t kGuardTime2 = 0x06;
constexpr std::uint32_t kSigRowDefault = 0x1100;
constexpr int kProgStartMs = 500;
constexpr int kEraseLockedMs = 2000;  // chip erase is 4 to 150 ms typical: poll, generously

std::uint8_t LinkStatusFor(Fault fault) {
  switch (fault) {
    case Fault::WriteFailed:
      return STATUS_WRITE_FAILED;
    case Fault::NoEcho:
    case Fault::NoAnswer:
      return STATUS_NO_ANSWER;
    case Fault::BadEcho:
      return STATUS_BAD_HEADER;
    default:
      return STATUS_OUT_OF_STEP;
  }
}

}  // namespace

SerialUpdiDriver::SerialUpdiDriver() = default;
SerialUpdiDriver::~SerialUpdiDriver() {
  Close();
}

const ProgrammerInfo& SerialUpdiDriver::Info() const {
  return InfoFor(ProgrammerKind::SerialUpdi);
}

bool SerialUpdiDriver::Open(SerialPort& port, const std::string& name, std::string* why) {
  Close();
  cancelled_.store(false);
  const std::uint32_t baud = Baud();
  if (baud < kMinBaud || baud > kMaxBaud) {
    if (why != nullptr) {
      *why = "SerialUPDI runs at " + std::to_string(kMinBaud) + " to " + std::to_string(kMaxBaud) +
             " baud, not " + std::to_string(baud) + ": choose a rate in that range (--baud)";
    }
    return false;
  }
  LineSettings line;
  line.baud = baud;
  line.dataBits = 8;
  line.parity = LineSettings::Parity::Even;
  line.stopBits = 2;
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
  ctrlA_ = kGuardTime2;
  std::string fault;
  const std::uint32_t rate = link_->Attach(baud, ctrlA_, &fault);
  if (rate == 0 && link_->LastFault() == Fault::NoAnswer) {
    // The adapter echoes what it sends, so the programmer is there; the chip is not (yet):
    // as with an empty socket the port is open, and each operation looks for the chip.
    openRate_ = baud;
    attached_ = false;
    return true;
  }
  if (rate == 0) {
    if (why != nullptr) *why = fault + " Port: " + name + ".";
    link_.reset();
    Close();
    return false;
  }
  openRate_ = rate;
  attached_ = true;
  if (rate != baud) {
    Log(LogKind::LogWarning, "The UPDI link did not come up at " + std::to_string(baud) +
                                 " baud; it runs at " + std::to_string(rate) +
                                 " baud (a shorter wire or a smaller resistor may allow more)");
  }
  link_->Ldcs(kStatusA, updiRevision_);
  std::uint8_t status = 0;
  locked_ = ReadSysStatus(status) && (status & kSysStatusLocked) != 0;
  return true;
}

void SerialUpdiDriver::Close() {
  if (link_) {
    // Reset the chip out of programming, so it runs its new program, then switch the UPDI
    // off, or it keeps its clock request and draws current.
    if (programming_) LeaveProgramming();
    link_->Stcs(kCtrlB, kCtrlBUpdiDis);
  }
  programming_ = false;
  attached_ = false;
  sibLogged_ = false;
  locked_ = false;
  flashErased_ = false;
  sibChecked_ = false;
  nvm_.reset();
  link_.reset();
  connection_.reset();
  if (port_ != nullptr) port_->ClosePort();
  port_ = nullptr;
}

bool SerialUpdiDriver::IsOpen() const {
  return link_ != nullptr && port_ != nullptr && port_->IsOpen();
}

void SerialUpdiDriver::SetPart(const std::string& name, const PartRecord* part) {
  ProgrammerDriver::SetPart(name, part);
  nvm_.reset();
  sibChecked_ = false;
}

SessionResult SerialUpdiDriver::Ready() {
  if (cancelled_.load()) {
    return Failed(SessionStatus::Cancelled, STATUS_CANCELLED, LinkStatusText(STATUS_CANCELLED));
  }
  if (!IsOpen()) return {SessionStatus::PortNotOpen, 0, kPortNotOpenText};
  return {};
}

SessionResult SerialUpdiDriver::FaultResult(const std::string& what) {
  const Fault fault = link_ ? link_->LastFault() : Fault::WriteFailed;
  SessionResult r;
  if (fault == Fault::None && nvm_ && !nvm_->Problem().empty()) {
    r = Failed(SessionStatus::DeviceError, STATUS_DEVICE_WRITE_MEMORY,
               "SerialUPDI: " + what + ": " + nvm_->Problem());
  } else if (fault == Fault::NoAnswer) {
    // The adapter echoed what it sent, so it is there: the chip is what did not answer
    // (taken out, unpowered), as an empty socket is for a programmer with firmware.
    r = Failed(SessionStatus::DeviceError, STATUS_DEVICE_ENTER_PROG_MODE,
               "SerialUPDI: " + what + ": " + FaultText(fault));
  } else {
    r = Failed(SessionStatus::LinkError, LinkStatusFor(fault),
               "SerialUPDI: " + what + ": " + FaultText(fault));
  }
  return r;
}

SessionResult SerialUpdiDriver::LinkFailed(const std::string& what) {
  SessionResult r = FaultResult(what);
  // Get the UPDI listening again for the next operation: after an error it ignores all but
  // a BREAK. Programming must be entered again then.
  // A BREAK also returns the UPDI clock to its start-up speed, so the whole attach is redone.
  attached_ = link_ && link_->Attach(openRate_, ctrlA_, nullptr) != 0;
  programming_ = false;
  return r;
}

// A chip that stopped answering (taken out, unpowered) left the link where its last attempt
// ended, at the slowest rate: the next chip is met as Open met the first, at Open's rate.
SessionResult SerialUpdiDriver::Reattach() {
  if (attached_) return {};
  std::string why;
  attached_ = link_->Attach(openRate_, ctrlA_, &why) != 0;
  if (!attached_) {
    if (link_->LastFault() != Fault::NoAnswer) return FaultResult("getting in touch with the chip");
    return Failed(SessionStatus::DeviceError, STATUS_DEVICE_ENTER_PROG_MODE, "SerialUPDI: " + why);
  }
  // Another chip may be on the line now (or the first one, when Open found none).
  link_->Ldcs(kStatusA, updiRevision_);
  return {};
}

SessionResult SerialUpdiDriver::Locked() {
  return Failed(SessionStatus::Refused, 0, lockTexts_.locked);
}

SessionResult SerialUpdiDriver::ReadLocked(bool& locked) {
  locked = false;
  if (SessionResult r = Ready(); !r.ok()) return r;
  if (programming_) return {};  // a locked chip never gets into programming
  if (SessionResult r = Reattach(); !r.ok()) return r;
  std::uint8_t status = 0;
  if (!ReadSysStatus(status)) {
    // A chip that was reset or powered again since (its UPDI off) answers after the attach
    // that LinkFailed makes.
    SessionResult r = LinkFailed("reading the chip's status");
    if (!attached_ || !ReadSysStatus(status)) return r;
  }
  locked_ = locked = (status & kSysStatusLocked) != 0;
  return {};
}

SessionResult SerialUpdiDriver::NeedPart() {
  if (part_ == nullptr || !part_->IsUpdi()) {
    return Failed(SessionStatus::Refused, 0,
                  part_ == nullptr ? "Choose the UPDI part first (-p)"
                                   : partName_ +
                                         " is not a UPDI part: SerialUPDI programs "
                                         "tinyAVR 0/1/2, megaAVR 0 and AVR DA/DB parts");
  }
  if (!nvm_) nvm_ = MakeNvm(*link_, part_->updi, ctrlA_);
  if (!nvm_) {
    return Failed(SessionStatus::Refused, 0,
                  partName_ + " has NVM controller version " +
                      std::to_string(part_->updi.nvmVersion) +
                      ", which this program does not program yet (it knows 0 and 2)");
  }
  return {};
}

bool SerialUpdiDriver::ReadSysStatus(std::uint8_t& status) {
  return link_->Ldcs(kAsiSysStatus, status);
}

SessionResult SerialUpdiDriver::EnterProgramming() {
  if (SessionResult r = Ready(); !r.ok()) return r;
  if (programming_) return {};
  if (SessionResult r = Reattach(); !r.ok()) return r;
  std::uint8_t status = 0;
  if (!ReadSysStatus(status)) return LinkFailed("reading the chip's status");
  locked_ = (status & kSysStatusLocked) != 0;
  if (locked_) return Locked();
  if ((status & kSysStatusNvmProg) == 0) {
    std::uint8_t keys = 0;
    if (!link_->Key(kKeyNvmProg) || !link_->Ldcs(kAsiKeyStatus, keys)) {
      return LinkFailed("sending the NVM programming key");
    }
    if ((keys & kKeyStatusNvmProg) == 0) {
      return Failed(SessionStatus::DeviceError, STATUS_DEVICE_ENTER_PROG_MODE,
                    "SerialUPDI: the chip did not take the NVM programming key");
    }
    if (!link_->Stcs(kAsiResetReq, kResetRequest) || !link_->Stcs(kAsiResetReq, 0x00)) {
      return LinkFailed("resetting the chip into programming");
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProgStartMs);
    for (;;) {
      if (!ReadSysStatus(status)) return LinkFailed("waiting for programming to start");
      if ((status & kSysStatusLocked) != 0) {
        locked_ = true;
        return Locked();
      }
      if ((status & kSysStatusNvmProg) != 0) break;
      if (std::chrono::steady_clock::now() > end) {
        return Failed(SessionStatus::DeviceError, STATUS_DEVICE_ENTER_PROG_MODE,
                      "SerialUPDI: the chip did not start NVM programming after its reset");
      }
    }
  }
  programming_ = true;
  return {};
}

void SerialUpdiDriver::LeaveProgramming() {
  programming_ = false;
  if (!link_) return;
  link_->Stcs(kAsiResetReq, kResetRequest);
  link_->Stcs(kAsiResetReq, 0x00);
}

SessionResult SerialUpdiDriver::Versions(ProgrammerVersions& out) {
  out = {};
  if (SessionResult r = Ready(); !r.ok()) return r;
  // No programmer firmware: the UPDI revision of the chip stands in.
  out.firmware = static_cast<std::uint32_t>(updiRevision_ >> 4) << 8;
  return {};
}

SessionResult SerialUpdiDriver::CheckSib() {
  if (SessionResult r = Reattach(); !r.ok()) return r;
  std::string sib;
  if (!link_->ReadSib(sib)) return LinkFailed("reading the system information block");
  std::string shown;
  for (char c : sib) shown += (c >= 0x20 && c < 0x7F) ? c : '.';
  // Once a connection, as the programmers with firmware show their versions: the block is
  // read again whenever the part changes, but says the same.
  if (!sibLogged_) Log(LogKind::LogInfo, "UPDI system information: " + shown);
  sibLogged_ = true;
  sibChecked_ = true;
  if (part_ == nullptr || !part_->IsUpdi()) return {};
  // The NVM version sits after the family name as "P:n". Where it is not found there the
  // part list's version is used unchecked.
  const std::size_t at = sib.find("P:", 8);
  if (at == std::string::npos || at + 2 >= sib.size()) return {};
  const char digit = sib[at + 2];
  if (digit < '0' || digit > '9') return {};
  const int version = digit - '0';
  if (version == part_->updi.nvmVersion) return {};
  return Failed(SessionStatus::Mismatch, 0,
                "The chip's NVM controller is version " + std::to_string(version) + ", but " +
                    partName_ + " has version " + std::to_string(part_->updi.nvmVersion) +
                    ": the chip is another part; identify it and choose that part");
}

SessionResult SerialUpdiDriver::Identify(IdentifiedChip& out) {
  out = {};
  if (SessionResult r = Ready(); !r.ok()) return r;
  if (SessionResult r = CheckSib(); !r.ok()) return r;
  std::uint32_t signature = 0;
  if (SessionResult r = ReadSignature(signature); !r.ok()) return r;
  out.signature = signature;
  return {};
}

SessionResult SerialUpdiDriver::ReadSignature(std::uint32_t& signature) {
  signature = 0;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (!sibChecked_) {
    if (SessionResult r = CheckSib(); !r.ok()) return r;
  }
  const std::uint32_t base =
      part_ != nullptr && part_->IsUpdi() ? part_->updi.sigRowBase : kSigRowDefault;
  std::uint8_t bytes[3] = {};
  if (!link_->Read(base, bytes, 3)) return LinkFailed("reading the signature row");
  signature = (std::uint32_t{bytes[0]} << 16) | (std::uint32_t{bytes[1]} << 8) | bytes[2];
  return {};
}

std::uint32_t SerialUpdiDriver::BaseOf(MemoryKind kind) const {
  switch (kind) {
    case MEMORY_EEPROM:
      return part_->updi.eepromBase;
    case MEMORY_USERROW:
      return part_->updi.userRowBase;
    default:
      return part_->updi.flashBase;
  }
}

SessionResult SerialUpdiDriver::ReadMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                           std::vector<std::uint8_t>& image) {
  image.clear();
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  const std::uint32_t total = memory.PageBytes() * pages;
  const std::uint32_t block = std::max<std::uint32_t>(memory.PageBytes(), 256);
  const std::uint32_t base = BaseOf(memory.kind);
  image.resize(total);
  Progress({0, pages, false, false});
  for (std::uint32_t at = 0; at < total; at += block) {
    const std::uint32_t n = std::min(block, total - at);
    if (SessionResult r = Ready(); !r.ok()) {
      image.clear();
      Progress({0, 0, false, true});
      return r;
    }
    if (!link_->Read(base + at, image.data() + at, n)) {
      image.clear();
      Progress({0, 0, false, true});
      return LinkFailed("reading the memory at " + std::to_string(at));
    }
    Progress({(at + n) / memory.PageBytes(), pages, false, false});
  }
  Progress({pages, pages, false, true});
  return {};
}

SessionResult SerialUpdiDriver::WriteMemory(const MemoryGeometry& memory, std::uint32_t pages,
                                            const std::vector<std::uint8_t>& image) {
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  const bool flash = memory.kind == MEMORY_FLASH;
  const std::uint32_t page = memory.PageBytes();
  const std::uint32_t base = BaseOf(memory.kind);
  // EEPROM pages smaller than what the controller takes at once go to it in such blocks.
  const auto block = static_cast<std::uint32_t>(nvm_->EepromBlock());
  const std::uint32_t group =
      memory.kind == MEMORY_EEPROM && page < block && block % page == 0 && base % block == 0
          ? block / page
          : 1;
  std::vector<std::uint8_t> data;
  Progress({0, pages, false, false});
  for (std::uint32_t p = 0; p < pages; p += group) {
    const std::uint32_t at = p * page;
    data.resize(std::min(group, pages - p) * page);
    for (std::uint32_t i = 0; i < data.size(); ++i) {
      data[i] = at + i < image.size() ? image[at + i] : std::uint8_t{0xFF};
    }
    const bool blank =
        std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
    if (SessionResult r = Ready(); !r.ok()) {
      Progress({0, 0, false, true});
      return r;
    }
    bool ok = true;
    if (flash) {
      // An erased page holds 0xFF already.
      if (!(blank && flashErased_)) ok = nvm_->WriteFlashPage(at, data.data(), page, flashErased_);
    } else {
      ok = nvm_->WriteEepromLike(base + at, data.data(), data.size());
    }
    if (!ok) {
      Progress({0, 0, false, true});
      return LinkFailed("writing the page at " + std::to_string(at));
    }
    Progress({std::min(p + group, pages), pages, false, false});
  }
  if (flash) flashErased_ = false;
  Progress({pages, pages, false, true});
  return {};
}

SessionResult SerialUpdiDriver::Erase() {
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  if (!nvm_->ChipErase()) return LinkFailed("erasing the chip");
  flashErased_ = true;
  return {};
}

SessionResult SerialUpdiDriver::EraseLocked() {
  if (SessionResult r = Ready(); !r.ok()) return r;
  if (SessionResult r = Reattach(); !r.ok()) return r;
  const bool dx = part_ != nullptr && part_->IsUpdi() && part_->updi.nvmVersion >= 2;
  std::uint8_t keys = 0;
  // On AVR Dx the NVM programming key goes with the erase key, so the freshly erased chip
  // does not fail its boot check.
  if (!link_->Key(kKeyChipErase) || (dx && !link_->Key(kKeyNvmProg)) ||
      !link_->Ldcs(kAsiKeyStatus, keys)) {
    return LinkFailed("sending the chip erase key");
  }
  if ((keys & kKeyStatusChipErase) == 0) {
    return Failed(SessionStatus::DeviceError, STATUS_DEVICE_CHIP_ERASE,
                  "SerialUPDI: the chip did not take the chip erase key");
  }
  if (!link_->Stcs(kAsiResetReq, kResetRequest) || !link_->Stcs(kAsiResetReq, 0x00)) {
    return LinkFailed("resetting the chip to erase it");
  }
  programming_ = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEraseLockedMs);
  std::uint8_t status = 0;
  for (;;) {
    if (!ReadSysStatus(status)) return LinkFailed("waiting for the chip erase");
    if ((status & kSysStatusLocked) == 0) break;
    if (std::chrono::steady_clock::now() > end) {
      return Failed(SessionStatus::DeviceError, STATUS_DEVICE_CHIP_ERASE,
                    "SerialUPDI: the chip is still locked " + std::to_string(kEraseLockedMs) +
                        " ms after the chip erase; check its supply (the erase needs it above "
                        "the BOD level)");
    }
  }
  if ((status & kSysStatusEraseFail) != 0) {
    return Failed(SessionStatus::DeviceError, STATUS_DEVICE_CHIP_ERASE,
                  "SerialUPDI: the chip reports that its chip erase failed");
  }
  locked_ = false;
  flashErased_ = true;
  return {};
}

SessionResult SerialUpdiDriver::ReadFuses(FuseByteSlots&) {
  return Unsupported(Info(), "read LOW/HIGH/EXTENDED fuses (a UPDI part names its fuse bytes)");
}

SessionResult SerialUpdiDriver::WriteFuses(const FuseByteSlots&) {
  return Unsupported(Info(), "write LOW/HIGH/EXTENDED fuses (a UPDI part names its fuse bytes)");
}

SessionResult SerialUpdiDriver::ReadLock(ByteSlot& lock) {
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (part_->updi.lockSize != 1) {
    return Failed(SessionStatus::Refused, 0,
                  partName_ + " keeps its lock as a 4-byte key, not a lock byte");
  }
  std::uint32_t value = 0;
  SessionResult r = ReadLockWord(value);
  lock.value = static_cast<std::uint8_t>(value);
  return r;
}

SessionResult SerialUpdiDriver::WriteLock(const ByteSlot& lock) {
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (part_->updi.lockSize != 1) {
    return Failed(SessionStatus::Refused, 0,
                  partName_ + " keeps its lock as a 4-byte key, not a lock byte");
  }
  if (!lock.present) return {};
  return WriteLockWord(lock.value);
}

SessionResult SerialUpdiDriver::ReadNamedFuses(std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  std::size_t count = 0;
  for (const NamedFuseByte& f : part_->updi.fuses)
    count = std::max<std::size_t>(count, f.offset + 1u);
  bytes.resize(count);
  if (!link_->Read(part_->updi.fuseBase, bytes.data(), count)) {
    bytes.clear();
    return LinkFailed("reading the fuses");
  }
  return {};
}

SessionResult SerialUpdiDriver::WriteNamedFuses(const std::vector<NamedFuseValue>& values) {
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  for (const NamedFuseValue& v : values) {
    const bool known = std::any_of(part_->updi.fuses.begin(), part_->updi.fuses.end(),
                                   [&v](const NamedFuseByte& f) { return f.offset == v.offset; });
    if (!known) {
      return Failed(SessionStatus::Refused, 0,
                    partName_ + " has no fuse byte at offset " + std::to_string(v.offset) +
                        "; nothing was written");
    }
  }
  for (const NamedFuseValue& v : values) {
    if (!nvm_->WriteFuse(part_->updi.fuseBase + v.offset, v.value)) {
      return LinkFailed("writing the fuse byte at offset " + std::to_string(v.offset));
    }
  }
  return {};
}

SessionResult SerialUpdiDriver::ReadLockWord(std::uint32_t& value) {
  value = 0;
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  std::uint8_t bytes[4] = {};
  const std::size_t n = std::min<std::size_t>(part_->updi.lockSize, 4);
  if (!link_->Read(part_->updi.lockBase, bytes, n)) return LinkFailed("reading the lock");
  for (std::size_t i = 0; i < n; ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
  return {};
}

SessionResult SerialUpdiDriver::WriteLockWord(std::uint32_t value) {
  if (SessionResult r = NeedPart(); !r.ok()) return r;
  if (SessionResult r = EnterProgramming(); !r.ok()) return r;
  const std::size_t n = std::min<std::size_t>(part_->updi.lockSize, 4);
  for (std::size_t i = 0; i < n; ++i) {
    if (!nvm_->WriteFuse(part_->updi.lockBase + static_cast<std::uint32_t>(i),
                         static_cast<std::uint8_t>(value >> (8 * i)))) {
      return LinkFailed("writing the lock");
    }
  }
  // The lock takes effect at the chip's next reset, when programming ends (Close).
  if (value != part_->updi.lockOpenValue) {
    Log(LogKind::LogInfo, lockTexts_.locksLater);
  }
  return {};
}

}  // namespace bq
