// NVM controller version 2 (AVR DA, AVR DB): a command in CTRLA enables a kind of write, and
// the stores that follow go straight into flash (no page buffer) or EEPROM. Between two
// commands CTRLA goes back to NOCMD, or the controller flags a command collision.

#include "drivers/serialupdi/updi_burst.h"
#include "drivers/serialupdi/updi_nvm.h"

namespace bq::updi {

namespace {

constexpr std::uint8_t kNoCommand = 0x00;
constexpr std::uint8_t kFlashWrite = 0x02;
constexpr std::uint8_t kFlashPageErase = 0x08;
constexpr std::uint8_t kEepromWrite = 0x12;
constexpr std::uint8_t kEepromEraseWrite = 0x13;
constexpr std::uint8_t kEepromErase32 = 0x1D;  // EEMBER32
constexpr std::uint8_t kChipErase = 0x20;
constexpr std::uint8_t kError = 0x70;  // STATUS.ERROR
constexpr int kPageMs = 200;
constexpr int kChipEraseMs = 4000;
// The longest a flash word and an EEPROM byte take to write (tP_WRD and tD_WRE, 70 us
// typical, 75 us at most).
constexpr std::uint32_t kWordWriteNs = 75'000;
constexpr std::uint32_t kEepromByteWriteNs = 75'000;
constexpr std::size_t kEepromBlock = 32;  // what EEMBER32 erases at once

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
    if (n % 2 != 0) {
      return Run(kFlashWrite, kPageMs, [&] { return link_.Write(address, data, n); });
    }
    // Each word store waits for the flash, at most tP_WRD.
    return Paced(kFlashWrite, address, data, n, 2, kWordWriteNs);
  }

  bool WriteEepromLike(std::uint32_t address, const std::uint8_t* data, std::size_t n) override {
    if (n == kEepromBlock && address % kEepromBlock == 0 && address >= layout_.eepromBase) {
      // 32 EEPROM bytes erase in the time of one (EEMBER32), and a byte written into an
      // erased cell takes tD_WRE instead of the erase and write of EEERWR.
      return Run(kEepromErase32, kPageMs, [&] { return link_.Sts(address, 0xFF); }) &&
             Paced(kEepromWrite, address, data, n, 1, kEepromByteWriteNs);
    }
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

  std::size_t EepromBlock() const override { return kEepromBlock; }

 private:
  template <typename Stores>
  bool Run(std::uint8_t command, int timeoutMs, Stores stores) {
    if (!WaitReady(kPageMs, 0) || !Command(kNoCommand) || !Command(command)) return false;
    const bool stored = stores();
    const bool ready = stored && WaitReady(timeoutMs, kError);
    return Command(kNoCommand) && ready;
  }

  // The stores of a command that writes (FLWR, EEWR) in one run without acknowledgements,
  // paced for the memory's write time, and the status read at its end shows whether the
  // controller took them all. The command stays on after the run; every other command goes
  // through NOCMD first.
  bool Paced(std::uint8_t command, std::uint32_t address, const std::uint8_t* data, std::size_t n,
             std::size_t unit, std::uint32_t writeNs) {
    Burst burst(link_.Rate(), ctrlA_);
    burst.Sts(kNvmCtrlA, kNoCommand);
    burst.Sts(kNvmCtrlA, command);
    if (unit == 2) {
      burst.StoreWords(address, data, n, writeNs);
    } else {
      burst.StoreBytes(address, data, n, writeNs);
    }
    std::uint8_t status = 0;
    problem_.clear();
    if (!link_.Exchange(burst.EndWithLds(kNvmStatus), &status, 1)) return false;
    if ((status & kError) != 0) {
      problem_ = "the chip's NVM controller reported a write error";
      link_.Sts(kNvmStatus, 0x00);  // programming is ignored until the error is cleared
      return false;
    }
    return true;
  }
};

}  // namespace

std::unique_ptr<Nvm> MakeNvmV2(Link& link, const UpdiLayout& layout, std::uint8_t ctrlA) {
  return std::make_unique<NvmV2>(link, layout, ctrlA);
}

}  // namespace bq::updi
