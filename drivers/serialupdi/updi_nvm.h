#pragma once
// The chip's NVM controller as the UPDI reaches it, one implementation per controller
// version: 0 (tinyAVR 0/1/2, megaAVR 0: a page buffer filled by stores, then a command)
// and 2 (AVR DA/DB: stores go straight to flash or EEPROM under a write command). The
// register offsets and commands are the vendor's (docs/updi-facts.md, the device files).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "drivers/serialupdi/updi_link.h"
#include "parts/part_record.h"

namespace bq::updi {

inline constexpr std::uint32_t kNvmCtrl = 0x1000;
inline constexpr std::uint32_t kNvmCtrlA = kNvmCtrl + 0x00;
inline constexpr std::uint32_t kNvmStatus = kNvmCtrl + 0x02;
inline constexpr std::uint32_t kNvmData = kNvmCtrl + 0x06;
inline constexpr std::uint32_t kNvmAddr = kNvmCtrl + 0x08;
// FBUSY (bit 0) and EEBUSY (bit 1) on every controller version.
inline constexpr std::uint8_t kNvmBusy = 0x03;

class Nvm {
 public:
  Nvm(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA)
      : link_(link), layout_(layout), ctrlA_(ctrlA) {}
  virtual ~Nvm() = default;

  // What went wrong in the NVM controller (a write error, a busy flag that stayed), when the
  // link itself worked; "" otherwise.
  const std::string& Problem() const { return problem_; }

  virtual bool ChipErase() = 0;
  // One flash page at byte offset `offset` of the flash. erased: the chip was erased since
  // the page was last written, so the page is written without erasing it first.
  virtual bool WriteFlashPage(std::uint32_t offset, const std::uint8_t* data, std::size_t n,
                              bool erased) = 0;
  // Bytes of the EEPROM or the user row (at most one page of it, or one EepromBlock() of
  // the EEPROM) at their UPDI address.
  virtual bool WriteEepromLike(std::uint32_t address, const std::uint8_t* data, std::size_t n) = 0;
  // How many EEPROM bytes the controller takes at once, aligned, when the EEPROM page is
  // smaller (1: the page).
  virtual std::size_t EepromBlock() const { return 1; }
  // A fuse byte or a byte of the lock, at its UPDI address.
  virtual bool WriteFuse(std::uint32_t address, std::uint8_t value) = 0;

 protected:
  // Polls the status until the controller is idle; false (and Problem()) after timeoutMs or
  // when it flags a write error (errorMask).
  bool WaitReady(int timeoutMs, std::uint8_t errorMask);
  bool Command(std::uint8_t command) { return link_.Sts(kNvmCtrlA, command); }

  Link& link_;
  const UpdiLayout& layout_;
  std::uint8_t ctrlA_;  // the UPDI CTRLA the link runs with (guard time)
  std::string problem_;
};

// The controller of this version (0 or 2); null for a version this program does not know.
std::unique_ptr<Nvm> MakeNvm(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA);
std::unique_ptr<Nvm> MakeNvmV0(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA);
std::unique_ptr<Nvm> MakeNvmV2(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA);

}  // namespace bq::updi
