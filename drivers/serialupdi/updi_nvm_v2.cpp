// NVM controller version 2 (AVR DA, AVR DB): a command in CTRLA enables a kind of write, and
// the stores that follow go straight into flash (no page buffer) or EEPROM. Between two
// commands CTRLA goes back to NOCMD, or the controller flags a command collision.

#include "drivers/serialupdi/updi_nvm.h"

namespace bq::updi {

namespace {

constexpr std::uint8_t kNoCommand = 0x00;
constexpr std::uint8_t kFlashWrite = 0x02;
constexpr std::uint8_t kFlashPageErase = 0x08;
constexpr std::uint8_t kEepromEraseWrite = 0x13;
constexpr std::uint8_t kChipErase = 0x20;
constexpr std::uint8_t kError = 0x70;  // STATUS.ERROR
constexpr int kPageMs = 200;
constexpr int kChipEraseMs = 4000;

class NvmV2 : public Nvm {
 public:
  using Nvm::Nvm;

  bool ChipErase() override {
    return Run(kChipErase, kChipEraseMs, [] { return true; });
  }

  bool WriteFlashPage(std::uint32_t offset, const std::uint8_t* data, std::size_t n,
                      bool erased) override {
    const std::uint32_t address = layout_.flashBase + offset;
    if (!erased) {
      // A flash byte only loses bits until erased: erase the page (a store into it starts
      // the erase) before writing it.
      if (!Run(kFlashPageErase, kPageMs, [&] { return link_.Sts(address, 0xFF); })) return false;
    }
    // The stores keep their acknowledgements: each one waits for the flash, so their timing
    // is not fixed and a store without one could be lost.
    return Run(kFlashWrite, kPageMs, [&] { return link_.Write(address, data, n, n % 2 == 0); });
  }

  bool WriteEepromLike(std::uint32_t address, const std::uint8_t* data, std::size_t n) override {
    if (!WaitReady(kPageMs, 0) || !Command(kNoCommand) || !Command(kEepromEraseWrite)) return false;
    // One byte at a time: each store starts an erase-write that must end before the next.
    for (std::size_t i = 0; i < n; ++i) {
      if (!link_.Sts(address + static_cast<std::uint32_t>(i), data[i]) ||
          !WaitReady(kPageMs, kError)) {
        Command(kNoCommand);
        return false;
      }
    }
    return Command(kNoCommand);
  }

  bool WriteFuse(std::uint32_t address, std::uint8_t value) override {
    return WriteEepromLike(address, &value, 1);
  }

 private:
  template <typename Stores>
  bool Run(std::uint8_t command, int timeoutMs, Stores stores) {
    if (!WaitReady(kPageMs, 0) || !Command(kNoCommand) || !Command(command)) return false;
    const bool stored = stores();
    const bool ready = stored && WaitReady(timeoutMs, kError);
    return Command(kNoCommand) && ready;
  }
};

}  // namespace

std::unique_ptr<Nvm> MakeNvmV2(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA) {
  return std::make_unique<NvmV2>(link, layout, ctrlA);
}

}  // namespace bq::updi
