// NVM controller version 0 (tinyAVR 0/1/2, megaAVR 0): stores to a flash or EEPROM address
// fill the page buffer and latch the page; a CTRLA command then writes it.

#include "drivers/serialupdi/updi_nvm.h"

namespace bq::updi {

namespace {

constexpr std::uint8_t kWritePage = 0x1;
constexpr std::uint8_t kEraseWritePage = 0x3;
constexpr std::uint8_t kPageBufferClear = 0x4;
constexpr std::uint8_t kChipErase = 0x5;
constexpr std::uint8_t kWriteFuse = 0x7;
constexpr std::uint8_t kWriteError = 0x04;  // STATUS.WRERROR
constexpr int kPageMs = 100;                // 2 ms typical for a page, 4 ms erase-write
constexpr int kChipEraseMs = 2000;          // up to 150 ms typical, depending on the part

class NvmV0 : public Nvm {
 public:
  using Nvm::Nvm;

  bool ChipErase() override { return Command(kChipErase) && WaitReady(kChipEraseMs, kWriteError); }

  bool WriteFlashPage(std::uint32_t offset, const std::uint8_t* data, std::size_t n,
                      bool erased) override {
    return FillAndWrite(layout_.flashBase + offset, data, n, erased ? kWritePage : kEraseWritePage);
  }

  bool WriteEepromLike(std::uint32_t address, const std::uint8_t* data, std::size_t n) override {
    // EEPROM and the user row keep their other bytes: erase-write touches only the bytes
    // loaded into the buffer.
    return FillAndWrite(address, data, n, kEraseWritePage);
  }

  bool WriteFuse(std::uint32_t address, std::uint8_t value) override {
    return WaitReady(kPageMs, 0) &&
           link_.Sts(kNvmAddr, static_cast<std::uint8_t>(address & 0xFF)) &&
           link_.Sts(kNvmAddr + 1, static_cast<std::uint8_t>((address >> 8) & 0xFF)) &&
           link_.Sts(kNvmData, value) && Command(kWriteFuse) && WaitReady(kPageMs, kWriteError);
  }

 private:
  bool FillAndWrite(std::uint32_t address, const std::uint8_t* data, std::size_t n,
                    std::uint8_t command) {
    if (!WaitReady(kPageMs, 0) || !Command(kPageBufferClear) || !WaitReady(kPageMs, 0)) {
      return false;
    }
    // Filling the page buffer is a run of plain stores with no NVM operation behind them, so
    // its timing is fixed: the acknowledgements are left out there and only there.
    if (!link_.SetResponseSignatures(false, ctrlA_)) return false;
    const bool filled = link_.Write(address, data, n);
    if (!link_.SetResponseSignatures(true, ctrlA_) || !filled) return false;
    return Command(command) && WaitReady(kPageMs, kWriteError);
  }
};

}  // namespace

std::unique_ptr<Nvm> MakeNvmV0(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA) {
  return std::make_unique<NvmV0>(link, layout, ctrlA);
}

}  // namespace bq::updi
